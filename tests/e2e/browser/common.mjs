// What the browser tests share: the skip rule, checks, the server process
// and the browser.
import { spawn } from 'node:child_process';
import { existsSync } from 'node:fs';
import path from 'node:path';
import readline from 'node:readline';

export const CHROMIUM = '/usr/bin/chromium';
export const PASSWORD = 'admin-secret';

// Exits 77 (skipped) when Chromium or playwright-core is missing, except on
// CI, where that is a failure.
export function skipOrFail(reason) {
  console.log(reason);
  process.exit(process.env.CI ? 1 : 77);
}

export async function loadChromium() {
  let chromium;
  try {
    ({ chromium } = await import('playwright-core'));
  } catch {
    skipOrFail('playwright-core is not installed (make test installs it)');
  }
  if (!existsSync(CHROMIUM)) skipOrFail(`${CHROMIUM} is missing (make test installs it as root)`);
  return chromium.launch({
    executablePath: CHROMIUM,
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage'],
  });
}

export function check(condition, message) {
  if (!condition) throw new Error(message);
  console.log(`ok - ${message}`);
}

// Runs a test's body, reports the first failed check, always runs the clean-up
// and ends the process with the test's result.
export async function runTest(body, cleanUp) {
  let failed = false;
  try {
    await body();
  } catch (error) {
    failed = true;
    console.error(`FAILED: ${error.message}`);
  } finally {
    await cleanUp();
  }
  process.exit(failed ? 1 : 0);
}

// Starts the server with the account alice/wonder (and the server's further
// options, such as ['--throttle', 'alice', '64']) and waits for its "PORT"
// and "ADMIN" lines.
export async function startServer(serverBinary, folder, pagesFolder, options = []) {
  const child = spawn(serverBinary, [folder, 'alice', 'wonder', '--admin', pagesFolder, PASSWORD, ...options], {
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
  return { child, port: ports.ADMIN, ftpPort: ports.PORT };
}

export async function stopServer(child) {
  child.stdin.end();
  const ended = new Promise((resolve) => child.once('exit', resolve));
  const timer = setTimeout(() => child.kill(), 30000);
  await ended;
  clearTimeout(timer);
}

// The ftplib helper: one command line in, one answer line out, each bounded.
export function startFtpHelper(ftpPort) {
  const helper = path.join(path.dirname(new URL(import.meta.url).pathname), 'ftp_helper.py');
  const child = spawn('python3', [helper, String(ftpPort), 'alice', 'wonder'], {
    stdio: ['pipe', 'pipe', 'inherit'],
  });
  const answers = readline.createInterface({ input: child.stdout })[Symbol.asyncIterator]();
  const ask = async (command) => {
    child.stdin.write(`${command}\n`);
    let timer;
    const late = new Promise((_, reject) => {
      timer = setTimeout(() => reject(new Error(`no answer to "${command}"`)), 60000);
    });
    const { value } = await Promise.race([answers.next(), late]);
    clearTimeout(timer);
    console.log(`ftp: ${command} -> ${value}`);
    return value ?? '';
  };
  return { child, ask };
}

export async function stopFtpHelper(ftp) {
  ftp.child.stdin.end();
  const ended = new Promise((resolve) => ftp.child.once('exit', resolve));
  const timer = setTimeout(() => ftp.child.kill(), 10000);
  await ended;
  clearTimeout(timer);
}

// Logs the page in through the login form; resolves on the menu.
export async function logIn(page, base) {
  await page.goto(`${base}/`);
  await page.getByLabel('Administrator password').fill(PASSWORD);
  await page.getByRole('button', { name: 'Log in' }).click();
  await page.waitForURL(/\/_menu\?id=\d{49}$/, { timeout: 10000 });
}

// Follows the brand link of the header back to the menu.
export async function backToMenu(page) {
  await page.getByRole('link', { name: 'Quillon FTP Server' }).click();
  await page.waitForURL(/\/_menu\?id=\d{49}$/);
}
