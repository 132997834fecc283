// The remote admin in a real browser: headless Chromium opens the login page,
// is turned away with a wrong password, logs in, reaches the menu, shows an
// injected message as text, and logs out.
//
// Usage: node admin_login_test.mjs <e2e_server> <pages folder> <screenshot.png>
// Exits 77 (skipped) when Chromium or playwright-core is missing, except on
// CI, where that is a failure.
import { spawn } from 'node:child_process';
import { existsSync, mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import readline from 'node:readline';

const [serverBinary, pagesFolder, screenshotPath] = process.argv.slice(2);
const CHROMIUM = '/usr/bin/chromium';
const PASSWORD = 'admin-secret';

function skipOrFail(reason) {
  console.log(reason);
  process.exit(process.env.CI ? 1 : 77);
}

let chromium;
try {
  ({ chromium } = await import('playwright-core'));
} catch {
  skipOrFail('playwright-core is not installed (make test installs it)');
}
if (!existsSync(CHROMIUM)) skipOrFail(`${CHROMIUM} is missing (make test installs it as root)`);

function check(condition, message) {
  if (!condition) throw new Error(message);
  console.log(`ok - ${message}`);
}

// Starts the server and waits for its "PORT" and "ADMIN" lines.
async function startServer(folder) {
  const child = spawn(serverBinary, [folder, 'alice', 'wonder', '--admin', pagesFolder, PASSWORD], {
    stdio: ['pipe', 'pipe', 'inherit'],
  });
  const lines = readline.createInterface({ input: child.stdout });
  const ports = {};
  const timer = setTimeout(() => child.kill(), 20000);
  for await (const line of lines) {
    const [word, value] = line.trim().split(' ');
    ports[word] = Number(value);
    if (word === 'ADMIN') break;
  }
  clearTimeout(timer);
  if (!ports.ADMIN) throw new Error('the server did not start its remote admin');
  return { child, port: ports.ADMIN };
}

async function stopServer(child) {
  child.stdin.end();
  const ended = new Promise((resolve) => child.once('exit', resolve));
  const timer = setTimeout(() => child.kill(), 30000);
  await ended;
  clearTimeout(timer);
}

const folder = mkdtempSync(path.join(tmpdir(), 'quillon-browser-'));
const { child, port } = await startServer(folder);
const base = `http://127.0.0.1:${port}`;
const browser = await chromium.launch({
  executablePath: CHROMIUM,
  headless: true,
  args: ['--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage'],
});
let failed = false;
try {
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
} catch (error) {
  failed = true;
  console.error(`FAILED: ${error.message}`);
} finally {
  await browser.close();
  await stopServer(child);
  rmSync(folder, { recursive: true, force: true });
}
process.exit(failed ? 1 : 0);
