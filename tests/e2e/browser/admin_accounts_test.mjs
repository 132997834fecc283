// The account and group pages in a real browser, against ftplib clients: an
// account made in the browser (root folder picked in the folder browser, a
// virtual folder, an upload limit) logs in and moves files; read-only
// rights refuse the next upload of its session; a copy is made and deleted;
// a group with a blocked range turns the account away.
//
// Usage: node admin_accounts_test.mjs <e2e_server> <pages folder> <screenshot folder>
import { mkdirSync, mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';

import {
  backToMenu, check, loadChromium, logIn, runTest, startFtpHelper, startServer, stopFtpHelper,
  stopServer,
} from './common.mjs';

const [serverBinary, pagesFolder, screenshotFolder] = process.argv.slice(2);

const folder = mkdtempSync(path.join(tmpdir(), 'quillon-accounts-'));
const data = path.join(folder, 'ftpdata');
mkdirSync(path.join(data, 'dave'), { recursive: true });
mkdirSync(path.join(data, 'shared'), { recursive: true });
const browser = await loadChromium();
const { child, port, ftpPort } = await startServer(serverBinary, folder, pagesFolder);
const ftp = startFtpHelper(ftpPort);
const base = `http://127.0.0.1:${port}`;
await runTest(async () => {
  const page = await browser.newPage({ viewport: { width: 1100, height: 800 } });
  page.on('dialog', (dialog) => dialog.accept());
  const shoot = async (name) => {
    const file = path.join(screenshotFolder, name);
    await page.screenshot({ path: file, fullPage: true });
    console.log(`screenshot: ${file}`);
  };
  const tab = async (name, route) => {
    await page.getByRole('button', { name, exact: true }).click();
    await page.waitForURL(new RegExp(`/${route}\\?id=`));
  };
  const openList = async (name, route) => {
    await backToMenu(page);
    await page.getByRole('link', { name: new RegExp(`^${name}`) }).click();
    await page.waitForURL(new RegExp(`/${route}\\?id=`));
  };
  const editAccount = async (name) => {
    await openList('Accounts', '_accounts');
    await page.locator('#selected').selectOption(name);
    await page.getByRole('button', { name: 'Edit' }).click();
    await page.waitForURL(/\/_editgen\?id=/);
  };
  const update = async (listRoute) => {
    await page.getByRole('button', { name: 'Update' }).click();
    await page.waitForURL(new RegExp(`/${listRoute}\\?id=`));
  };

  await logIn(page, base);

  // A new account: name, password and upload right on the general tab.
  await openList('Accounts', '_accounts');
  await page.getByRole('button', { name: 'Add' }).click();
  await page.waitForURL(/\/_editgen\?id=/);
  await page.getByLabel('User name').fill('dave');
  await page.getByLabel('Set the password').check();
  await page.getByLabel('Password', { exact: true }).fill('pw1234');
  await page.getByLabel('Upload new files').check();
  await shoot('admin-account-general.png');
  await page.setViewportSize({ width: 360, height: 740 });
  const width = await page.evaluate(() => document.documentElement.scrollWidth);
  await page.setViewportSize({ width: 1100, height: 800 });
  check(width <= 360, `the account tab fits a phone screen (${width} px)`);

  // Folders tab: the root folder is picked in the folder browser.
  await tab('Folders', '_editfolders');
  await page.getByLabel('Use a root folder').check();
  await page.getByLabel('Root folder on disk').fill(data);
  const [picker] = await Promise.all([
    page.waitForEvent('popup'),
    page.getByRole('button', { name: 'Browse' }).click(),
  ]);
  await picker.waitForLoadState();
  check((await picker.locator('#fullpath').innerText()) === `${data}/`, 'the browser opens at the typed folder');
  await picker.getByRole('link', { name: 'dave', exact: true }).click();
  await picker.waitForURL(/\/_browse\?/);
  await Promise.all([picker.waitForEvent('close'), picker.getByRole('button', { name: 'Use this folder' }).click()]);
  check((await page.getByLabel('Root folder on disk').inputValue()) === path.join(data, 'dave'),
        'the picked folder fills the form that opened the browser');

  // A virtual folder.
  await page.getByRole('button', { name: 'Create' }).click();
  await page.waitForURL(/\/_editvf\?id=/);
  check((await page.locator('.notice').innerText()) === 'Creating New Virtual Folder...', 'the folder page says what it does');
  await page.getByLabel('Name (FTP path)').fill('/shared');
  await page.getByLabel('Folder on disk').fill(path.join(data, 'shared'));
  await page.getByRole('button', { name: 'OK' }).click();
  await page.waitForURL(/\/_editfolders\?id=/);
  check((await page.locator('#selected option').allInnerTexts()).join() === '/shared', 'the virtual folder is listed');
  await shoot('admin-account-folders.png');

  // Limits tab: an upload speed limit.
  await tab('Limits', '_editlimits');
  await page.getByLabel('Limit upload speed').check();
  await page.getByLabel('Maximum upload speed (KB/s)').fill('512');
  await shoot('admin-account-limits.png');
  await tab('IP addresses', '_ips');
  await shoot('admin-account-ips.png');
  await update('_accounts');
  check((await page.locator('#selected option').allInnerTexts()).includes('dave'), 'the account is stored');

  // The account logs in and moves files.
  check((await ftp.ask('login dave pw1234')) === 'READY', 'the new account logs in with ftplib');
  check((await ftp.ask('stor up.bin')) === 'STORED', 'it uploads a file');
  check((await ftp.ask('retr up.bin')) === `RETRIEVED ${256 * 1024}`, 'it downloads the file again');

  // Read-only rights refuse the next upload of the same session.
  await editAccount('dave');
  await page.getByLabel('Upload new files').uncheck();
  await update('_accounts');
  check((await ftp.ask('stor again.bin')).startsWith('REFUSED 550'), 'the next upload is refused');

  // A copy, then its deletion.
  await page.locator('#selected').selectOption('dave');
  await page.getByRole('button', { name: 'Copy' }).click();
  await page.waitForURL(/\/_editcopy\?id=/);
  check((await page.locator('.notice').innerText()) === "Copying account 'dave'...", 'the copy page names the account');
  await page.getByLabel('New user name').fill('dave2');
  await page.getByRole('button', { name: 'Copy' }).click();
  await page.waitForURL(/\/_accounts\?id=/);
  check((await page.locator('#selected option').allInnerTexts()).includes('dave2'), 'the copy is listed');
  await page.locator('#selected').selectOption('dave2');
  await page.getByRole('button', { name: 'Delete', exact: true }).click();
  await page.waitForURL(/\/_accounts\?id=/);
  check(!(await page.locator('#selected option').allInnerTexts()).includes('dave2'), 'the copy is deleted');

  // A group that blocks loopback; the account joins it and is turned away.
  await openList('Groups', '_groups');
  await page.getByRole('button', { name: 'Add' }).click();
  await page.waitForURL(/\/_editgen\?id=/);
  await page.getByLabel('Group name').fill('blocked');
  await tab('IP addresses', '_ips');
  await page.locator('button[name=buttonaddblocked]').click();
  await page.waitForURL(/\/_groupaddip\?id=/);
  await page.getByLabel('IP, or lower IP of a range').fill('127.0.0.0');
  await page.getByLabel('Upper IP (ranges only)').fill('127.255.255.255');
  await page.getByRole('button', { name: 'Add range' }).click();
  await page.waitForURL(/\/_ips\?id=/);
  await page.getByLabel('These addresses may not log in').check();
  await update('_groups');
  await editAccount('dave');
  await page.getByLabel('Member of a group').check();
  await page.getByLabel('Group', { exact: true }).selectOption('blocked');
  await update('_accounts');
  check((await ftp.ask('login dave pw1234')).startsWith('REFUSED 530'), 'the account in the blocking group is refused');
}, async () => {
  await stopFtpHelper(ftp);
  await browser.close();
  await stopServer(child);
  rmSync(folder, { recursive: true, force: true });
});
