// Opens a trace in speedscope in headless Chromium, saves a screenshot and
// reports what speedscope's importer said. Every frame speedscope "closes
// automatically" at the end of a track is a sample it took to be still
// running when all later ones began: the staircase a drawn overlap makes.
// Run by scripts/check-trace-viewer.sh, which serves speedscope and the trace.
//
// node speedscope-shot.mjs URL SHOT.png [VIEW]   (VIEW: a view button's text,
// e.g. "Left Heavy"; TRACE_NPM: where playwright-core is)
import { createRequire } from 'node:module';

const [url, shot, view] = process.argv.slice(2);
if (!url || !shot) {
  console.error('usage: node speedscope-shot.mjs URL SHOT.png [VIEW]');
  process.exit(2);
}
// playwright-core lives in a scratch npm folder, not in the repository, and
// ES module imports do not search NODE_PATH.
const require = createRequire(`${process.env.TRACE_NPM ?? '/tmp/trace-npm'}/`);
const { chromium } = require('playwright-core');

const browser = await chromium.launch({
  executablePath: process.env.CHROMIUM ?? '/usr/bin/chromium',
  args: ['--no-sandbox'],
});
let stillOpen = 0;
const problems = [];
try {
  const page = await browser.newPage({ viewport: { width: 1600, height: 900 } });
  page.on('console', (message) => {
    const text = message.text();
    if (text.includes('still open at end of profile')) ++stillOpen;
    else if (message.type() === 'error') problems.push(text);
  });
  page.on('pageerror', (error) => problems.push(String(error)));
  await page.goto(url);
  // The view switcher appears once the profile is imported; two animation
  // frames later the flame chart is on the canvas.
  await page.getByText('Left Heavy').first().waitFor({ timeout: 60000 });
  if (view) await page.getByText(view).first().click();
  await page.evaluate(
    () => new Promise((done) => requestAnimationFrame(() => requestAnimationFrame(done))),
  );
  await page.screenshot({ path: shot });
} finally {
  await browser.close();
}
console.log(`samples speedscope left open at the end of a track: ${stillOpen}`);
for (const problem of problems) console.log(`page error: ${problem}`);
process.exit(stillOpen === 0 && problems.length === 0 ? 0 : 1);
