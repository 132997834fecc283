// The remote admin's pages in a real browser, against FTP clients of
// Python's ftplib: another page cannot show the admin in a frame, the
// status page lists a logged-in client and kicks it, a
// file name with markup in it shows as text, a new welcome message greets
// the next client, a blocked range turns clients away until it is removed,
// and the FTP log is read in the log viewer.
//
// Usage: node admin_pages_test.mjs <e2e_server> <pages folder> <screenshot folder>
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';

import {
  backToMenu, check, loadChromium, logIn, runTest, startFtpHelper, startServer, stopFtpHelper,
  stopServer,
} from './common.mjs';

const [serverBinary, pagesFolder, screenshotFolder] = process.argv.slice(2);
const HOSTILE_NAME = '<img src=x onerror=alert(1)>.txt';

const folder = mkdtempSync(path.join(tmpdir(), 'quillon-pages-'));
const browser = await loadChromium();
const { child, port, ftpPort } = await startServer(serverBinary, folder, pagesFolder);
const ftp = startFtpHelper(ftpPort);
const base = `http://127.0.0.1:${port}`;
await runTest(async () => {
  const page = await browser.newPage({ viewport: { width: 1100, height: 800 } });
  let dialogs = 0;
  page.on('dialog', async (dialog) => {
    dialogs += 1;
    await dialog.dismiss();
  });
  const shoot = async (name) => {
    const file = path.join(screenshotFolder, name);
    await page.screenshot({ path: file, fullPage: true });
    console.log(`screenshot: ${file}`);
  };
  const fitsPhone = async () => {
    await page.setViewportSize({ width: 360, height: 740 });
    const width = await page.evaluate(() => document.documentElement.scrollWidth);
    await page.setViewportSize({ width: 1100, height: 800 });
    return width <= 360;
  };

  await logIn(page, base);

  // Another page cannot show the admin in a frame (a click there could act
  // for the administrator).
  const framer = await browser.newPage();
  // The framing page's load waits for its frame's.
  await framer.setContent(`<iframe src="${page.url()}" width="800" height="600"></iframe>`,
                          { waitUntil: 'load' });
  const framed = framer.frames().find((frame) => frame !== framer.mainFrame());
  check(framed !== undefined, 'the framing page holds a frame');
  const shown = await framed.evaluate(() => document.body?.innerText ?? '').catch(() => '');
  check(!framed.url().includes('/_menu') && !shown.includes('Logs'),
        `the menu does not load in the frame (${framed.url()})`);
  await framer.close();

  // The status page lists a logged-in client, and a download of a file whose
  // name holds markup shows that name as text.
  check((await ftp.ask('login')) === 'READY', 'an ftplib client logs in');
  check((await ftp.ask(`upload 16 ${HOSTILE_NAME}`)) === 'UPLOADED', 'a file named with markup is uploaded');
  check((await ftp.ask(`download ${HOSTILE_NAME}`)) === 'DOWNLOADING', 'its download stays in progress');
  await page.getByRole('link', { name: 'Status' }).click();
  await page.waitForURL(/\/_status\?id=/);
  check((await page.locator('#overall').innerText()) === `Activated - Operating on port ${ftpPort}`,
        'the status page shows the running service');
  check((await page.locator('#users').innerText()) === '2', 'it counts the two logged-in sessions');
  const sessions = page.locator('#sessions');
  check((await sessions.innerText()).includes(HOSTILE_NAME), 'the downloaded file name shows as text');
  check((await sessions.locator('img').count()) === 0 && dialogs === 0, 'the file name runs no script');
  await shoot('admin-status.png');
  check(await fitsPhone(), 'the status page fits a phone screen');

  // Kick the idle client with a reason.
  const idleRow = sessions.locator('table').filter({ hasNotText: 'onerror' });
  await idleRow.getByRole('link', { name: 'Kick' }).click();
  await page.waitForURL(/\/_sessionaction\?/);
  check((await page.locator('h1').innerText()) === 'Kicking a Session', 'the kick asks for a reason');
  await page.getByLabel('Reason').fill('Server maintenance');
  await page.getByRole('button', { name: 'OK' }).click();
  await page.waitForURL(/\/_status\?id=/);
  check((await ftp.ask('await_end')) === 'ENDED 421 Server maintenance',
        'the kicked client is ended with the reason');

  // A new welcome message greets the next client.
  await backToMenu(page);
  await page.getByRole('link', { name: 'General settings' }).click();
  await page.waitForURL(/\/_gensettings\?id=/);
  check(Number(await page.getByLabel('FTP port').inputValue()) === ftpPort, 'the settings show the port');
  await page.getByLabel('Welcome message').fill('Welcome to the browser test');
  await shoot('admin-settings.png');
  check(await fitsPhone(), 'the settings page fits a phone screen');
  await page.getByRole('button', { name: 'Save' }).click();
  await page.waitForURL(/\/_menu\?id=/);
  check((await ftp.ask('greet')) === 'GREETING 220 Welcome to the browser test',
        'the next client is greeted with the new message');

  // A blocked range turns clients away until it is removed.
  await page.getByRole('link', { name: 'Server IP lists' }).click();
  await page.waitForURL(/\/_ips\?id=/);
  await page.locator('button[name=buttonaddblocked]').click();
  await page.waitForURL(/\/_genaddip\?id=/);
  check((await page.locator('.notice').innerText()) === "Adding to the Blocked IP's...", 'the add page names its list');
  await page.getByLabel('IP, or lower IP of a range').fill('127.0.0.0');
  await page.getByLabel('Upper IP (ranges only)').fill('127.255.255.255');
  await page.getByRole('button', { name: 'Add range' }).click();
  await page.waitForURL(/\/_ips\?id=/);
  await page.getByLabel('These addresses may not connect').check();
  await page.getByRole('button', { name: 'Update' }).click();
  await page.waitForURL(/\/_menu\?id=/);
  check((await ftp.ask('greet')).startsWith('REFUSED'), 'a blocked client is refused');
  await page.getByRole('link', { name: 'Server IP lists' }).click();
  await page.waitForURL(/\/_ips\?id=/);
  await page.locator('#selectedblocked').selectOption('127.0.0.0-127.255.255.255');
  await page.locator('button[name=buttondeleteblocked]').click();
  await page.waitForURL(/\/_ips\?id=/);
  check((await page.locator('#selectedblocked option').count()) === 0, 'the range is removed from the list');
  await page.getByRole('button', { name: 'Update' }).click();
  await page.waitForURL(/\/_menu\?id=/);
  check((await ftp.ask('greet')).startsWith('GREETING 220'), 'clients are served again');

  // The FTP log holds the kicked session's lines.
  await page.getByRole('link', { name: 'Logs' }).click();
  await page.getByRole('link', { name: 'System logs' }).click();
  await page.waitForURL(/\/_viewlogs\/system\/\?id=\d{49}$/);
  await shoot('admin-logs.png');
  await page.getByRole('link', { name: /^ftp_\d+\.txt$/ }).click();
  const log = await page.locator('body').innerText();
  check(/127\.0\.0\.1 -> alice -> Logged In: Password=\[6 characters\]/.test(log), 'the log shows the login');
  check(log.includes('alice -> Connection Ended.'), 'the log shows the kicked session ending');
  await page.goBack();
  await page.getByRole('link', { name: '<- Up 1 Level' }).click();
  await page.waitForURL(/\/_logs\?id=/);
  check((await page.locator('h1').innerText()) === 'Logs', 'the up link leads back to the logs page');
}, async () => {
  await stopFtpHelper(ftp);
  await browser.close();
  await stopServer(child);
  rmSync(folder, { recursive: true, force: true });
});
