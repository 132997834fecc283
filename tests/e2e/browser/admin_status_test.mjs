// What the administrator sees on the status page while the server works,
// in a real browser: a throttled download shows a rate above zero that the
// page updates without reloading (and the page still refreshes itself
// without script), with screenshots at desktop and phone widths; "Block IP"
// kicks the session and puts its address on the blocked list; the page
// offers only the service action that applies, and Deactivate and "Block
// all" ask first, with script in a dialog and without on a page; a kick or
// stop whose reason is refused shows the refusal, not a 404.
//
// Usage: node admin_status_test.mjs <e2e_server> <pages folder> <screenshot folder>
import { mkdirSync, mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';

import {
  check, loadChromium, logIn, runTest, startFtpHelper, startServer, stopFtpHelper, stopServer,
} from './common.mjs';

const [serverBinary, pagesFolder, screenshotFolder] = process.argv.slice(2);
const THROTTLE_KBS = 64;
const FILE_KB = 4096;  // a minute at the throttled rate: it runs through the test

const folder = mkdtempSync(path.join(tmpdir(), 'quillon-status-'));
mkdirSync(path.join(folder, 'root'), { recursive: true });
writeFileSync(path.join(folder, 'root', 'big.bin'), Buffer.alloc(FILE_KB * 1024, 'b'));
const browser = await loadChromium();
const { child, port, ftpPort } = await startServer(serverBinary, folder, pagesFolder,
                                                   ['--throttle', 'alice', String(THROTTLE_KBS)]);
const ftp = startFtpHelper(ftpPort);
const base = `http://127.0.0.1:${port}`;

// The KB/s figure of a text such as "63.9 KB/s"; NaN when there is none.
const rateOf = (text) => Number.parseFloat((/([0-9.]+) KB\/s/.exec(text) ?? [])[1]);

await runTest(async () => {
  const page = await browser.newPage({ viewport: { width: 1280, height: 800 } });
  const shoot = async (name) => {
    const file = path.join(screenshotFolder, name);
    await page.screenshot({ path: file, fullPage: true });
    console.log(`screenshot: ${file}`);
  };
  await logIn(page, base);
  const id = /id=(\d+)/.exec(page.url())[1];
  const statusUrl = `${base}/_status?id=${id}`;

  // A throttled download in progress shows its rate, bytes of the file's
  // size and times, updated in place.
  check((await ftp.ask('stream big.bin')) === 'STREAMING', 'a throttled download runs');
  await page.getByRole('link', { name: 'Status' }).click();
  await page.waitForURL(/\/_status\?id=/);
  await page.evaluate(() => { window.notReloaded = true; });
  const row = page.locator('#sessions .session').filter({ hasText: 'big.bin' });
  const rate = row.locator('.rate');
  await rate.waitFor({ timeout: 10000 });
  const firstText = await row.innerText();
  const firstUpdate = await page.locator('#live').getAttribute('data-updated');
  // Two refreshes of the fragment later the figures have moved.
  await page.waitForFunction((before) => {
    const live = document.getElementById('live');
    return live.getAttribute('data-updated') !== before && Number(live.getAttribute('data-updated')) > 0;
  }, firstUpdate, { timeout: 8000 });
  await page.waitForTimeout(2500);
  const laterText = await row.innerText();
  const shown = rateOf(await rate.innerText());
  check(shown > 0, `the session shows a rate above zero (${shown} KB/s)`);
  check(shown < THROTTLE_KBS * 3, `the rate is near the throttle (${shown} KB/s of ${THROTTLE_KBS})`);
  check(laterText !== firstText, 'the session row changed since the page loaded');
  check(await page.evaluate(() => window.notReloaded === true), 'the page was not reloaded meanwhile');
  check(new RegExp(`of ${FILE_KB} KB`).test(laterText), 'the row shows the bytes moved of the file size');
  check(/Downloading\.\.\./.test(laterText), 'the row shows the download');
  check(rateOf(await page.locator('#rateout').innerText()) > 0, 'the totals show a rate out above zero');
  check(rateOf(await page.locator('#ratein').innerText()) === 0, 'and no rate in');
  await shoot('admin-status-live.png');
  await page.setViewportSize({ width: 390, height: 844 });
  const phoneWidth = await page.evaluate(() => document.documentElement.scrollWidth);
  check(phoneWidth <= 390, `the status page fits a phone screen (${phoneWidth} px)`);
  await shoot('admin-status-live-phone.png');
  await page.setViewportSize({ width: 1280, height: 800 });

  // Without script the page reloads itself as before.
  const plain = await browser.newContext({ javaScriptEnabled: false, viewport: { width: 1280, height: 800 } });
  const still = await plain.newPage();
  await still.goto(statusUrl);
  check(rateOf(await still.locator('#sessions .rate').first().innerText()) >= 0,
        'without script the page shows the rate too');
  await still.waitForEvent('framenavigated', { timeout: 8000 });
  check(true, 'without script the page reloads itself');
  await plain.close();

  // Block IP beside Stop and Kick: the session is kicked with the reason and
  // its address goes on the blocked list, which turns clients away.
  await row.getByRole('link', { name: 'Block IP' }).click();
  await page.waitForURL(/\/_sessionaction\?.*mode=block/);
  check((await page.locator('h1').innerText()) === 'Blocking an IP', 'Block IP asks for a reason first');
  check((await page.locator('.notice').innerText()).includes('blocking IP 127.0.0.1'), 'it names the address');
  await page.getByLabel('Reason').fill('Blocked by the test');
  await page.getByRole('button', { name: 'OK' }).click();
  await page.waitForURL(/\/_status\?id=/);
  await page.locator('#sessions .session').first().waitFor({ state: 'detached', timeout: 10000 });
  check((await page.locator('#sessions .session').count()) === 0, 'the blocked session is gone');
  check((await ftp.ask('greet')).startsWith('REFUSED 421'), 'a new client from the address is refused');
  await page.goto(`${base}/_menu?id=${id}`);
  await page.getByRole('link', { name: 'Server IP lists' }).click();
  await page.waitForURL(/\/_ips\?id=/);
  check((await page.locator('#selectedblocked option').allInnerTexts()).includes('127.0.0.1'),
        'the blocked list holds the address');
  check(await page.getByLabel('These addresses may not connect').isChecked(), 'and is in use');
  await shoot('admin-status-blocked.png');
  await page.locator('#selectedblocked').selectOption('127.0.0.1');
  await page.locator('button[name=buttondeleteblocked]').click();
  await page.waitForURL(/\/_ips\?id=/);
  await page.getByRole('button', { name: 'Update' }).click();
  await page.waitForURL(/\/_menu\?id=/);
  check((await ftp.ask('greet')).startsWith('GREETING 220'), 'unblocked, clients are served again');
  await page.getByRole('link', { name: 'Logs' }).click();
  await page.getByRole('link', { name: 'System logs' }).click();
  await page.getByRole('link', { name: /^remoteadmin_\d+\.txt$/ }).click();
  check(/127\.0\.0\.1 -> IP Blocked: IP=\[127\.0\.0\.1\], User=\[alice\], Session ID=\[\d+\]/
    .test(await page.locator('body').innerText()), 'the remote admin log shows the block');

  // A refused reason (a "?" and a ";" in it) shows its message.
  check((await ftp.ask('login')) === 'READY', 'a client logs in');
  for (const action of ['Kick', 'Stop']) {
    await page.goto(statusUrl);
    await page.locator('#sessions .session').first().getByRole('link', { name: action, exact: true }).click();
    await page.waitForURL(/\/_sessionaction\?/);
    await page.getByLabel('Reason').fill('Why? Because; that is why');
    await page.getByRole('button', { name: 'OK' }).click();
    await page.waitForURL(/\/_error\?id=/);
    check((await page.locator('h1').innerText()) === 'Something needs attention',
          `a refused ${action.toLowerCase()} reason shows the error page, not a 404`);
    check((await page.locator('.notice').innerText()).includes(
      'The reason cannot contain the following characters: "*:,;\'?><,|'), 'with the refusal as written');
  }
  await shoot('admin-refused-reason.png');
  await page.goto(statusUrl);
  check((await page.locator('#sessions .session').count()) === 1, 'the client was neither kicked nor stopped');

  // Only the action that applies; Deactivate asks first.
  const dialogs = [];
  let answer = false;
  page.on('dialog', async (dialog) => {
    dialogs.push(dialog.message());
    await (answer ? dialog.accept() : dialog.dismiss());
  });
  await page.goto(statusUrl);
  check((await page.getByRole('link', { name: 'Activate' }).count()) === 0, 'an active server offers no Activate');
  await page.getByRole('button', { name: 'Deactivate' }).click();
  await page.waitForTimeout(500);
  check(dialogs.length === 1 && dialogs[0].startsWith('Deactivate the FTP server?'), 'Deactivate asks first');
  check((await page.locator('#overall').innerText()).startsWith('Activated'), 'refused, the server stays active');
  // Without script the question is a page of its own.
  const plainAgain = await browser.newContext({ javaScriptEnabled: false });
  const noScript = await plainAgain.newPage();
  await noScript.goto(statusUrl);
  await noScript.getByRole('button', { name: 'Deactivate' }).click();
  await noScript.waitForURL(/\/_activate\?id=/);
  check((await noScript.locator('h1').innerText()) === 'Deactivating the Server',
        'without script Deactivate shows a confirmation page');
  await noScript.screenshot({ path: path.join(screenshotFolder, 'admin-confirm-deactivate.png'), fullPage: true });
  await noScript.getByRole('link', { name: 'Cancel' }).click();
  await noScript.waitForURL(/\/_status\?id=/);
  check((await noScript.locator('#overall').innerText()).startsWith('Activated'), 'cancelled, it stays active');
  await noScript.getByRole('button', { name: 'Deactivate' }).click();
  await noScript.getByRole('button', { name: 'Deactivate' }).click();
  await noScript.waitForURL(/\/_status\?id=/);
  check((await noScript.locator('#overall').innerText()) === 'Deactivated', 'confirmed, the server deactivates');
  check((await noScript.getByRole('button', { name: 'Deactivate' }).count()) === 0,
        'a deactivated server offers no Deactivate');
  await noScript.getByRole('link', { name: 'Activate' }).click();
  await noScript.waitForURL(/\/_status\?id=/);
  check((await noScript.locator('#overall').innerText()).startsWith('Activated'), 'Activate starts it again');
  answer = true;
  await page.goto(statusUrl);
  await page.getByRole('button', { name: 'Deactivate' }).click();
  await page.waitForURL(/\/_status\?id=/);
  await page.waitForFunction(() => document.getElementById('overall').innerText === 'Deactivated');
  check(dialogs.length === 2, 'with script, the accepted dialog deactivates');
  await page.getByRole('link', { name: 'Activate' }).click();
  await page.waitForURL(/\/_status\?id=/);
  check((await page.locator('#overall').innerText()).startsWith('Activated'), 'and it activates again');

  // "Block all" asks first too.
  answer = false;
  await page.goto(`${base}/_menu?id=${id}`);
  await page.getByRole('link', { name: 'Server IP lists' }).click();
  await page.waitForURL(/\/_ips\?id=/);
  await page.locator('button[name=buttonblockall]').click();
  await page.waitForTimeout(500);
  check(dialogs.length === 3 && dialogs[2].startsWith('Block every IP address?'), '"Block all" asks first');
  check((await page.locator('#selectedblocked option').count()) === 0, 'refused, nothing is added');
  await noScript.goto(page.url());
  await noScript.getByLabel('These addresses may not connect').check();
  await noScript.locator('button[name=buttonblockall]').click();
  check((await noScript.locator('h1').innerText()) === 'Blocking All IPs',
        'without script "Block all" shows a confirmation page');
  await noScript.getByRole('link', { name: 'Cancel' }).click();
  await noScript.waitForURL(/\/_ips\?id=/);
  check((await noScript.locator('#selectedblocked option').count()) === 0, 'cancelled, nothing is added');
  check(await noScript.getByLabel('These addresses may not connect').isChecked(), 'and the switch is kept');
  await noScript.locator('button[name=buttonblockall]').click();
  await noScript.getByRole('button', { name: 'Block all' }).click();
  await noScript.waitForURL(/\/_ips\?id=/);
  check((await noScript.locator('#selectedblocked option').allInnerTexts()).includes('0.0.0.0-255.255.255.255'),
        'confirmed, the whole range is on the work list');
  await noScript.getByRole('button', { name: 'Cancel' }).click();  // leaves the lists as they were
  await plainAgain.close();
}, async () => {
  await stopFtpHelper(ftp);
  await browser.close();
  await stopServer(child);
  rmSync(folder, { recursive: true, force: true });
});
