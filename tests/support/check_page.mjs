// Opens report pages in headless Chromium from file:// and checks what a
// reader sees: no console or page error, each map's canvas holding the rows
// and columns its data has, a tooltip with the tile range and the shares
// when a busy cell is hovered, and as many chart rows and table rows as
// the page has groups (or comparison rows). Saves a screenshot of each.
// Run by scripts/check-report-page.sh.
//
// node check_page.mjs NPM_DIR SHOT_DIR PAGE.html...
import { createRequire } from 'node:module';
import path from 'node:path';
import { pathToFileURL } from 'node:url';

const [npmDir, shotDir, ...pages] = process.argv.slice(2);
if (!npmDir || !shotDir || pages.length === 0) {
  console.error('usage: node check_page.mjs NPM_DIR SHOT_DIR PAGE.html...');
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

    for (const problem of problems) fail(name, problem);
    await page.screenshot({ path: path.join(shotDir, name.replace(/\.html?$/, '.png')), fullPage: true });
    console.log(`${name}: ${maps.map((m) => `${m.rows}x${m.columns}`).join(' and ')} map, ${counts.expected} groups`);
    await page.close();
  }
} finally {
  await browser.close();
}
process.exit(failures === 0 ? 0 : 1);
