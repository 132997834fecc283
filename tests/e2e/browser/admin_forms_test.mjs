// The record forms in a real browser: a limit's field is disabled while its
// box is off and a value typed before the box goes off is not stored; a
// second virtual folder of a name the account has, or a size of 0, is
// refused beside its field on the form shown again; the safe-list label says the list exempts from the
// blocked list. Screenshots at 1280 and 390 px.
//
// Usage: node admin_forms_test.mjs <e2e_server> <pages folder> <screenshot folder>
import { mkdirSync, mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';

import { backToMenu, check, loadChromium, logIn, runTest, startServer, stopServer } from './common.mjs';

const [serverBinary, pagesFolder, screenshotFolder] = process.argv.slice(2);

const folder = mkdtempSync(path.join(tmpdir(), 'quillon-forms-'));
const data = path.join(folder, 'ftpdata');
mkdirSync(path.join(data, 'shared'), { recursive: true });
const browser = await loadChromium();
const { child, port } = await startServer(serverBinary, folder, pagesFolder);
const base = `http://127.0.0.1:${port}`;
await runTest(async () => {
  const page = await browser.newPage({ viewport: { width: 1280, height: 800 } });
  const shoot = async (name) => {
    for (const width of [1280, 390]) {
      await page.setViewportSize({ width, height: 800 });
      const file = path.join(screenshotFolder, `${name}-${width}.png`);
      await page.screenshot({ path: file, fullPage: true });
      console.log(`screenshot: ${file}`);
    }
    await page.setViewportSize({ width: 1280, height: 800 });
  };
  const tab = async (name, route) => {
    await page.getByRole('button', { name, exact: true }).click();
    await page.waitForURL(new RegExp(`/${route}\\?id=`));
  };
  const createFolder = async (name) => {
    await page.getByRole('button', { name: 'Create' }).click();
    await page.waitForURL(/\/_editvf\?id=/);
    await page.getByLabel('Name (FTP path)').fill(name);
    await page.getByLabel('Folder on disk').fill(path.join(data, 'shared'));
    await page.getByRole('button', { name: 'OK' }).click();
  };

  await logIn(page, base);
  await backToMenu(page);
  await page.getByRole('link', { name: /^Accounts/ }).click();
  await page.waitForURL(/\/_accounts\?id=/);
  await page.getByRole('button', { name: 'Add' }).click();
  await page.waitForURL(/\/_editgen\?id=/);
  await page.getByLabel('User name').fill('erin');

  // The same virtual folder name twice: the second is refused.
  await tab('Folders', '_editfolders');
  await createFolder('/shared');
  await page.waitForURL(/\/_editfolders\?id=/);
  await createFolder('/SHARED');
  const nameError = page.locator('#name-error');
  await nameError.waitFor();
  check((await nameError.innerText()) === 'Sorry that folder name already exists, please choose another name.',
        'the second folder of a name is refused beside the name field');
  check((await page.getByLabel('Name (FTP path)').inputValue()) === '/SHARED', 'the form keeps what was typed');
  await shoot('admin-forms-folder-name-taken');
  // A wrong field of its own: the size, beside the size field.
  await page.getByLabel('Name (FTP path)').fill('/other');
  await page.getByLabel('Limit the size').check();
  await page.getByLabel('Maximum size (MB)').fill('0');
  await page.getByRole('button', { name: 'OK' }).click();
  await page.locator('#maxsize-error').waitFor();
  check((await page.locator('#maxsize-error').innerText()) === 'Please specify a maximum size greater than 0.',
        'a size of 0 is refused beside the size field');
  check((await page.locator('#name-error').count()) === 0, 'the name field has no message then');
  await shoot('admin-forms-size-refused');
  await page.getByRole('button', { name: 'Cancel' }).click();
  await page.waitForURL(/\/_editfolders\?id=/);
  check((await page.locator('#selected option').allInnerTexts()).join() === '/shared', 'the first folder stays alone');

  // Limits: each field follows its box.
  await tab('Limits', '_editlimits');
  const size = page.getByLabel('Maximum size (MB)');
  const sizeBox = page.getByLabel('Limit the size');
  check(!(await sizeBox.isChecked()) && (await size.isDisabled()), 'the size field is disabled while its box is off');
  await sizeBox.check();
  check(await size.isEnabled(), 'ticking the box enables the field');
  await size.fill('300');
  await sizeBox.uncheck();
  check(await size.isDisabled(), 'unticking the box disables the field again');
  for (const [box, field] of [['Limit sessions', 'Maximum sessions'],
    ['Limit upload speed', 'Maximum upload speed (KB/s)'],
    ['Limit download speed', 'Maximum download speed (KB/s)']])
    check(await page.getByLabel(field).isDisabled(), `"${field}" is disabled while "${box}" is off`);
  await page.getByLabel('Limit upload speed').check();
  await page.getByLabel('Maximum upload speed (KB/s)').fill('512');
  await shoot('admin-forms-limits');
  await tab('IP addresses', '_ips');
  check(await page.getByLabel('These addresses are exempt from the blocked list').isVisible(),
        'the safe list says it exempts addresses from the blocked list');
  await shoot('admin-forms-ips');
  await tab('Limits', '_editlimits');
  check((await size.inputValue()) === '0', 'a size typed while its box went off is not stored');
  check(!(await sizeBox.isChecked()), 'the size limit stays off');
  check((await page.getByLabel('Maximum upload speed (KB/s)').inputValue()) === '512', 'a limit in use is stored');
}, async () => {
  await browser.close();
  await stopServer(child);
  rmSync(folder, { recursive: true, force: true });
});
