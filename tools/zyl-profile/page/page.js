// The report page's drawing: reads the JSON data block the tool wrote and
// builds the header, the utilisation map (a canvas, one pixel per cell,
// scaled up, with each top phase's slowest tile marked on it), the busy
// tiles over time, the phase balance (wait per phase and the stragglers'
// table), the top groups and their table, or for a comparison both maps and
// the groups' changes. No library and no
// network: everything the page needs is in the file.
'use strict';

(() => {
  const data = JSON.parse(document.getElementById('zyl-data').textContent);
  const kinds = data.kinds; // StepKind order: the order of the bytes per cell
  // Compute and exchange, the work, get the strong colours; idle is a
  // sample too (the tile said it waited), so it is grey but not blank.
  const kindColours = {
    compute: [43, 108, 176],
    exchange: [221, 138, 31],
    synchronization: [197, 48, 48],
    idle: [160, 174, 192],
  };
  const emptyColour = [238, 241, 244];
  // Stacked from the bottom in this order, the work first.
  const stackOrder = ['compute', 'exchange', 'synchronization', 'idle'];
  // The SVG namespace, from the parser rather than spelled out, so the page
  // holds no address of any kind.
  const svgNs = (() => {
    const probe = document.createElement('template');
    probe.innerHTML = '<svg></svg>';
    return probe.content.firstChild.namespaceURI;
  })();
  const tooltip = document.getElementById('tooltip');

  // ----- small helpers -----

  function el(tag, attributes, ...children) {
    const node = document.createElement(tag);
    for (const [name, value] of Object.entries(attributes || {})) {
      if (name === 'text') node.textContent = value;
      else node.setAttribute(name, value);
    }
    for (const child of children) node.append(child);
    return node;
  }

  function svg(tag, attributes, parent) {
    const node = document.createElementNS(svgNs, tag);
    for (const [name, value] of Object.entries(attributes || {})) {
      if (name === 'text') node.textContent = value;
      else node.setAttribute(name, value);
    }
    if (parent) parent.append(node);
    return node;
  }

  const integer = (n) => Math.round(n).toLocaleString('en-US');
  const fixed = (n, digits) =>
    n.toLocaleString('en-US', {
      minimumFractionDigits: digits,
      maximumFractionDigits: digits,
    });
  const rgb = (c) => `rgb(${c[0]},${c[1]},${c[2]})`;

  // Cycles as milliseconds, to three significant digits below 1 ms; '' when
  // the clock is unknown.
  function msNumber(cycles, clockHz) {
    if (!clockHz) return '';
    const ms = (cycles / clockHz) * 1000;
    if (ms === 0) return '0';
    if (ms >= 100) return fixed(ms, 1);
    if (ms >= 1) return fixed(ms, 3);
    return ms.toPrecision(3);
  }

  function milliseconds(cycles, clockHz) {
    return clockHz ? `${msNumber(cycles, clockHz)} ms` : '';
  }

  // A short axis label: 1.2M, 350k, 12.
  function compact(n) {
    const a = Math.abs(n);
    if (a >= 1e12) return `${+(n / 1e12).toPrecision(3)}T`;
    if (a >= 1e9) return `${+(n / 1e9).toPrecision(3)}G`;
    if (a >= 1e6) return `${+(n / 1e6).toPrecision(3)}M`;
    if (a >= 1e4) return `${+(n / 1e3).toPrecision(3)}k`;
    return `${+n.toPrecision(4)}`;
  }

  // Returns about `count` round steps from 0 to at least `max`.
  function ticks(max, count) {
    if (!(max > 0)) return [0];
    const raw = max / count;
    const power = 10 ** Math.floor(Math.log10(raw));
    const step = [1, 2, 2.5, 5, 10].map((m) => m * power).find((s) => s >= raw);
    // The last step reaches `max` or beyond, so nothing is drawn off the top.
    const out = [0];
    while (out[out.length - 1] < max) out.push(out.length * step);
    return out;
  }

  function decodeBase64(text) {
    const binary = atob(text);
    const bytes = new Uint8Array(binary.length);
    for (let i = 0; i < binary.length; ++i) bytes[i] = binary.charCodeAt(i);
    return bytes;
  }

  function showTooltip(event, lines) {
    tooltip.replaceChildren(...lines);
    tooltip.hidden = false;
    const pad = 14;
    const box = tooltip.getBoundingClientRect();
    let x = event.clientX + pad;
    let y = event.clientY + pad;
    if (x + box.width > window.innerWidth) x = event.clientX - box.width - pad;
    if (y + box.height > window.innerHeight) y = event.clientY - box.height - pad;
    tooltip.style.left = `${Math.max(0, x)}px`;
    tooltip.style.top = `${Math.max(0, y)}px`;
  }

  function hideTooltip() {
    tooltip.hidden = true;
  }

  const line = (text) => el('div', { text });

  function kindLine(kind, text) {
    const swatch = el('span', { class: 'swatch' });
    swatch.style.background = rgb(kindColours[kind]);
    return el('div', {}, swatch, text);
  }

  // The share a byte stands for, as a percentage text that never calls a
  // busy cell 0% or a gap 100%.
  function shareText(byte) {
    const percent = (byte / 255) * data.share_scale * 100;
    if (byte > 0 && percent < 0.5) return '<1%';
    if (byte === 254 && data.share_scale === 1 && percent >= 99.5) return '>99%';
    return `${Math.round(percent)}%`;
  }

  // The column holding `cycles` and the fraction into it, for marks.
  function columnPosition(edges, cycles) {
    let lo = 0;
    let hi = edges.length - 1;
    if (cycles <= edges[0]) return 0;
    if (cycles >= edges[hi]) return hi;
    while (hi - lo > 1) {
      const mid = (lo + hi) >> 1;
      if (edges[mid] <= cycles) lo = mid;
      else hi = mid;
    }
    const width = edges[lo + 1] - edges[lo];
    return lo + (width > 0 ? (cycles - edges[lo]) / width : 0);
  }

  // ----- the header -----

  function totalsList(totals) {
    const items = [
      ['tiles', integer(totals.tile_count)],
      ['samples', integer(totals.sample_count)],
      ['matched', integer(totals.matched_sample_count)],
      ['span', `${integer(totals.profile_span_cycles)} cycles`],
    ];
    if (totals.clock_hz) {
      items.push(['', milliseconds(totals.profile_span_cycles, totals.clock_hz)]);
      items.push(['clock', `${+(totals.clock_hz / 1e6).toPrecision(6)} MHz`]);
    } else {
      items.push(['clock', 'unknown (0 Hz)']);
    }
    return el(
      'ul',
      { class: 'totals' },
      ...items.map(([name, value]) =>
        el('li', {}, el('span', { text: name }), el('b', { text: value })),
      ),
    );
  }

  function renderHeader() {
    const header = document.getElementById('header');
    const title =
      data.profiles.length === 2
        ? 'Comparison of two profiles'
        : `Profile ${data.profiles[0].label}`;
    header.append(el('h1', { text: title }));
    header.append(el('p', { class: 'command', text: data.command }));
    for (const profile of data.profiles) {
      if (data.profiles.length === 2) {
        header.append(
          el('div', { class: 'note', text: profile === data.profiles[0] ? `base: ${profile.label}` : `new: ${profile.label}` }),
        );
      }
      header.append(totalsList(profile.totals));
    }
  }

  // ----- the utilisation map -----

  function legend(withBlank = true) {
    const items = stackOrder.map((kind) => {
      const swatch = el('i');
      swatch.style.background = rgb(kindColours[kind]);
      return el('span', {}, swatch, kind);
    });
    if (withBlank) {
      const none = el('i');
      none.style.background = rgb(emptyColour);
      items.push(el('span', {}, none, 'no sample'));
    }
    if (withBlank && data.share_scale > 1) {
      items.push(
        el('span', {
          class: 'note',
          text: `full colour: ${Math.round(data.share_scale * 100)}% busy (some tiles ran samples side by side)`,
        }),
      );
    }
    return el('div', { class: 'legend' }, ...items);
  }

  // Draws `profile`'s map `width` pixels wide into a new element with
  // data-rows and data-columns, and hover text for every cell.
  function renderMap(profile, width, id, heading) {
    const map = profile.map;
    const rows = map.rows;
    const columns = map.columns;
    const figure = el('div', {
      class: 'map',
      id,
      'data-rows': rows,
      'data-columns': columns,
    });
    if (heading) figure.append(el('h3', { text: heading }));
    if (rows === 0 || columns === 0) {
      figure.append(el('div', { class: 'empty', text: 'No samples to draw: the profile has no tiles or no time.' }));
      return figure;
    }
    const shares = decodeBase64(map.shares);
    const scale = data.share_scale;
    const gutter = 86;
    const plotWidth = Math.max(200, width - gutter);
    const rowHeight = Math.max(2, Math.min(28, Math.floor(520 / rows)));
    const plotHeight = rows * rowHeight;

    const canvas = el('canvas', { width: columns, height: rows });
    canvas.style.width = `${plotWidth}px`;
    canvas.style.height = `${plotHeight}px`;
    canvas.style.marginLeft = `${gutter}px`;
    const context = canvas.getContext('2d');
    const image = context.createImageData(columns, rows);
    const order = kinds.map((kind) => kindColours[kind]);
    for (let cell = 0; cell < rows * columns; ++cell) {
      let busy = 0;
      const mixed = [0, 0, 0];
      for (let k = 0; k < kinds.length; ++k) {
        const share = (shares[cell * 4 + k] / 255) * scale;
        busy += share;
        for (let c = 0; c < 3; ++c) mixed[c] += share * order[k][c];
      }
      // Over 100% busy (samples side by side) keeps the mix of kinds and
      // leaves no room for the blank.
      const norm = busy > 1 ? 1 / busy : 1;
      const blank = Math.max(0, 1 - busy);
      for (let c = 0; c < 3; ++c) {
        image.data[cell * 4 + c] = Math.round(mixed[c] * norm + blank * emptyColour[c]);
      }
      image.data[cell * 4 + 3] = 255;
    }
    context.putImageData(image, 0, 0);

    const plot = el('div', { class: 'plot' }, canvas);
    plot.style.height = `${plotHeight + 34}px`;
    // Tile labels down the left: about one every 40 pixels.
    const tileRows = map.tile_rows;
    const rowLabel = (r) => {
      const lo = tileRows[r * 5 + 3];
      const hi = tileRows[r * 5 + 4];
      return lo === hi ? `tile ${lo}` : `tiles ${lo}-${hi}`;
    };
    const every = Math.max(1, Math.ceil(40 / rowHeight));
    // The rows holding a top phase's slowest tile get a label of their own,
    // naming the tile, and push aside the regular labels they would cover:
    // with thin rows a mark would otherwise sit beside a neighbour's label.
    const stragglers = stragglerRows(profile);
    const clear = (r) => [...stragglers.keys()].every((s) => Math.abs(s - r) * rowHeight >= 14);
    // Thin rows start half a step down, so the first label clears the top.
    for (let r = rowHeight < 12 ? Math.floor(every / 2) : 0; r < rows; r += every) {
      if (!clear(r)) continue;
      const label = el('div', { class: 'axis y', text: rowLabel(r) });
      label.style.right = `${plotWidth + 8}px`;
      label.style.top = `${(r + 0.5) * rowHeight}px`;
      plot.append(label);
    }
    for (const [r, tiles] of stragglers) {
      const names = [...new Set(tiles)].sort((a, b) => a - b);
      const text = `${names.length === 1 ? 'tile' : 'tiles'} ${names.join(', ')} \u25b8`;
      const label = el('div', { class: 'axis y straggler-label', text, title: `slowest tile of ${tiles.length} of the top phases; this row: ${rowLabel(r)}` });
      label.style.right = `${plotWidth + 4}px`;
      label.style.top = `${(r + 0.5) * rowHeight}px`;
      plot.append(label);
    }
    // Time along the bottom, in cycles and ms.
    const edges = map.time_edges;
    const clockHz = profile.totals.clock_hz;
    const tickCount = Math.max(2, Math.floor(plotWidth / 170));
    for (let i = 0; i <= tickCount; ++i) {
      const column = Math.round((i / tickCount) * columns);
      const cycles = edges[column];
      const ms = milliseconds(cycles, clockHz);
      const label = el('div', { class: 'axis x', text: compact(cycles) + (ms ? ` (${ms})` : '') });
      label.style.left = `${gutter + (column / columns) * plotWidth}px`;
      label.style.top = `${plotHeight + 4}px`;
      if (i === 0) label.style.transform = 'none';
      if (i === tickCount) label.style.transform = 'translateX(-100%)';
      plot.append(label);
    }
    const axisTitle = el('div', { class: 'axis title', text: 'cycles since each tile\u2019s first sample' });
    axisTitle.style.left = `${gutter}px`;
    axisTitle.style.top = `${plotHeight + 19}px`;
    plot.append(axisTitle);

    const tileCount = profile.totals.tile_count;
    canvas.addEventListener('mousemove', (event) => {
      const box = canvas.getBoundingClientRect();
      const column = Math.min(columns - 1, Math.max(0, Math.floor(((event.clientX - box.left) / box.width) * columns)));
      const row = Math.min(rows - 1, Math.max(0, Math.floor(((event.clientY - box.top) / box.height) * rows)));
      const first = tileRows[row * 5];
      const last = tileRows[row * 5 + 1];
      const count = tileRows[row * 5 + 2];
      const start = edges[column];
      const end = edges[column + 1];
      const cell = row * columns + column;
      const lines = [
        line(`${rowLabel(row)} (physical), ${count > 1 ? `${count} tiles at positions ${first}-${last}` : `position ${first}`} of ${tileCount} in the report`),
        line(`cycles ${integer(start)}-${integer(end)}${clockHz ? ` (${milliseconds(start, clockHz)} to ${milliseconds(end, clockHz)})` : ''}`),
      ];
      let busy = 0;
      for (const kind of stackOrder) {
        const byte = shares[cell * 4 + kinds.indexOf(kind)];
        busy += byte;
        lines.push(kindLine(kind, `${kind} ${shareText(byte)}`));
      }
      if (busy === 0) lines.push(line('no sample in this cell'));
      const active = map.active;
      let columnBusy = 0;
      for (let k = 0; k < kinds.length; ++k) columnBusy += active[column * 4 + k];
      lines.push(line(`whole column: ${fixed(columnBusy, 1)} tiles busy on average`));
      showTooltip(event, lines);
    });
    canvas.addEventListener('mouseleave', hideTooltip);
    const balance = profile.phase_balance;
    if (balance && balance.rows.length > 0) {
      plot.append(stragglerMarks(profile, { gutter, plotWidth, rowHeight, plotHeight }));
    }
    figure.append(plot);
    return figure;
  }

  // The map row holding physical tile `tile`: a row of that tile alone if
  // there is one, else the first whose physical range holds it (a tile
  // given twice, two runs concatenated, has a row per position). -1 when
  // no row holds it.
  function mapRowOfTile(map, tile) {
    const tileRows = map.tile_rows;
    let found = -1;
    for (let r = 0; r < map.rows; ++r) {
      const lo = tileRows[r * 5 + 3];
      const hi = tileRows[r * 5 + 4];
      if (lo === tile && hi === tile) return r;
      if (found < 0 && lo <= tile && tile <= hi) found = r;
    }
    return found;
  }

  // The map rows holding the listed phases' slowest tiles, each with the
  // tiles it holds, once per phase.
  function stragglerRows(profile) {
    const rows = new Map();
    const balance = profile.phase_balance;
    if (!balance) return rows;
    for (const row of balance.rows) {
      const r = mapRowOfTile(profile.map, row.slowest_tile);
      if (r < 0) continue;
      if (!rows.has(r)) rows.set(r, []);
      rows.get(r).push(row.slowest_tile);
    }
    return rows;
  }

  // Lights up everything standing for the `rank`th top phase: its mark on
  // the map, its bar and its table row.
  function highlightPhase(rank, on) {
    for (const node of document.querySelectorAll(`[data-phase-rank="${rank}"]`)) {
      node.classList.toggle('hot', on);
    }
  }

  function stragglerText(row, rank, clockHz) {
    const kernel = row.slowest_kernel === '' ? 'no compute' : `kernel ${row.slowest_kernel}`;
    const span = milliseconds(row.span, clockHz);
    return [
      line(`#${rank + 1} phase ${row.phase}, epoch ${row.epoch}: slowest tile ${row.slowest_tile} (${kernel})`),
      line(`busy ${integer(row.slowest_busy_cycles)} cycles; median tile ${integer(row.median_busy_cycles)}`),
      line(`the others waited ${integer(row.wait_cycles)} tile-cycles (${row.wait_measure})`),
      line(`cycles ${integer(row.start)}-${integer(row.end)}${span ? `, span ${span}` : ''}`),
    ];
  }

  // An outlined box over the map, on the row of each top phase's slowest
  // tile, from the phase's first matched cycle to its last: where the run
  // waited, and on whom. A box is 8 to 12 pixels tall whatever the rows,
  // so a thin row's mark still shows and a tall row's cells still show
  // through.
  function stragglerMarks(profile, geometry) {
    const map = profile.map;
    const { gutter, plotWidth, rowHeight, plotHeight } = geometry;
    const clockHz = profile.totals.clock_hz;
    const overlay = svg('svg', { class: 'straggler-layer', width: plotWidth, height: plotHeight });
    overlay.style.left = `${gutter}px`;
    const height = Math.max(8, Math.min(rowHeight, 12));
    profile.phase_balance.rows.forEach((row, rank) => {
      const r = mapRowOfTile(map, row.slowest_tile);
      if (r < 0) return;
      const x0 = (columnPosition(map.time_edges, row.start) / map.columns) * plotWidth;
      const x1 = (columnPosition(map.time_edges, row.end) / map.columns) * plotWidth;
      const y = Math.min(plotHeight - height, Math.max(0, (r + 0.5) * rowHeight - height / 2));
      const mark = svg('rect', {
        class: 'straggler',
        x: x0,
        y,
        width: Math.max(3, x1 - x0),
        height,
        'data-phase-rank': rank,
      }, overlay);
      mark.addEventListener('mousemove', (event) => showTooltip(event, stragglerText(row, rank, clockHz)));
      mark.addEventListener('mouseenter', () => highlightPhase(rank, true));
      mark.addEventListener('mouseleave', () => {
        hideTooltip();
        highlightPhase(rank, false);
      });
    });
    return overlay;
  }

  // ----- busy tiles over time -----

  function renderActive(profile, width) {
    const map = profile.map;
    const columns = map.columns;
    const box = el('div', { id: 'active' });
    if (columns === 0 || map.rows === 0) {
      box.append(el('div', { class: 'empty', text: 'No samples to draw: the profile has no tiles or no time.' }));
      return box;
    }
    const gutter = 86;
    const plotWidth = Math.max(200, width - gutter);
    const height = 220;
    const top = 10;
    const bottom = 24;
    const active = map.active;
    const totals = [];
    for (let c = 0; c < columns; ++c) {
      let sum = 0;
      for (let k = 0; k < kinds.length; ++k) sum += active[c * 4 + k];
      totals.push(sum);
    }
    const yTicks = ticks(Math.max(...totals, 1), 4);
    const yMax = yTicks[yTicks.length - 1] || 1;
    const chart = svg('svg', { width: gutter + plotWidth, height: height + top + bottom, role: 'img' });
    const y = (v) => top + height - (v / yMax) * height;
    const x = (c) => gutter + (c / columns) * plotWidth;
    for (const v of yTicks) {
      svg('line', { class: 'grid', x1: gutter, x2: gutter + plotWidth, y1: y(v), y2: y(v) }, chart);
      svg('text', { x: gutter - 6, y: y(v) + 4, 'text-anchor': 'end', text: compact(v) }, chart);
    }
    svg('text', { x: 0, y: top + 10, text: 'tiles' }, chart);
    // One stepped band per kind, stacked.
    const base = new Array(columns).fill(0);
    for (const kind of stackOrder) {
      const k = kinds.indexOf(kind);
      // A kind with no cycles would still leave hairlines at the steps.
      if (!totals.some((_, c) => active[c * 4 + k] > 0)) continue;
      const upper = [];
      const lower = [];
      for (let c = 0; c < columns; ++c) {
        const low = base[c];
        const high = low + active[c * 4 + k];
        upper.push(`${x(c)},${y(high)}`, `${x(c + 1)},${y(high)}`);
        lower.push(`${x(c + 1)},${y(low)}`, `${x(c)},${y(low)}`);
        base[c] = high;
      }
      lower.reverse();
      // Only level and upright edges: crisp, so stacked bands leave no seams.
      svg('polygon', { points: upper.concat(lower).join(' '), fill: rgb(kindColours[kind]), 'shape-rendering': 'crispEdges', 'data-kind': kind }, chart);
    }
    // The bottom axis, as the map's.
    const edges = map.time_edges;
    const clockHz = profile.totals.clock_hz;
    const tickCount = Math.max(2, Math.floor(plotWidth / 170));
    for (let i = 0; i <= tickCount; ++i) {
      const column = Math.round((i / tickCount) * columns);
      const anchor = i === 0 ? 'start' : i === tickCount ? 'end' : 'middle';
      const ms = milliseconds(edges[column], clockHz);
      svg('text', { x: x(column), y: top + height + 16, 'text-anchor': anchor, text: compact(edges[column]) + (ms ? ` (${ms})` : '') }, chart);
    }
    // Phases that start together across the tiles.
    for (const [phase, epoch, earliest, latest, tiles] of profile.phases) {
      const at = x(columnPosition(edges, earliest));
      const mark = svg('g', { class: 'phase' }, chart);
      svg('line', { class: 'phase-mark', x1: at, x2: at, y1: top, y2: top + height }, mark);
      const hit = svg('line', { class: 'phase-hit', x1: at, x2: at, y1: top, y2: top + height }, mark);
      const text = `phase ${phase}, epoch ${epoch}: starts at ${integer(earliest)}${latest !== earliest ? `-${integer(latest)}` : ''} cycles on ${integer(tiles)} tiles`;
      svg('title', { text }, mark);
      hit.addEventListener('mousemove', (event) => {
        event.stopPropagation();
        showTooltip(event, [line(text), line(milliseconds(earliest, clockHz))]);
      });
      hit.addEventListener('mouseleave', hideTooltip);
    }
    chart.addEventListener('mousemove', (event) => {
      if (event.target.classList.contains('phase-hit')) return;
      const rect = chart.getBoundingClientRect();
      const c = Math.floor(((event.clientX - rect.left - gutter) / plotWidth) * columns);
      if (c < 0 || c >= columns) {
        hideTooltip();
        return;
      }
      const lines = [line(`cycles ${integer(edges[c])}-${integer(edges[c + 1])}${clockHz ? ` (${milliseconds(edges[c], clockHz)})` : ''}`)];
      for (const kind of stackOrder) {
        lines.push(kindLine(kind, `${kind}: ${fixed(active[c * 4 + kinds.indexOf(kind)], 2)} tiles`));
      }
      lines.push(line(`busy: ${fixed(totals[c], 2)} tiles`));
      showTooltip(event, lines);
    });
    chart.addEventListener('mouseleave', hideTooltip);
    box.append(chart);
    const marks = profile.phases.length;
    box.append(
      el('p', {
        class: 'hint',
        text: marks > 0 ? `Dashed lines: ${marks} phase starts shared by most tiles (hover for the phase).` : 'No phase starts together on most tiles, so none is marked.',
      }),
    );
    return box;
  }

  // ----- the phase balance -----

  function waitShareText(share) {
    const percent = share * 100;
    if (share > 0 && percent < 0.1) return '<0.1%';
    return `${fixed(percent, 1)}%`;
  }

  function phaseName(row) {
    return `phase ${row.phase} \u00b7 epoch ${row.epoch}`;
  }

  // A bar per top phase-epoch pair, as long as the tile-cycles its tiles
  // waited, with the slowest tile and its kernel after it.
  function phaseChart(balance, clockHz) {
    const rows = balance.rows;
    const labelWidth = 170;
    const barRoom = 360; // the longest bar
    const valueRoom = 200; // its value and share after it
    const rowHeight = 22;
    const top = 22;
    const whoX = labelWidth + barRoom + valueRoom;
    const width = whoX + 300;
    const chart = svg('svg', { id: 'phase-wait-chart', width, height: top + rows.length * rowHeight + 6, role: 'img' });
    const most = Math.max(...rows.map((r) => r.wait_cycles), 1);
    const totalWait = balance.totals.wait_cycles;
    svg('text', { x: labelWidth, y: 12, class: 'label', text: 'wait (tile-cycles)' }, chart);
    svg('text', { x: whoX, y: 12, class: 'label', text: 'slowest tile, its kernel' }, chart);
    rows.forEach((row, rank) => {
      const y = top + rank * rowHeight;
      const g = svg('g', { class: 'group-row phase-row', 'data-phase-rank': rank }, chart);
      svg('rect', { class: 'band', x: 0, y, width, height: rowHeight, fill: 'transparent' }, g);
      svg('text', { x: labelWidth - 8, y: y + 15, 'text-anchor': 'end', class: 'label', text: phaseName(row) }, g);
      const length = (row.wait_cycles / most) * barRoom;
      svg('rect', { class: `wait-bar ${row.wait_measure}`, x: labelWidth, y: y + 4, width: Math.max(row.wait_cycles > 0 ? 1 : 0, length), height: rowHeight - 8 }, g);
      const part = totalWait > 0 ? ` (${fixed((row.wait_cycles / totalWait) * 100, 1)}% of all wait)` : '';
      svg('text', { x: labelWidth + length + 5, y: y + 15, text: `${compact(row.wait_cycles)}${part}` }, g);
      const kernel = row.slowest_kernel === '' ? 'no compute' : row.slowest_kernel;
      const who = `tile ${row.slowest_tile}, ${kernel.length > 30 ? `${kernel.slice(0, 29)}\u2026` : kernel}`;
      svg('text', { x: whoX, y: y + 15, class: 'label', text: who }, g);
      g.addEventListener('mousemove', (event) => showTooltip(event, stragglerText(row, rank, clockHz)));
      g.addEventListener('mouseenter', () => highlightPhase(rank, true));
      g.addEventListener('mouseleave', () => {
        hideTooltip();
        highlightPhase(rank, false);
      });
    });
    return chart;
  }

  // The stragglers: for each top pair, who held it up and by how much.
  function phaseTable(balance, clockHz) {
    // Phases, epochs and tiles are names, so they go without separators,
    // as the map's labels write them.
    const columns = [
      ['#', (row, rank) => String(rank + 1)],
      ['phase', (row) => String(row.phase)],
      ['epoch', (row) => String(row.epoch)],
      ['span', (row) => integer(row.span)],
      ...(clockHz ? [['span ms', (row) => msNumber(row.span, clockHz)]] : []),
      ['tiles', (row) => integer(row.tiles)],
      ['slowest tile', (row) => String(row.slowest_tile)],
      ['its kernel', (row) => row.slowest_kernel, 'text'],
      ['its busy', (row) => integer(row.slowest_busy_cycles)],
      ['median busy', (row) => integer(row.median_busy_cycles)],
      ['wait', (row) => integer(row.wait_cycles)],
      ...(clockHz ? [['wait tile-ms', (row) => msNumber(row.wait_cycles, clockHz)]] : []),
      ['measure', (row) => row.wait_measure, 'text'],
    ];
    const head = el('tr', {}, ...columns.map(([title, , type]) => el('th', { text: title, class: type === 'text' ? 'text' : '' })));
    const body = el('tbody');
    balance.rows.forEach((row, rank) => {
      const cells = columns.map(([, value, type]) => {
        const text = value(row, rank);
        if (type !== 'text') return el('td', { text });
        return el('td', { class: 'text', text: text === '' ? '(no compute)' : text, title: text });
      });
      const tr = el('tr', { 'data-phase-rank': rank }, ...cells);
      tr.addEventListener('mouseenter', () => highlightPhase(rank, true));
      tr.addEventListener('mouseleave', () => highlightPhase(rank, false));
      body.append(tr);
    });
    return el('div', { class: 'table-wrap' }, el('table', { id: 'phase-table' }, el('thead', {}, head), body));
  }

  function renderPhaseBalance(profile) {
    const balance = profile.phase_balance;
    const clockHz = profile.totals.clock_hz;
    const rows = balance.rows;
    const section = el('section', { id: 'phase-balance' });
    const heading = rows.length > 0 ? `Phase balance: phases waited ${waitShareText(balance.totals.wait_share)} of tile-cycles` : 'Phase balance';
    section.append(el('h2', { text: heading }));
    section.append(
      el('p', {
        class: 'hint',
        text:
          'A phase and epoch lasts as long as its slowest tile. Wait: the tile-cycles the tiles spent in synchronization samples (red bars), or, where the pair has none, the tile-cycles the others would idle behind the slowest (amber bars). Busy: compute and exchange cycles. The share is of every pair\u2019s span \u00d7 tiles. Hover a row to find its slowest tile on the map.',
      }),
    );
    if (rows.length === 0) {
      section.append(el('div', { class: 'empty', text: 'No phase: no sample matched the query.' }));
      section.append(phaseTable(balance, clockHz));
      return section;
    }
    const more = balance.row_count - rows.length;
    section.append(
      el('p', {
        class: 'hint',
        text: `The ${integer(rows.length)} phase-epoch ${rows.length === 1 ? 'pair' : 'pairs'} waited for most, of ${integer(balance.row_count)}${more > 0 ? ` (${integer(more)} more not shown; zyl-profile phases --limit 0 lists all)` : ''}.`,
      }),
    );
    section.append(phaseChart(balance, clockHz));
    section.append(phaseTable(balance, clockHz));
    return section;
  }

  // ----- groups -----

  const groupFields = [
    ['sample_count', 'samples', -1],
    ['tile_count', 'tiles', -1],
    ['phase_count', 'phases', -1],
    ['phase_cycles', 'phase cycles', -1],
    ['phase_ms', 'phase ms', 3],
    ['work_cycles', 'work cycles', -1],
    ['work_percent', 'work %', 1],
    ['average_active_tiles', 'avg tiles', 2],
    ['mean_cycles', 'mean', 1],
    ['p50_cycles', 'p50', -1],
    ['p95_cycles', 'p95', -1],
    ['maximum_cycles', 'max', -1],
    ['first_offset', 'first', -1],
    ['last_offset', 'last', -1],
    ['minimum_cycles', 'min', -1],
    ['p99_cycles', 'p99', -1],
  ];

  function groupChart(groups) {
    const labelWidth = 230;
    const panel = 330;
    const gap = 24;
    const rowHeight = 22;
    const top = 22;
    const width = labelWidth + 2 * panel + 2 * gap + 90;
    const chart = svg('svg', { id: 'groups-chart', width, height: top + groups.length * rowHeight + 6, role: 'img' });
    const phaseMax = Math.max(...groups.map((g) => g.phase_cycles), 1);
    const workMax = Math.max(...groups.map((g) => g.work_cycles), 1);
    const phaseX = labelWidth;
    const workX = labelWidth + panel + gap;
    const tilesX = workX + panel + gap;
    svg('text', { x: phaseX, y: 12, class: 'label', text: 'phase cycles' }, chart);
    svg('text', { x: workX, y: 12, class: 'label', text: 'work cycles' }, chart);
    svg('text', { x: tilesX, y: 12, class: 'label', text: 'avg tiles' }, chart);
    groups.forEach((group, i) => {
      const y = top + i * rowHeight;
      const row = svg('g', { class: 'group-row' }, chart);
      svg('rect', { class: 'band', x: 0, y, width, height: rowHeight, fill: 'transparent' }, row);
      const name = group.name.length > 34 ? `${group.name.slice(0, 33)}\u2026` : group.name;
      svg('text', { x: labelWidth - 8, y: y + 15, 'text-anchor': 'end', class: 'label', text: name }, row);
      const phaseWidth = (group.phase_cycles / phaseMax) * (panel - 70);
      svg('rect', { x: phaseX, y: y + 4, width: Math.max(1, phaseWidth), height: rowHeight - 8, fill: '#2b6cb0' }, row);
      svg('text', { x: phaseX + phaseWidth + 5, y: y + 15, text: compact(group.phase_cycles) }, row);
      const workWidth = (group.work_cycles / workMax) * (panel - 70);
      svg('rect', { x: workX, y: y + 4, width: Math.max(1, workWidth), height: rowHeight - 8, fill: '#90b4de' }, row);
      svg('text', { x: workX + workWidth + 5, y: y + 15, text: compact(group.work_cycles) }, row);
      svg('text', { x: tilesX, y: y + 15, text: fixed(group.average_active_tiles, 2) }, row);
      svg('title', { text: `${group.name}\nphase cycles ${integer(group.phase_cycles)} (${fixed(group.phase_ms, 3)} ms)\nwork cycles ${integer(group.work_cycles)}\naverage active tiles ${fixed(group.average_active_tiles, 2)}` }, row);
    });
    return chart;
  }

  function groupTable(groups) {
    const dimensionKeys = [...new Set(groups.flatMap((g) => Object.keys(g.dimensions)))].sort();
    const head = el('tr', {}, el('th', { text: 'name' }), ...dimensionKeys.map((key) => el('th', { text: key })), ...groupFields.map(([, title]) => el('th', { text: title })));
    const body = el('tbody');
    for (const group of groups) {
      const cells = [el('td', { text: group.name, title: group.name })];
      for (const key of dimensionKeys) cells.push(el('td', { class: 'text', text: group.dimensions[key] ?? '' }));
      for (const [key, , digits] of groupFields) {
        const value = group[key];
        cells.push(el('td', { text: digits < 0 ? integer(value) : fixed(value, digits) }));
      }
      body.append(el('tr', {}, ...cells));
    }
    return el('div', { class: 'table-wrap' }, el('table', { id: 'groups-table' }, el('thead', {}, head), body));
  }

  function renderGroups(profile) {
    const section = el('section', { id: 'groups' });
    section.append(el('h2', { text: `Top groups by ${data.group_by}` }));
    section.append(
      el('p', {
        class: 'hint',
        text: 'Phase cycles: for each (phase, epoch) the group ran in, its longest sample, summed. Work cycles: every sample\u2019s duration, summed over the tiles. Average active tiles: work / phase cycles.',
      }),
    );
    const groups = profile.groups;
    if (groups.length === 0) {
      section.append(el('div', { class: 'empty', text: 'No group: no sample matched the query.' }));
      section.append(groupTable(groups));
      return section;
    }
    section.append(groupChart(groups));
    section.append(groupTable(groups));
    return section;
  }

  // ----- a comparison -----

  function changeText(change) {
    const [, , delta] = change;
    return delta === 0 ? '0' : `${delta > 0 ? '+' : '-'}${integer(Math.abs(delta))}`;
  }

  function percentText(change, status) {
    if (status === 'new') return 'new';
    if (status === 'gone') return 'gone';
    const percent = change[3];
    if (percent === null) return 'n/a';
    if (percent === 0) return '0.00%';
    return `${percent > 0 ? '+' : ''}${fixed(percent, 2)}%`;
  }

  function diffChart(rows) {
    const labelWidth = 230;
    const half = 300;
    const rowHeight = 22;
    const top = 22;
    const width = labelWidth + 2 * half + 120;
    const chart = svg('svg', { id: 'diff-chart', width, height: top + rows.length * rowHeight + 6, role: 'img' });
    const most = Math.max(...rows.map((r) => Math.abs(r.phase_cycles[2])), 1);
    const middle = labelWidth + half;
    svg('text', { x: middle - 8, y: 12, 'text-anchor': 'end', class: 'label', text: '\u2190 fewer phase cycles' }, chart);
    svg('text', { x: middle + 8, y: 12, class: 'label', text: 'more phase cycles \u2192' }, chart);
    rows.forEach((row, i) => {
      const y = top + i * rowHeight;
      const g = svg('g', { class: 'group-row' }, chart);
      svg('rect', { class: 'band', x: 0, y, width, height: rowHeight, fill: 'transparent' }, g);
      const name = row.name.length > 34 ? `${row.name.slice(0, 33)}\u2026` : row.name;
      svg('text', { x: labelWidth - 8, y: y + 15, 'text-anchor': 'end', class: 'label', text: name }, g);
      const delta = row.phase_cycles[2];
      const length = (Math.abs(delta) / most) * (half - 80);
      const grew = delta > 0;
      svg('rect', { x: grew ? middle : middle - length, y: y + 4, width: Math.max(delta === 0 ? 0 : 1, length), height: rowHeight - 8, fill: grew ? '#c53030' : '#2f855a' }, g);
      const label = `${changeText(row.phase_cycles)} (${percentText(row.phase_cycles, row.status)})`;
      // A shrinking group's label goes right of the centre line, where its
      // bar is not, so a long bar never runs it into the group's name.
      svg('text', { x: grew ? middle + length + 5 : middle + 5, y: y + 15, text: label }, g);
      svg('title', { text: `${row.name} (${row.status})\nphase cycles ${integer(row.phase_cycles[0])} \u2192 ${integer(row.phase_cycles[1])}` }, g);
    });
    svg('line', { class: 'grid', x1: middle, x2: middle, y1: top - 4, y2: top + rows.length * rowHeight }, chart);
    return chart;
  }

  function diffTable(rows) {
    const titles = ['group', 'status', 'base phase', 'new phase', 'change', 'change %', 'base work', 'new work', 'base samples', 'new samples', 'base avg tiles', 'new avg tiles', 'base p95', 'new p95'];
    const head = el('tr', {}, ...titles.map((title) => el('th', { text: title })));
    const body = el('tbody');
    for (const row of rows) {
      const delta = row.phase_cycles[2];
      const trend = delta > 0 ? 'grew' : delta < 0 ? 'shrank' : '';
      body.append(
        el(
          'tr',
          {},
          el('td', { text: row.name, title: row.name }),
          el('td', { class: 'text', text: row.status }),
          el('td', { text: integer(row.phase_cycles[0]) }),
          el('td', { text: integer(row.phase_cycles[1]) }),
          el('td', { class: trend, text: changeText(row.phase_cycles) }),
          el('td', { class: trend, text: percentText(row.phase_cycles, row.status) }),
          el('td', { text: integer(row.work_cycles[0]) }),
          el('td', { text: integer(row.work_cycles[1]) }),
          el('td', { text: integer(row.sample_count[0]) }),
          el('td', { text: integer(row.sample_count[1]) }),
          el('td', { text: fixed(row.average_active_tiles[0], 2) }),
          el('td', { text: fixed(row.average_active_tiles[1], 2) }),
          el('td', { text: integer(row.p95_cycles[0]) }),
          el('td', { text: integer(row.p95_cycles[1]) }),
        ),
      );
    }
    return el('div', { class: 'table-wrap' }, el('table', { id: 'diff-table' }, el('thead', {}, head), body));
  }

  function renderDiff(diff) {
    const section = el('section', { id: 'changes' });
    section.append(el('h2', { text: `Changes by ${data.group_by}` }));
    const span = diff.profile_span_cycles;
    const matched = diff.matched_sample_count;
    section.append(
      el('p', {
        class: 'hint',
        text: `${integer(diff.changed_group_count)} of ${integer(diff.group_count)} groups changed; span ${integer(span[0])} \u2192 ${integer(span[1])} cycles (${percentText(span, 'changed')}); matched samples ${integer(matched[0])} \u2192 ${integer(matched[1])}. Largest changes in phase cycles first.`,
      }),
    );
    if (diff.rows.length === 0) {
      section.append(el('div', { class: 'empty', text: 'No group in either profile.' }));
    } else {
      section.append(diffChart(diff.rows));
    }
    section.append(diffTable(diff.rows));
    return section;
  }

  // ----- the page -----

  function sectionWith(id, title, hint, ...children) {
    return el('section', { id }, el('h2', { text: title }), el('p', { class: 'hint', text: hint }), ...children);
  }

  function render() {
    renderHeader();
    const main = document.getElementById('main');
    const width = Math.max(640, main.clientWidth - 34);
    const mapHint = 'Rows: tiles in report order (several tiles a row when there are many); columns: time. A cell\u2019s colour mixes the kinds by the share of its tile-cycles each took. Hover a cell for its tiles, time and shares.';
    if (data.profiles.length === 1) {
      const profile = data.profiles[0];
      const balance = profile.phase_balance;
      const marked = balance ? balance.rows.length : 0;
      const markHint = marked > 0 ? ` Outlined boxes: the slowest tile of each of the top ${integer(marked)} phases, over the phase\u2019s cycles (hover for the phase).` : '';
      main.append(sectionWith('utilisation', 'Utilisation map', mapHint + markHint, legend(), renderMap(profile, width, 'map')));
      main.append(
        sectionWith('over-time', 'Active tiles over time', 'For each time column, the average number of tiles busy in each kind (exact), stacked.', legend(false), renderActive(profile, width)),
      );
      if (balance) main.append(renderPhaseBalance(profile));
      main.append(renderGroups(profile));
    } else {
      const half = Math.floor((width - 20) / 2);
      const maps = el(
        'div',
        { class: 'maps' },
        renderMap(data.profiles[0], half, 'map-base', `base: ${data.profiles[0].label}`),
        renderMap(data.profiles[1], half, 'map-new', `new: ${data.profiles[1].label}`),
      );
      main.append(sectionWith('utilisation', 'Utilisation maps', `${mapHint} Both maps use one colour scale.`, legend(), maps));
      main.append(renderDiff(data.diff));
    }
    document.body.dataset.ready = 'true';
  }

  render();
})();
