// The accounts table in a real browser: the filter narrows it as a GET form
// and live as it is typed; bulk disable asks first and changes nothing when
// refused; an account that uploaded shows its sessions, last login and the
// space it uses against its allocation, in the table and on its Limits tab.
//
// Usage: node admin_accounts_table_test.mjs <e2e_server> <pages folder> <screenshot folder>
import { mkdirSync, mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';

import {
  backToMenu, check, loadChromium, logIn, runTest, startFtpHelper, startServer, stopFtpHelper,
  stopServer,
} from './common.mjs';

const [serverBinary, pagesFolder, screenshotFolder] = process.argv.slice(2);

const folder = mkdtempSync(path.join(tmpdir(), 'quillon-table-'));
const data = path.join(folder, 'ftpdata');
mkdirSync(path.join(data, 'dave'), { recursive: true });
const browser = await loadChromium();
const { child, port, ftpPort } = await startServer(serverBinary, folder, pagesFolder);
const ftp = startFtpHelper(ftpPort);
const base = `http://127.0.0.1:${port}`;
await runTest(async () => {
  const page = await browser.newPage({ viewport: { width: 1280, height: 800 } });
  const dialogs = [];
  let acceptDialogs = true;
  page.on('dialog', (dialog) => {
    dialogs.push(dialog.message());
    return acceptDialogs ? dialog.accept() : dialog.dismiss();
  });
  // Full-page shots at 1280 and 390 px; at 390 the page must not scroll sideways.
  const shootBoth = async (name) => {
    for (const width of [1280, 390]) {
      await page.setViewportSize({ width, height: 800 });
      const file = path.join(screenshotFolder, `${name}-${width}.png`);
      await page.screenshot({ path: file, fullPage: true });
      console.log(`screenshot: ${file}`);
      const scroll = await page.evaluate(() => document.documentElement.scrollWidth);
      check(scroll <= width, `${name} fits ${width} px (${scroll} px)`);
    }
    await page.setViewportSize({ width: 1280, height: 800 });
  };
  const tab = async (name, route) => {
    await page.getByRole('button', { name, exact: true }).click();
    await page.waitForURL(new RegExp(`/${route}\\?id=`));
  };
  const openAccounts = async () => {
    await backToMenu(page);
    await page.getByRole('link', { name: /^Accounts/ }).click();
    await page.waitForURL(/\/_accounts\?id=/);
  };
  const shownNames = () => page.locator('#records tbody tr[data-name]:visible th').allInnerTexts();
  const cell = async (name, column) => {
    const headers = await page.locator('#records thead th').allInnerTexts();
    const at = headers.indexOf(column);
    check(at > 0, `the table has the column ${column}`);
    return page.locator(`#records tbody tr[data-name="${name}"] > *`).nth(at).innerText();
  };
  const addAccount = async (name, more) => {
    await openAccounts();
    await page.getByRole('button', { name: 'Add' }).click();
    await page.waitForURL(/\/_editgen\?id=/);
    await page.getByLabel('User name').fill(name);
    await page.getByLabel('Set the password').check();
    await page.getByLabel('Password', { exact: true }).fill('pw1234');
    if (more) await more();
    await page.getByRole('button', { name: 'Update' }).click();
    await page.waitForURL(/\/_accounts\?id=/);
  };

  await logIn(page, base);
  await addAccount('bob');
  await addAccount('carol');
  await addAccount('dave', async () => {
    await page.getByLabel('Upload new files').check();
    await tab('Folders', '_editfolders');
    await page.getByLabel('Use a root folder').check();
    await page.getByLabel('Root folder on disk').fill(path.join(data, 'dave'));
    await tab('Limits', '_editlimits');
    await page.getByLabel('Limit the size').check();
    await page.getByLabel('Maximum size (MB)').fill('1');
  });
  check((await shownNames()).join() === 'alice,bob,carol,dave', 'every account has a row');
  check(await cell('dave', 'Last login') === '-', 'no login since the start shows "-"');

  // dave logs in and uploads 256 KiB: one session, a last login, a quarter used.
  check((await ftp.ask('login dave pw1234')) === 'READY', 'dave logs in');
  check((await ftp.ask('stor up.bin')) === 'STORED', 'dave uploads a file');
  await page.reload();
  check(await cell('dave', 'Sessions') === '1', 'the table counts the live session');
  check(/^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d$/.test(await cell('dave', 'Last login')), 'the login time shows');
  check(await cell('dave', 'Space used') === '256 KB (25%)', 'the used space comes from the cache');
  check(await cell('dave', 'Allocation') === '1 MB', 'the allocation shows');
  await shootBoth('admin-accounts-table');

  // The filter without script: a GET form.
  await page.getByLabel('Filter by name').fill('CAR');
  await page.getByRole('button', { name: 'Filter', exact: true }).click();
  await page.waitForURL(/\/_accounts\?id=\d+&filter=CAR$/);
  check((await page.locator('#records tbody tr[data-name]').count()) === 1, 'the server sends only the matching row');
  check((await shownNames()).join() === 'carol', 'the filtered list holds carol only');
  // Live: typing narrows the rows at once.
  await openAccounts();
  await page.getByLabel('Filter by name').pressSequentially('o');
  check((await shownNames()).join() === 'bob,carol', 'typing narrows the list');
  await page.getByLabel('Filter by name').fill('');
  check((await shownNames()).length === 4, 'an empty filter shows every row again');

  // Bulk disable asks first; refused, nothing changes.
  await page.getByLabel('Select bob').check();
  await page.getByLabel('Select carol').check();
  acceptDialogs = false;
  await page.getByRole('button', { name: 'Disable selected', exact: true }).click();
  check(dialogs.at(-1) === 'Are you sure you want to disable the selected accounts?', 'disabling asks first');
  await page.reload();
  check(await cell('bob', 'Enabled') === 'Yes', 'a refused confirmation changes nothing');
  await page.getByLabel('Select bob').check();
  await page.getByLabel('Select carol').check();
  acceptDialogs = true;
  await page.getByRole('button', { name: 'Disable selected', exact: true }).click();
  await page.waitForURL(/\/_accounts\?id=\d+$/);
  check(dialogs.length === 2, 'each bulk disable asked once');
  for (const [name, enabled] of [['bob', 'No'], ['carol', 'No'], ['dave', 'Yes'], ['alice', 'Yes']])
    check(await cell(name, 'Enabled') === enabled, `${name} is ${enabled === 'Yes' ? 'still' : 'now'} ${enabled}`);
  check((await ftp.ask('login carol pw1234')).startsWith('REFUSED 530'), 'a disabled account cannot log in');

  // The Limits tab shows the used space against the allocation.
  await page.locator('#selected').selectOption('dave');
  await page.getByRole('button', { name: 'Edit', exact: true }).click();
  await page.waitForURL(/\/_editgen\?id=/);
  await tab('Limits', '_editlimits');
  check(await page.locator('#usedspace').innerText() === 'Used: 256 KB of 1 MB (25%)', 'the Limits tab shows used of allocation');
  await shootBoth('admin-account-used');
}, async () => {
  await stopFtpHelper(ftp);
  await browser.close();
  await stopServer(child);
  rmSync(folder, { recursive: true, force: true });
});
