// The remote admin over HTTPS in headless Chromium: with admin_tls on, the
// plain address redirects to HTTPS on the same port, the login, the menu,
// a page and the logout all work over TLS, and the FTP side is unaffected.
// The certificate is self-signed: this test alone tells the browser to
// accept it.
//
// Usage: node admin_https_test.mjs <e2e_server> <pages folder> <build folder>
// Exits 77 (skipped) when Chromium or playwright-core is missing, except on
// CI, where that is a failure.
import { execFileSync } from 'node:child_process';
import { mkdirSync, mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';

import { check, loadChromium, logIn, runTest, startServer, stopServer } from './common.mjs';

const [serverBinary, pagesFolder, buildFolder] = process.argv.slice(2);

const folder = mkdtempSync(path.join(tmpdir(), 'quillon-https-'));
const config = path.join(folder, 'config');
mkdirSync(config);
const certificate = path.join(config, 'certificate.pem');
const key = path.join(config, 'key.pem');
execFileSync('openssl', ['req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-keyout', key, '-out', certificate,
                         '-days', '2', '-subj', '/CN=127.0.0.1', '-addext', 'subjectAltName=IP:127.0.0.1'],
             { stdio: 'ignore' });
writeFileSync(path.join(config, 'quillon.conf'),
              `admin_tls = on\ntls_certificate = ${certificate}\ntls_key = ${key}\n`);

const browser = await loadChromium();
const { child, port } = await startServer(serverBinary, folder, pagesFolder);
const secure = `https://127.0.0.1:${port}`;
await runTest(async () => {
  const context = await browser.newContext({ ignoreHTTPSErrors: true, viewport: { width: 1100, height: 760 } });
  const page = await context.newPage();

  const response = await page.goto(`http://127.0.0.1:${port}/`);
  check(page.url() === `${secure}/`, `the plain address leads to HTTPS (${page.url()})`);
  check(response.ok(), 'the login page arrives over TLS');
  check((await page.title()) === 'Log in - Quillon FTP Server', 'the login page is shown');
  const security = await response.securityDetails();
  check(security !== null && /^TLS 1\.[23]$/.test(security.protocol),
        `the page came over TLS 1.2 or 1.3 (${security && security.protocol})`);

  await logIn(page, secure);
  check(page.url().startsWith(`${secure}/_menu?id=`), 'the password reaches the menu over HTTPS');
  await page.getByRole('link', { name: /^Status/ }).click();
  await page.waitForURL(/\/_status/, { timeout: 10000 });
  check(page.url().startsWith(secure), `a page of the menu opens over HTTPS (${page.url()})`);
  await page.screenshot({ path: path.join(buildFolder, 'admin-https.png'), fullPage: true });
  await page.goBack();
  await page.getByRole('link', { name: 'Log out' }).click();
  await page.waitForURL(`${secure}/loggedout.html`, { timeout: 10000 });
  check((await page.locator('h1').innerText()) === 'Logged out', 'the logout works over HTTPS');
}, async () => {
  await browser.close();
  await stopServer(child);
  rmSync(folder, { recursive: true, force: true });
});
