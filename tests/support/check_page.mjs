// Opens report pages in headless Chromium from file:// and checks what a
// reader sees: no console or page error, each map's canvas holding the rows
// and columns its data has, a tooltip with the tile range and the shares
// when a busy cell is hovered, as many chart rows and table rows as the
// page has groups (or comparison rows), and as many wait bars, straggler
// table rows and marks on the map as its phase balance lists. Saves a
// screenshot of each. Run by scripts/check-report-page.sh.
//
// node check_page.mjs NPM_DIR SHOT_DIR [--phase-rows PAGE=N]
//     [--straggler PAGE=TILE] PAGE.html...
// --phase-rows: PAGE (its file name) must list N phase rows; --straggler:
// its top phase's slowest tile must be TILE, and hovering its mark on the
// map must say so.
import { createRequire } from 'node:module';
import path from 'node:path';
import { pathToFileURL } from 'node:url';

const [npmDir, shotDir, ...rest] = process.argv.slice(2);
const expectedPhaseRows = new Map();
const expectedStraggler = new Map();
const pages = [];
for (let i = 0; i < rest.length; ++i) {
  const option = { '--phase-rows': expectedPhaseRows, '--straggler': expectedStraggler }[rest[i]];
  if (!option) {
    pages.push(rest[i]);
    continue;
  }
  const [page, value] = (rest[++i] ?? '').split('=');
  option.set(page, Number(value));
}
if (!npmDir || !shotDir || pages.length === 0) {
  console.error('usage: node check_page.mjs NPM_DIR SHOT_DIR [--phase-rows PAGE=N] [--straggler PAGE=TILE] PAGE.html...');
  process.exit(2);
}
// playwright-core lives in a scratch npm folder, not in the repository, and
// ES module imports do not search NODE_PATH.
const require = createRequire(`${path.resolve(npmDir)}/`);
const { chromium } = require('playwright-core');

const browser = await chromium.launch({
  executablePath: process.env.CHROMIUM ?? '/usr/bin/chromium',
  args: ['--no-sandbox'],
});
let failures = 0;
const fail = (page, message) => {
  console.log(`FAIL ${page}: ${message}`);
  ++failures;
};

try {
  for (const file of pages) {
    const name = path.basename(file);
    const page = await browser.newPage({ viewport: { width: 1400, height: 900 } });
    const problems = [];
    page.on('console', (message) => {
      if (message.type() === 'error') problems.push(`console: ${message.text()}`);
    });
    page.on('pageerror', (error) => problems.push(`page error: ${error}`));
    // Nothing may leave the file: any request but the page itself fails
    // the check.
    page.on('request', (request) => {
      if (request.url() !== pathToFileURL(path.resolve(file)).href) {
        problems.push(`request for ${request.url()}`);
      }
    });
    await page.goto(pathToFileURL(path.resolve(file)).href);
    try {
      await page.waitForSelector('body[data-ready="true"]', { timeout: 30000 });
    } catch {
      fail(name, 'the page never finished drawing');
    }

    // The maps: canvas pixels are cells.
    const maps = await page.evaluate(() => {
      const data = JSON.parse(document.getElementById('zyl-data').textContent);
      return [...document.querySelectorAll('.map')].map((map, i) => {
        const canvas = map.querySelector('canvas');
        const profile = data.profiles[i];
        return {
          id: map.id,
          rows: Number(map.dataset.rows),
          columns: Number(map.dataset.columns),
          dataRows: profile.map.rows,
          dataColumns: profile.map.columns,
          canvasWidth: canvas ? canvas.width : 0,
          canvasHeight: canvas ? canvas.height : 0,
          saysEmpty: map.querySelector('.empty') !== null,
          matched: profile.totals.matched_sample_count,
          shares: profile.map.shares,
        };
      });
    });
    const expectedMaps = await page.evaluate(
      () => JSON.parse(document.getElementById('zyl-data').textContent).profiles.length,
    );
    if (maps.length !== expectedMaps) fail(name, `${maps.length} maps for ${expectedMaps} profiles`);
    for (const map of maps) {
      if (map.rows !== map.dataRows || map.columns !== map.dataColumns) {
        fail(name, `${map.id}: data-rows/columns ${map.rows}x${map.columns}, data ${map.dataRows}x${map.dataColumns}`);
      }
      if (map.rows * map.columns === 0) {
        // Nothing to draw: the page says so instead of drawing a canvas.
        if (!map.saysEmpty) fail(name, `${map.id}: no cells, and no word of it`);
      } else if (map.canvasWidth !== map.columns || map.canvasHeight !== map.rows) {
        fail(name, `${map.id}: canvas ${map.canvasWidth}x${map.canvasHeight} for ${map.rows} rows x ${map.columns} columns`);
      }
    }

    // Hover the busiest cell of the first map, when anything matched.
    if (maps.length > 0 && maps[0].matched > 0) {
      const map = maps[0];
      const bytes = Buffer.from(map.shares, 'base64');
      let best = -1;
      let bestBusy = 0;
      for (let cell = 0; cell < map.rows * map.columns; ++cell) {
        const busy = bytes[cell * 4] + bytes[cell * 4 + 1] + bytes[cell * 4 + 2] + bytes[cell * 4 + 3];
        if (busy > bestBusy) {
          bestBusy = busy;
          best = cell;
        }
      }
      if (best < 0) {
        fail(name, 'no busy cell to hover');
      } else {
        const row = Math.floor(best / map.columns);
        const column = best % map.columns;
        const canvas = page.locator(`#${map.id} canvas`);
        await canvas.scrollIntoViewIfNeeded();
        const box = await canvas.boundingBox();
        await page.mouse.move(
          box.x + ((column + 0.5) / map.columns) * box.width,
          box.y + ((row + 0.5) / map.rows) * box.height,
        );
        const tip = await page.evaluate(() => {
          const tooltip = document.getElementById('tooltip');
          return tooltip.hidden ? '' : tooltip.innerText;
        });
        if (!/tiles? \d+/.test(tip) || !/positions? \d+/.test(tip) || !/cycles [\d,]+-[\d,]+/.test(tip) || !/(compute|exchange|synchronization|idle) (<1|>99|\d+)%/.test(tip)) {
          fail(name, `hovering a busy cell (row ${row}, column ${column}) shows ${JSON.stringify(tip)}`);
        } else {
          console.log(`${name}: hover at row ${row}, column ${column}: ${tip.replace(/\n/g, ' | ')}`);
        }
        await page.mouse.move(0, 0);
      }
    }

    // Chart rows and table rows against the groups in the data.
    const counts = await page.evaluate(() => {
      const data = JSON.parse(document.getElementById('zyl-data').textContent);
      const count = (selector) => document.querySelectorAll(selector).length;
      return data.diff
        ? { expected: data.diff.rows.length, chart: count('#diff-chart .group-row'), table: count('#diff-table tbody tr') }
        : { expected: data.profiles[0].groups.length, chart: count('#groups-chart .group-row'), table: count('#groups-table tbody tr') };
    });
    if (counts.chart !== counts.expected || counts.table !== counts.expected) {
      fail(name, `${counts.expected} groups, but ${counts.chart} chart rows and ${counts.table} table rows`);
    }

    // The phase balance: a bar, a table row and a mark on the map for each
    // listed pair (a comparison carries none, and shows none).
    const phases = await page.evaluate(() => {
      const data = JSON.parse(document.getElementById('zyl-data').textContent);
      const balance = data.profiles[0].phase_balance;
      const count = (selector) => document.querySelectorAll(selector).length;
      return {
        listed: balance ? balance.rows.length : 0,
        all: balance ? balance.row_count : 0,
        top: balance && balance.rows.length > 0 ? balance.rows[0].slowest_tile : null,
        section: document.getElementById('phase-balance') !== null,
        heading: document.querySelector('#phase-balance h2')?.textContent ?? '',
        chart: count('#phase-wait-chart .phase-row'),
        table: count('#phase-table tbody tr'),
        marks: count('#map .straggler'),
        carried: balance !== null,
      };
    });
    if (phases.section !== phases.carried) {
      fail(name, `phase balance ${phases.carried ? 'in the data but not drawn' : 'drawn without data'}`);
    }
    if (phases.chart !== phases.listed || phases.table !== phases.listed || phases.marks !== phases.listed) {
      fail(name, `${phases.listed} phase rows, but ${phases.chart} bars, ${phases.table} table rows and ${phases.marks} marks`);
    }
    if (phases.listed > 0 && !/^Phase balance: phases waited (<0\.1|\d+\.\d)% of tile-cycles$/.test(phases.heading)) {
      fail(name, `the phase balance's heading reads ${JSON.stringify(phases.heading)}`);
    }
    if (expectedPhaseRows.has(name) && phases.listed !== expectedPhaseRows.get(name)) {
      fail(name, `${phases.listed} phase rows, expected ${expectedPhaseRows.get(name)}`);
    }
    if (expectedStraggler.has(name)) {
      const tile = expectedStraggler.get(name);
      if (phases.top !== tile) fail(name, `the top phase's slowest tile is ${phases.top}, expected ${tile}`);
      const mark = page.locator('#map .straggler[data-phase-rank="0"]');
      await mark.scrollIntoViewIfNeeded();
      await mark.hover({ force: true });
      const tip = await page.evaluate(() => {
        const tooltip = document.getElementById('tooltip');
        return tooltip.hidden ? '' : tooltip.innerText;
      });
      if (!tip.includes(`slowest tile ${tile} `)) {
        fail(name, `hovering the top phase's mark shows ${JSON.stringify(tip)}`);
      } else {
        console.log(`${name}: hover on the top straggler mark: ${tip.replace(/\n/g, ' | ')}`);
      }
      await page.mouse.move(0, 0);
    }

    for (const problem of problems) fail(name, problem);
    await page.screenshot({ path: path.join(shotDir, name.replace(/\.html?$/, '.png')), fullPage: true });
    console.log(`${name}: ${maps.map((m) => `${m.rows}x${m.columns}`).join(' and ')} map, ${counts.expected} groups, ${phases.listed} of ${phases.all} phase rows`);
    await page.close();
  }
} finally {
  await browser.close();
}
process.exit(failures === 0 ? 0 : 1);
