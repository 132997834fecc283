// Every page of the remote admin at 1280 and 390 px: a screenshot of each
// (admin-page-<name>-<width>.png in the screenshot folder), no page that
// scrolls sideways on a phone (boxes meant to scroll, such as the accounts
// table, scroll inside themselves), and each refused field's message shown
// right below that field. Deleting a virtual folder or a group asks first:
// in a dialog with script, on a confirmation page without.
//
// Usage: node admin_screens_test.mjs <e2e_server> <pages folder> <screenshot folder>
import { mkdirSync, mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';

import { check, loadChromium, logIn, runTest, startServer, stopServer } from './common.mjs';

const [serverBinary, pagesFolder, screenshotFolder] = process.argv.slice(2);
const WIDTHS = [1280, 390];

const folder = mkdtempSync(path.join(tmpdir(), 'quillon-screens-'));
const shared = path.join(folder, 'root', 'shared');
mkdirSync(shared, { recursive: true });
const browser = await loadChromium();
const { child, port } = await startServer(serverBinary, folder, pagesFolder);
const base = `http://127.0.0.1:${port}`;
await runTest(async () => {
  const page = await browser.newPage({ viewport: { width: 1280, height: 800 } });
  const dialogs = [];
  page.on('dialog', (dialog) => {
    dialogs.push(dialog.message());
    return dialog.accept();
  });
  const id = () => new URL(page.url()).searchParams.get('id');

  // The page's document is no wider than the window.
  const fits = async (target) => target.evaluate(() => document.documentElement.scrollWidth <= window.innerWidth);
  // The refusal of `field` sits right below the field, within its column.
  const beside = async (target, field, message) => {
    const error = target.locator(`#${field}-error`);
    await error.waitFor();
    check((await error.innerText()) === message, `"${message}" shows for ${field}`);
    const [at, box] = [await target.locator(`#${field}`).boundingBox(), await error.boundingBox()];
    const gap = box.y - (at.y + at.height);
    const overlaps = box.x < at.x + at.width && at.x < box.x + box.width;
    return gap >= -1 && gap <= 48 && overlaps;
  };
  // Screenshots at both widths; at 390 px nothing scrolls sideways and the
  // field errors named stay below their fields.
  const shoot = async (name, target = page, errors = []) => {
    for (const width of WIDTHS) {
      await target.setViewportSize({ width, height: 800 });
      const file = path.join(screenshotFolder, `admin-page-${name}-${width}.png`);
      await target.screenshot({ path: file, fullPage: true });
      console.log(`screenshot: ${file}`);
      if (width === 390) check(await fits(target), `${name} does not scroll sideways at 390 px`);
      for (const [field, message] of errors)
        check(await beside(target, field, message), `${name}: the ${field} error is beside its field at ${width} px`);
    }
    await target.setViewportSize({ width: 1280, height: 800 });
  };
  const go = async (route, query = '') => {
    await page.goto(`${base}/${route}?id=${id()}${query}`);
  };
  const click = async (name, route, target = page) => {
    await target.getByRole('button', { name, exact: true }).click();
    await target.waitForURL(new RegExp(`/${route}\\?id=`));
  };
  const edit = async (list, name) => {
    await go(list);
    await page.locator('#selected').selectOption(name);
    await click('Edit', '_editgen');
  };

  await logIn(page, base);
  await shoot('menu');
  await go('_status');
  await page.locator('#live').waitFor();
  await shoot('status');
  await go('_accounts');
  await shoot('accounts');

  // An account's tabs, the virtual folder form and the refusals of each.
  await edit('_accounts', 'alice');
  await shoot('account-general');
  await page.getByLabel('User name').fill('');
  await page.getByRole('button', { name: 'Update' }).click();
  await shoot('field-error-account', page, [['user', 'You have not given a user login.']]);
  check((await page.getByLabel('User name').inputValue()) === '', 'the general tab shows the name as typed');
  await page.getByLabel('User name').fill('alice');
  await click('Folders', '_editfolders');
  await shoot('account-folders');
  await click('Create', '_editvf');
  await shoot('virtual-folder');
  await page.getByLabel('Name (FTP path)').fill('/shared');
  await page.getByLabel('Folder on disk').fill(shared);
  await page.getByLabel('Limit the size').check();
  await page.getByLabel('Maximum size (MB)').fill('0');
  await page.getByRole('button', { name: 'OK' }).click();
  await shoot('field-error-folder', page, [['maxsize', 'Please specify a maximum size greater than 0.']]);
  await page.getByLabel('Limit the size').uncheck();
  await page.getByRole('button', { name: 'OK' }).click();
  await page.waitForURL(/\/_editfolders\?id=/);
  await click('Limits', '_editlimits');
  await shoot('account-limits');
  await page.getByLabel('Limit sessions').check();
  await page.getByLabel('Maximum sessions').fill('0');
  await page.getByRole('button', { name: 'Update' }).click();
  await shoot('field-error-limits', page, [['maxusers', 'The maximum users must be greater than 0.']]);
  check(await page.getByLabel('Limit sessions').isChecked(), 'the limits tab shows the boxes as ticked');
  await page.getByLabel('Limit sessions').uncheck();
  await click('IP addresses', '_ips');
  await shoot('account-ips');
  await page.locator('button[name=buttonaddsafe]').click();
  await page.waitForURL(/\/_accountaddip\?id=/);
  await shoot('account-addip');
  await page.getByLabel('IP, or lower IP of a range').fill('10.0.0.300');
  await page.getByRole('button', { name: 'Add IP' }).click();
  await shoot('field-error-ip', page, [['lower', 'The lower IP is not a valid IP.']]);
  check((await page.getByLabel('IP, or lower IP of a range').inputValue()) === '10.0.0.300', 'the address as typed');
  await click('Cancel', '_ips');
  await click('Folders', '_editfolders');
  // Deleting a folder asks in a dialog; dismissed nothing changes, accepted it goes.
  await page.locator('#selected').selectOption('/shared');
  await page.getByRole('button', { name: 'Delete', exact: true }).click();
  await page.waitForURL(/\/_editfolders\?id=/);
  check(dialogs.at(-1) === 'Are you sure you want to delete this virtual folder?', 'deleting a folder asks first');
  check((await page.locator('#selected option').count()) === 0, 'the accepted deletion removes the folder');
  await click('Cancel', '_accounts');

  // A group's tabs.
  await go('_groups');
  await click('Add', '_editgen');
  await page.getByLabel('Group name').fill('staff');
  await click('Update', '_groups');
  await shoot('groups');
  await edit('_groups', 'staff');
  await shoot('group-general');
  await click('Folders', '_editfolders');
  await shoot('group-folders');
  await click('Limits', '_editlimits');
  await shoot('group-limits');
  await click('IP addresses', '_ips');
  await shoot('group-ips');
  await click('Cancel', '_groups');

  // Server settings: a value's field follows its box; a refusal beside its field.
  await go('_gensettings');
  await shoot('settings');
  const users = page.getByLabel('Maximum users', { exact: true });
  const usersBox = page.getByLabel('Limit users', { exact: true });
  check((await usersBox.isChecked()) !== (await users.isDisabled()), 'the users field follows its box');
  await usersBox.setChecked(true);
  check(await users.isEnabled(), 'ticking the box enables the field');
  await usersBox.setChecked(false);
  check(await users.isDisabled(), 'unticking it disables the field');
  await page.getByLabel('Welcome message').fill('Hi, all');
  await page.getByRole('button', { name: 'Save' }).click();
  await shoot('field-error-settings', page, [['welcomemsg',
    'The welcome message contains some illegal characters. Illegal characters include: "*:,;\'?<>,|']]);
  check((await page.getByLabel('Welcome message').inputValue()) === 'Hi, all', 'the settings as typed');
  await go('_genips');
  await page.waitForURL(/\/_ips\?id=/);
  await shoot('server-ips');
  await page.locator('button[name=buttonaddsafe]').click();
  await page.waitForURL(/\/_genaddip\?id=/);
  await shoot('server-addip');
  await go('_logs');
  await shoot('logs');
  await go('_activate', '&action=stop');
  await shoot('confirm');
  await go('_error', '&msg1=Please%20select%20a%20virtual%20folder.');
  await shoot('error');

  // Without script the deletions ask on a page, which deletes when confirmed.
  const plain = await browser.newContext({ javaScriptEnabled: false, viewport: { width: 1280, height: 800 } });
  const bare = await plain.newPage();
  await logIn(bare, base);
  const bareId = new URL(bare.url()).searchParams.get('id');
  await bare.goto(`${base}/_groups?id=${bareId}`);
  await bare.locator('#selected').selectOption('staff');
  await bare.getByRole('button', { name: 'Delete', exact: true }).click();
  await bare.waitForURL(/\/_processaccountselection\?id=/);
  check((await bare.locator('.notice').innerText()) === 'Are you sure you want to delete this group?',
        'without script deleting a group asks on a page');
  await shoot('confirm-group', bare);
  await bare.getByRole('button', { name: 'Delete', exact: true }).click();
  await bare.waitForURL(/\/_groups\?id=/);
  check((await bare.locator('#selected option').count()) === 0, 'the confirmed group is deleted');
  await bare.goto(`${base}/_accounts?id=${bareId}`);
  await bare.locator('#selected').selectOption('alice');
  await click('Edit', '_editgen', bare);
  await click('Folders', '_editfolders', bare);
  await click('Create', '_editvf', bare);
  await bare.getByLabel('Name (FTP path)').fill('/two');
  await bare.getByLabel('Folder on disk').fill(shared);
  await bare.getByLabel('Maximum size (MB)').fill('0');
  await bare.getByRole('button', { name: 'OK' }).click();
  await bare.waitForURL(/\/_editfolders\?id=/);
  await bare.locator('#selected').selectOption('/two');
  await bare.getByRole('button', { name: 'Delete', exact: true }).click();
  await bare.waitForURL(/\/_processaccountfolders\?id=/);
  check((await bare.locator('.notice').innerText()) === 'Are you sure you want to delete this virtual folder?',
        'without script deleting a folder asks on a page');
  await bare.getByRole('link', { name: 'Cancel' }).click();
  await bare.waitForURL(/\/_editfolders\?id=/);
  check((await bare.locator('#selected option').allInnerTexts()).join() === '/two', 'cancelled, the folder stays');
  await bare.locator('#selected').selectOption('/two');
  await bare.getByRole('button', { name: 'Delete', exact: true }).click();
  await bare.waitForURL(/\/_processaccountfolders\?id=/);
  await bare.getByRole('button', { name: 'Delete', exact: true }).click();
  await bare.waitForURL(/\/_editfolders\?id=/);
  check((await bare.locator('#selected option').count()) === 0, 'confirmed, the folder is deleted');
  await plain.close();
}, async () => {
  await browser.close();
  await stopServer(child);
  rmSync(folder, { recursive: true, force: true });
});
