// The remote admin over HTTPS in headless Chromium: with admin_tls on, the
// plain address redirects to HTTPS on the same port (of the server's own
// address, whatever Host the request names), the login, the menu, a page
// and the logout all work over TLS with Strict-Transport-Security, and the
// FTP side is unaffected. An FTP activation that can no longer read the key
// leaves the admin on HTTPS.
// The certificate is self-signed: this test alone tells the browser to
// accept it.
//
// Usage: node admin_https_test.mjs <e2e_server> <pages folder> <build folder>
// Exits 77 (skipped) when Chromium or playwright-core is missing, except on
// CI, where that is a failure.
import { execFileSync } from 'node:child_process';
import { mkdirSync, mkdtempSync, renameSync, rmSync, writeFileSync } from 'node:fs';
import http from 'node:http';
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

// A plain GET with the given Host header; resolves with status and Location.
function plainGet(port, target, host) {
  return new Promise((resolve, reject) => {
    const request = http.get({ host: '127.0.0.1', port, path: target, headers: { Host: host }, timeout: 10000 },
                             (answer) => {
                               answer.resume();
                               resolve({ status: answer.statusCode, location: answer.headers.location });
                             });
    request.on('error', reject);
    request.on('timeout', () => request.destroy(new Error('no answer')));
  });
}

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
  check((await response.allHeaders())['strict-transport-security'] === 'max-age=31536000',
        'HTTPS answers tell the browser to stay on HTTPS');
  const foreign = await plainGet(port, '/_menu?id=1&q=a%22b', 'evil.example');
  check(foreign.status === 307 && foreign.location === `${secure}/_menu?id=1&q=a%22b`,
        `a plain request naming another host goes to this server (${foreign.location})`);

  await logIn(page, secure);
  check(page.url().startsWith(`${secure}/_menu?id=`), 'the password reaches the menu over HTTPS');
  await page.getByRole('link', { name: /^Status/ }).click();
  await page.waitForURL(/\/_status/, { timeout: 10000 });
  check(page.url().startsWith(secure), `a page of the menu opens over HTTPS (${page.url()})`);
  await page.screenshot({ path: path.join(buildFolder, 'admin-https.png'), fullPage: true });

  // The FTP side stops and cannot start again (its key is gone): the admin
  // answers over HTTPS only, as before.
  const id = new URL(page.url()).searchParams.get('id');
  await page.goto(`${secure}/_activate?id=${id}&action=stop`);
  await page.getByRole('button', { name: 'Deactivate' }).click();  // it asks first
  await page.waitForURL(/\/_status\?id=/, { timeout: 10000 });
  renameSync(key, `${key}.gone`);
  await page.goto(`${secure}/_activate?id=${id}&action=start`);
  await page.waitForURL(/\/_error\?id=/, { timeout: 10000 });
  check((await page.locator('.notice').innerText()).includes('Unable to read the TLS key'),
        'the failed activation names the key');
  renameSync(`${key}.gone`, key);
  const again = await page.goto(`http://127.0.0.1:${port}/_menu?id=${id}`);
  check(page.url() === `${secure}/_menu?id=${id}`, `the plain address still leads to HTTPS (${page.url()})`);
  check(again.ok() && (await again.securityDetails()) !== null, 'the menu still comes over TLS');
  await page.goto(`${secure}/_activate?id=${id}&action=start`);
  await page.waitForURL(/\/_status\?id=/, { timeout: 10000 });
  check((await page.locator('#overall').innerText()).startsWith('Activated'), 'the FTP side starts again');

  await page.getByRole('link', { name: 'Log out' }).click();
  await page.waitForURL(`${secure}/loggedout.html`, { timeout: 10000 });
  check((await page.locator('h1').innerText()) === 'Logged out', 'the logout works over HTTPS');
}, async () => {
  await browser.close();
  await stopServer(child);
  rmSync(folder, { recursive: true, force: true });
});
