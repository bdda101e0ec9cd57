// How long a page of the web console takes to be usable in headless
// Chromium (Debian's; a fresh profile of playwright's), for scripts/bench-server: from the navigation to the
// moment the page's data is shown (SELECTOR visible), signed in by COOKIE.
//
// usage: node bench/web_page.mjs URL COOKIE SELECTOR [RUNS]
// prints one JSON line: {"runs": [ms, ...], "median": ms}
import { createRequire } from 'node:module';

const require = createRequire(new URL('../tests/web/package.json', import.meta.url));
const { chromium } = require('playwright-core');

const [url, cookie, selector, runsText] = process.argv.slice(2);
const runs = Number(runsText || 5);
const browser = await chromium.launch({
  executablePath: '/usr/bin/chromium',
  args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
         '--disable-component-update', '--disable-sync'],
});
try {
  const context = await browser.newContext({ viewport: { width: 1366, height: 768 } });
  const origin = new URL(url);
  await context.addCookies([{ name: 'orvalinth_session', value: cookie, domain: origin.hostname, path: '/',
                              httpOnly: true, sameSite: 'Strict' }]);
  const times = [];
  for (let i = 0; i < runs; i++) {
    const page = await context.newPage();
    const start = Date.now();
    await page.goto(url, { waitUntil: 'commit' });
    await page.locator(selector).first().waitFor({ state: 'visible', timeout: 30000 });
    times.push(Date.now() - start);
    await page.close();
  }
  const sorted = [...times].sort((a, b) => a - b);
  console.log(JSON.stringify({ runs: times, median: sorted[Math.floor(sorted.length / 2)] }));
} finally {
  await browser.close();
}
