// The remote admin in a real browser: headless Chromium opens the login page,
// is turned away with a wrong password, logs in, reaches the menu, shows an
// injected message as text, and logs out.
//
// Usage: node admin_login_test.mjs <e2e_server> <pages folder> <screenshot.png>
// Exits 77 (skipped) when Chromium or playwright-core is missing, except on
// CI, where that is a failure.
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';

import { PASSWORD, check, loadChromium, runTest, startServer, stopServer } from './common.mjs';

const [serverBinary, pagesFolder, screenshotPath] = process.argv.slice(2);

const folder = mkdtempSync(path.join(tmpdir(), 'quillon-browser-'));
const browser = await loadChromium();
const { child, port } = await startServer(serverBinary, folder, pagesFolder);
const base = `http://127.0.0.1:${port}`;
await runTest(async () => {
  const page = await browser.newPage({ viewport: { width: 1100, height: 760 } });
  let dialogs = 0;
  page.on('dialog', async (dialog) => {
    dialogs += 1;
    await dialog.dismiss();
  });

  await page.goto(`${base}/`);
  check((await page.title()) === 'Log in - Quillon FTP Server', 'the root shows the login page');
  check((await page.locator('footer').innerText()) === 'Quillon FTP Server 1.03 by Marrowind',
        'the footer names the product and its maker');
  const barColour = await page.locator('header').evaluate((node) => getComputedStyle(node).backgroundColor);
  check(barColour === 'rgb(22, 32, 46)', `the stylesheet is applied (${barColour})`);

  const started = Date.now();
  await page.getByLabel('Administrator password').fill('wrong6');
  await page.getByRole('button', { name: 'Log in' }).click();
  await page.waitForURL(`${base}/badlogin.html`, { timeout: 20000 });
  const waited = Date.now() - started;
  check(waited >= 4900, `a wrong password is answered after the pause (${waited} ms)`);
  check((await page.locator('h1').innerText()) === 'Login failed', 'the bad-login page says so');

  await page.getByLabel('Administrator password').fill(PASSWORD);
  await page.getByRole('button', { name: 'Log in' }).click();
  await page.waitForURL(/\/_menu\?id=\d{49}$/, { timeout: 10000 });
  const id = new URL(page.url()).searchParams.get('id');
  check((await page.locator('h1').innerText()) === 'Menu', 'the right password reaches the menu');
  check((await page.locator('.tiles a').count()) === 6, 'the menu lists the six sections');
  await page.screenshot({ path: screenshotPath, fullPage: true });
  console.log(`screenshot: ${screenshotPath}`);

  await page.goto(`${base}/_error?id=${id}&msg1=<script>alert(1)</script>`);
  const notice = await page.locator('.notice').innerText();
  check(notice.includes('<script>alert(1)</script>'), 'an injected message is shown as text');
  check((await page.locator('main script').count()) === 0 && dialogs === 0,
        'an injected message runs no script');

  // A narrow phone screen needs no sideways scrolling.
  await page.setViewportSize({ width: 360, height: 740 });
  await page.goto(`${base}/_menu?id=${id}`);
  const width = await page.evaluate(() => document.documentElement.scrollWidth);
  check(width <= 360, `the menu fits a phone screen (${width} px)`);

  await page.getByRole('link', { name: 'Log out' }).click();
  await page.waitForURL(`${base}/loggedout.html`, { timeout: 10000 });
  check((await page.locator('h1').innerText()) === 'Logged out', 'the logout link logs out');
  await page.goto(`${base}/_menu?id=${id}`);
  check(page.url() === `${base}/badlogin.html`, 'the old id is refused after logout');
}, async () => {
  await browser.close();
  await stopServer(child);
  rmSync(folder, { recursive: true, force: true });
});
