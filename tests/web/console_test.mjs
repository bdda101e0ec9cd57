// The web console in a real headless Chromium (Debian's /usr/bin/chromium,
// driven by playwright-core): sign-in, the lists, a machine's snapshots and
// a comparison, a scan whose snapshot appears live, the page's own policy
// against fetches elsewhere, a rollout watched until the agent reports its
// new version, and a screenshot of every page.
//
// usage: node console_test.mjs --url URL --user NAME --password PASS --shots DIR
//          --machines N1,N2,... --wine NAME --expect TEXT --scan NAME
//          [--rollout EXE --rollout-version V --group G] [--other-port P]
//
//   --machines  the names the overview and the machine list must show
//   --wine      the machine whose comparison shows --expect (a change row's text)
//   --scan      the machine "Scan now" is tried on
//   --rollout   the executable rolled out to the group --group (set on --wine
//               through its page first), watched until it reports --rollout-version
//   --other-port a loopback port that the page must not be able to reach
//
// Prints "ok <step>" for every step, "console test passed" at the end; the
// first failure prints "FAILED <step>: <why>" and exits 1.

import { mkdtempSync, mkdirSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { chromium } from 'playwright-core';

function parseArgs(argv) {
  const args = {};
  for (let i = 0; i < argv.length; ++i) {
    if (!argv[i].startsWith('--')) throw new Error(`unexpected argument ${argv[i]}`);
    args[argv[i].slice(2)] = argv[i + 1];
    ++i;
  }
  for (const needed of ['url', 'user', 'password', 'shots', 'machines', 'wine', 'expect', 'scan']) {
    if (!args[needed]) throw new Error(`--${needed} is missing`);
  }
  return args;
}

const args = parseArgs(process.argv.slice(2));
const base = args.url.replace(/\/$/, '');
const machines = args.machines.split(',').filter(Boolean);
mkdirSync(args.shots, { recursive: true });

const kStep = 20000;       // a step's own wait: the API answers at once, agents within seconds
const kRollout = 60000;    // a Wine service downloads, restarts and greets again

let step = 'start';
let browser = null;
const profile = mkdtempSync(join(tmpdir(), 'orvalinth-console-'));
const problems = [];       // errors of the page's own scripts

async function run(name, fn) {
  step = name;
  const started = Date.now();
  await fn();
  console.log(`ok ${name} (${Date.now() - started} ms)`);
}

async function shot(page, name) {
  await page.waitForLoadState('load');
  // A passing notice would hide part of the page.
  await page.evaluate(() => { const toast = document.getElementById('toast'); if (toast) toast.hidden = true; });
  await page.screenshot({ path: join(args.shots, `${name}.png`) });
}

async function main() {
  browser = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    viewport: { width: 1366, height: 768 },
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  const page = browser.pages()[0] || await browser.newPage();
  page.setDefaultTimeout(kStep);
  page.on('pageerror', (error) => problems.push(`${step}: ${error.message}`));
  page.on('console', (message) => {
    // The policy's own refusals are what one step wants to see, and the report in its sandboxed
    // frame runs none of its script; any other error is the page's.
    if (message.type() === 'error' &&
        !/Content Security Policy|Failed to load resource|net::ERR|Blocked script execution in '[^']*\/api\/v1\/compare/.test(message.text())) {
      problems.push(`${step}: console: ${message.text()}`);
    }
  });

  await run('the sign-in form', async () => {
    await page.goto(`${base}/`);
    await page.locator('#sign-in-name').waitFor({ state: 'visible' });
    await shot(page, 'signin');
  });

  await run('a wrong password is refused', async () => {
    await page.fill('#sign-in-name', args.user);
    await page.fill('#sign-in-password', `${args.password}-wrong`);
    await page.press('#sign-in-password', 'Enter');
    await page.locator('#sign-in-error').filter({ hasText: 'wrong' }).waitFor();
  });

  await run('sign in', async () => {
    await page.fill('#sign-in-password', args.password);
    await page.click('#sign-in-form button[type=submit]');
    await page.locator('#nav').waitFor({ state: 'visible' });
    await page.locator('#live.on').waitFor();
  });

  await run('the overview lists the machines', async () => {
    for (const name of machines) await page.locator('#online-machines').getByRole('link', { name, exact: true }).waitFor();
    await shot(page, 'overview');
  });

  await run('the machine list', async () => {
    await page.getByRole('link', { name: 'Machines', exact: true }).click();
    for (const name of machines) await page.locator('#machines').getByRole('link', { name, exact: true }).waitFor();
    await shot(page, 'machines');
  });

  let wineHash = '';
  await run('a machine\'s snapshots', async () => {
    await page.locator('#machines').getByRole('link', { name: args.wine, exact: true }).click();
    await page.locator('#snapshots li .compare-link').first().waitFor();
    wineHash = new URL(page.url()).hash;
    if (args.group) {
      await page.fill('#group-input', args.group);
      await page.click('[data-key=group-save]');
      await page.locator('table.info td', { hasText: args.group }).first().waitFor();
    }
    await shot(page, 'machine');
  });

  await run('browsing the machine, and the uninstall dialog', async () => {
    await page.click('#browse');
    await page.locator('#browse-body button').first().waitFor();
    await page.locator('#browse-body button').first().click();
    await page.locator('#browse-path').filter({ hasText: ':\\' }).waitFor();
    await page.locator('#browse-body li').first().waitFor();
    await page.keyboard.press('Escape');
    await page.locator('#browse-dialog').waitFor({ state: 'hidden' });
    // Only the machine's name, typed, lets the button go; Escape leaves it installed.
    await page.click('#uninstall');
    await page.fill('#uninstall-confirm', `${args.wine}-not`);
    if (await page.locator('#uninstall-go').isEnabled()) throw new Error('uninstall allowed with a wrong name');
    await page.fill('#uninstall-confirm', args.wine);
    if (!await page.locator('#uninstall-go').isEnabled()) throw new Error('uninstall refused with the right name');
    await page.keyboard.press('Escape');
    await page.locator('#uninstall-dialog').waitFor({ state: 'hidden' });
  });

  await run('a comparison shows the change', async () => {
    await page.locator('#snapshots li .compare-link').first().click();
    await page.locator('#changes').filter({ hasText: args.expect }).waitFor();
    await page.click('#full-report');
    await page.frameLocator('#report-frame').locator('body').filter({ hasText: args.expect }).waitFor();
    await page.locator('#changes').filter({ hasText: args.expect }).first().scrollIntoViewIfNeeded();
    await page.evaluate(() => window.scrollTo(0, 0));
    await shot(page, 'comparison');
  });

  await run('a scan\'s snapshot appears live', async () => {
    await page.goto(`${base}/#/machines`);
    await page.locator('#machines').getByRole('link', { name: args.scan, exact: true }).click();
    await page.locator('#scan-now:not([disabled])').waitFor();
    const before = await page.locator('#snapshots li').count();
    // A mark on the window: it is gone if the page loads again.
    await page.evaluate(() => { window.consoleTestMark = 'kept'; });
    await page.click('#scan-now');
    await page.locator('#scan-progress').filter({ hasText: /Scan \d+/ }).waitFor();
    await page.locator('#snapshots li').nth(before).waitFor({ timeout: 40000 });
    if (await page.evaluate(() => window.consoleTestMark) !== 'kept') throw new Error('the page loaded again');
  });

  await run('the page\'s policy blocks fetches elsewhere', async () => {
    const targets = ['http://example.invalid/'];
    if (args['other-port']) targets.push(`http://127.0.0.1:${args['other-port']}/`);
    for (const target of targets) {
      const outcome = await page.evaluate((url) => new Promise((resolve) => {
        const seen = (e) => resolve({ violation: e.effectiveDirective || e.violatedDirective, blocked: e.blockedURI });
        document.addEventListener('securitypolicyviolation', seen, { once: true });
        fetch(url, { mode: 'no-cors' }).then(() => resolve({ fetched: true }), () => {});
        setTimeout(() => resolve({ timeout: true }), 5000);
      }), target);
      if (!outcome.violation || !/connect-src/.test(outcome.violation)) throw new Error(`${target}: ${JSON.stringify(outcome)}`);
    }
    // An inline script is refused as well.
    const inline = await page.evaluate(() => new Promise((resolve) => {
      document.addEventListener('securitypolicyviolation', (e) => resolve(e.effectiveDirective || e.violatedDirective), { once: true });
      const script = document.createElement('script');
      script.textContent = 'window.consoleTestInline = 1;';
      document.body.append(script);
      setTimeout(() => resolve(window.consoleTestInline ? 'ran' : 'nothing'), 3000);
    }));
    if (!/script-src/.test(inline)) throw new Error(`an inline script: ${inline}`);
  });

  if (args.rollout) {
    await run('a rollout starts', async () => {
      await page.getByRole('link', { name: 'Rollouts', exact: true }).click();
      await page.setInputFiles('#ro-file', args.rollout);
      await page.fill('#ro-group', args.group || '');
      await page.fill('#ro-canary', '100');
      await page.fill('#ro-wave', '1');
      await page.fill('#ro-timeout', '120');
      await page.click('#ro-start');
      await page.locator('article.rollout').first().waitFor();
    });
  }

  await run('search', async () => {
    await page.getByRole('link', { name: 'Search', exact: true }).click();
    await page.fill('#inv-q', '*');
    await page.click('text=Search the inventory');
    await page.locator('#inventory-results').waitFor();
    await page.fill('#chg-q', `*${args.expect}*`);
    await page.click('text=Search the changes');
    await page.locator('#change-results').filter({ hasText: args.expect }).waitFor();
    await shot(page, 'search');
  });

  await run('profiles and schedules', async () => {
    await page.getByRole('link', { name: 'Schedules', exact: true }).click();
    await page.locator('#profiles').waitFor();
    await page.click('text=New profile');
    await page.fill('#pf-name', 'console');
    await page.fill('#pf-files', 'C:\\Users\\Public');
    await page.fill('#pf-registry', 'HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run');
    await page.click('text=Save the profile');
    await page.locator('#profiles').getByText('console', { exact: true }).waitFor();
    await page.locator('#sc-profile').selectOption('console');
    await page.fill('#sc-target', args.group || '*');
    await page.fill('#sc-interval', '24h');
    await page.click('text=Add the schedule');
    await page.locator('#schedules td', { hasText: 'console' }).first().waitFor();
    await shot(page, 'schedules');
  });

  await run('the server\'s health', async () => {
    await page.getByRole('link', { name: 'Health', exact: true }).click();
    await page.locator('#health table').first().waitFor();
    await shot(page, 'health');
  });

  if (args.rollout) {
    await run('the rollout reaches the agent', async () => {
      await page.getByRole('link', { name: 'Rollouts', exact: true }).click();
      await page.locator('article.rollout[data-state=done]').first().waitFor({ timeout: kRollout });
      await shot(page, 'rollouts');
      // The machine itself says so, on its page.
      await page.goto(`${base}/${wineHash}`);
      await page.locator('table.info tr', { hasText: 'Version' }).filter({ hasText: String(args['rollout-version']) }).waitFor({ timeout: kRollout });
    });
  } else {
    await run('the rollouts page', async () => {
      await page.getByRole('link', { name: 'Rollouts', exact: true }).click();
      await page.locator('#rollout-form').waitFor();
      await shot(page, 'rollouts');
    });
  }

  await run('sign out', async () => {
    await page.click('#sign-out');
    await page.locator('#sign-in-name').waitFor({ state: 'visible' });
  });

  if (problems.length) {
    step = 'the page\'s own scripts';
    throw new Error(problems.join('\n'));
  }
}

try {
  await main();
  console.log('console test passed');
} catch (error) {
  console.log(`FAILED ${step}: ${error.message}`);
  if (browser) {
    const page = browser.pages()[0];
    if (page) await page.screenshot({ path: join(args.shots, 'failure.png') }).catch(() => {});
  }
  process.exitCode = 1;
} finally {
  if (browser) await browser.close().catch(() => {});
  rmSync(profile, { recursive: true, force: true });
}
