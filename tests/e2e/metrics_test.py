#!/usr/bin/env python3
"""API tokens made with quillon-setup, and the metrics of a real server read
with them: promtool accepts the page, and a login, an upload, a download and
a failed login move their counters. The server's on_upload program gets the
file's path and size.
Usage: metrics_test.py <e2e_server binary> <quillon-setup binary> <remoteadmin folder>
Exits 77 (skipped) without promtool."""
import ftplib
import io
import os
import re
import shutil
import stat
import subprocess
import sys
import time
import urllib.error
import urllib.request

from server import PASSWORD, USER, Server

SAMPLE = re.compile(r'^([a-z_]+)(\{[^}]*\})? (\S+)$')


def setup(folder, *args):
    """Runs the folder's own quillon-setup; returns its standard output."""
    done = subprocess.run([os.path.join(folder, "quillon-setup")] + list(args),
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, (args, done.stdout, done.stderr)
    return done.stdout


def scrape(port, token=None):
    """(status, content type, body) of GET /metrics."""
    request = urllib.request.Request("http://127.0.0.1:%d/metrics" % port)
    if token is not None:
        request.add_header("Authorization", "Bearer " + token)
    try:
        with urllib.request.urlopen(request, timeout=30) as answer:
            return answer.status, answer.headers.get("Content-Type"), answer.read().decode()
    except urllib.error.HTTPError as error:
        return error.code, error.headers.get("Content-Type"), error.read().decode()


def samples(text):
    """{'name{labels}': value} of every sample line."""
    values = {}
    for line in text.splitlines():
        if line.startswith("#") or not line:
            continue
        match = SAMPLE.match(line)
        assert match, line
        values[match.group(1) + (match.group(2) or "")] = float(match.group(3))
    return values


def promtool_check(promtool, text):
    done = subprocess.run([promtool, "check", "metrics"], input=text, capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stdout + done.stderr


def wait_for(condition, timeout=30):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.05)


def main():
    server_binary, setup_binary, pages = sys.argv[1:4]
    promtool = shutil.which("promtool")
    if promtool is None:
        print("promtool is missing (Debian package prometheus): skipped")
        return 77
    tokens = {}
    paths = {}

    def prepare(folder):
        shutil.copy(setup_binary, os.path.join(folder, "quillon-setup"))
        os.makedirs(os.path.join(folder, "config"), exist_ok=True)
        for name, flags in (("scraper", ["--read-only"]), ("deployer", [])):
            out = setup(folder, "token", "add", name, *flags)
            found = re.findall(r"^qt_[A-Za-z0-9_-]{43}$", out, re.M)
            assert len(found) == 1, out
            tokens[name] = found[0]
        tokens_file = os.path.join(folder, "config", "tokens.conf")
        assert stat.S_IMODE(os.stat(tokens_file).st_mode) == 0o600
        with open(tokens_file) as f:
            stored = f.read()
        # Only digests are kept, never a token.
        assert all(token not in stored for token in tokens.values()), stored
        listing = setup(folder, "token", "list")
        assert re.search(r"^scraper  read-only  created ", listing, re.M), listing
        assert re.search(r"^deployer  read-write  created ", listing, re.M), listing
        assert not re.search(r"[0-9a-f]{64}", listing), listing

        paths["events"] = os.path.join(folder, "uploaded.txt")
        script = os.path.join(folder, "on_upload.sh")
        with open(script, "w") as f:
            f.write('#!/bin/sh\necho "$QUILLON_PATH $QUILLON_SIZE $QUILLON_USER" >> "%s"\n' % paths["events"])
        os.chmod(script, 0o700)
        with open(os.path.join(folder, "config", "quillon.conf"), "w") as f:
            # A test run as root serves as root: event programs then run.
            f.write("run_as_user = root\non_upload = %s\n" % script)

    with Server(server_binary, ["--admin", pages, "adminpw", "--allocation", USER, "100"],
                prepare=prepare) as server:
        line = server.process.stdout.readline().strip()
        assert line.startswith("ADMIN "), line
        admin = int(line.split()[1])

        # Nobody reads the metrics without a valid token.
        status, _, body = scrape(admin)
        assert status == 401 and "quillon_" not in body, (status, body)
        wrong = "qt_" + "A" * 43
        status, _, body = scrape(admin, wrong)
        assert status == 401 and "quillon_" not in body, (status, body)

        status, content_type, before_text = scrape(admin, tokens["scraper"])
        assert status == 200, (status, before_text)
        assert content_type.startswith("text/plain; version=0.0.4"), content_type
        promtool_check(promtool, before_text)
        before = samples(before_text)

        # A failed login, then a login, an upload and a download.
        refused = ftplib.FTP()
        refused.connect("127.0.0.1", server.port, timeout=30)
        try:
            refused.login(USER, "not-the-password")
            raise AssertionError("a wrong password logged in")
        except ftplib.error_perm:
            pass
        refused.close()
        payload = os.urandom(100_000)
        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", server.port, timeout=30)
        ftp.login(USER, PASSWORD)
        ftp.storbinary("STOR metered.bin", io.BytesIO(payload))
        back = io.BytesIO()
        ftp.retrbinary("RETR metered.bin", back.write)
        assert back.getvalue() == payload
        ftp.quit()

        # The upload program got the file's disk path, its size and the account.
        wait_for(lambda: os.path.exists(paths["events"]))
        expected = "%s %d %s\n" % (os.path.join(server.root, "metered.bin"), len(payload), USER)
        wait_for(lambda: open(paths["events"]).read() == expected)

        status, _, after_text = scrape(admin, tokens["deployer"])
        assert status == 200, status
        promtool_check(promtool, after_text)
        after = samples(after_text)

        def moved(name):
            return after.get(name, 0) - before.get(name, 0)

        assert moved("quillon_logins_total") == 1, after_text
        assert moved("quillon_login_failures_total") == 1, after_text
        assert moved("quillon_received_bytes_total") == len(payload), after_text
        assert moved("quillon_sent_bytes_total") == len(payload), after_text
        assert moved('quillon_transfers_total{direction="upload",result="completed"}') == 1, after_text
        assert moved('quillon_transfers_total{direction="download",result="completed"}') == 1, after_text
        assert moved('quillon_transfers_total{direction="upload",result="failed"}') == 0, after_text
        assert after['quillon_sessions{state="transferring"}'] == 0, after_text
        assert after["quillon_process_resident_memory_bytes"] > 0, after_text
        assert after["quillon_process_cpu_seconds_total"] > 0, after_text
        assert after['quillon_account_used_bytes{account="%s"}' % USER] >= len(payload), after_text

        # Tokens never reach the log; the wrong one is there by its length only.
        with open(os.path.join(server.folder, "logs", "remoteadmin_0.txt")) as f:
            log = f.read()
        assert "Token Refused: Length=[46]" in log, log
        assert all(token not in log for token in list(tokens.values()) + [wrong]), log
    return 0


if __name__ == "__main__":
    sys.exit(main())
