#!/usr/bin/env python3
"""What the server's logs tell an administrator, read with Python's ftplib as
the client: the transfer log (xferlog layout) and the FTP log's transfer
lines, and old numbered logs removed when the server starts.
Usage: logs_test.py <e2e_server binary>"""
import ftplib
import io
import os
import re
import sys
import time

from server import PASSWORD, USER, Server

DAY = 24 * 60 * 60
MEGABYTE = 1_048_576


def wait_for(predicate, what, limit=30.0):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.05)
    raise AssertionError("timed out waiting for " + what)


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read().decode("utf-8", "replace")
    except FileNotFoundError:
        return ""


def prepare_logs(folder):
    """Numbered logs of several ages, and things that are no logs."""
    logs = os.path.join(folder, "logs")
    os.makedirs(logs, exist_ok=True)
    now = time.time()
    for name, days in [("ftp_7.txt", 100), ("ftp_8.txt", 10), ("remoteadmin_3.txt", 100),
                       ("remoteadmin_4.txt", 95), ("notes.txt", 100), ("ftp_9.txt.old", 100),
                       ("target.txt", 100)]:
        path = os.path.join(logs, name)
        with open(path, "w") as f:
            f.write("old line\r\n")
        os.utime(path, (now - days * DAY, now - days * DAY))
    os.symlink(os.path.join(logs, "target.txt"), os.path.join(logs, "ftp_6.txt"))


def xferlog_fields(line):
    fields = line.split()
    assert len(fields) == 18, line
    assert len(line) > 25 and line[24] == " ", line  # "Tue Dec  8 23:16:10 2026"
    time.strptime(" ".join(fields[:5]), "%a %b %d %H:%M:%S %Y")
    assert int(fields[5]) >= 1, line
    return fields[5:]


def main():
    with Server(sys.argv[1], conf="xferlog = logs/xferlog\nlog_keep_days = 90\n",
                prepare=prepare_logs) as server:
        logs = os.path.join(server.folder, "logs")
        ftp_log = os.path.join(logs, "ftp_0.txt")
        # Removed at start: the old numbered logs, except the admin log's
        # latest; everything else stays.
        left = set(os.listdir(logs))
        for gone in ("ftp_7.txt", "remoteadmin_3.txt"):
            assert gone not in left, (gone, left)
        for kept in ("ftp_8.txt", "remoteadmin_4.txt", "notes.txt", "ftp_9.txt.old", "target.txt", "ftp_6.txt"):
            assert kept in left, (kept, left)
        assert os.path.islink(os.path.join(logs, "ftp_6.txt"))
        wait_for(lambda: "Old Logs Removed: Count=[2]" in read(ftp_log), "the removal's log line")

        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", server.port, timeout=10)
        ftp.login(USER, PASSWORD)
        payload = os.urandom(MEGABYTE)
        ftp.storbinary("STOR big.bin", io.BytesIO(payload))
        received = io.BytesIO()
        ftp.retrbinary("RETR big.bin", received.write)
        assert received.getvalue() == payload
        ftp.storbinary("STOR two words.txt", io.BytesIO(b"spaced"))
        # Control bytes never reach a path: the server refuses the name.
        try:
            ftp.storbinary("STOR bad\x01name.txt", io.BytesIO(b"x"))
            raise AssertionError("a name with a control byte was accepted")
        except ftplib.error_perm:
            pass
        ftp.quit()

        xferlog = os.path.join(logs, "xferlog")
        wait_for(lambda: read(xferlog).count("\n") == 3, "three transfer log lines")
        lines = read(xferlog).splitlines()
        assert oct(os.stat(xferlog).st_mode & 0o777) == "0o600", oct(os.stat(xferlog).st_mode)
        for line, direction, size, name in [(lines[0], "i", MEGABYTE, "/big.bin"),
                                            (lines[1], "o", MEGABYTE, "/big.bin"),
                                            (lines[2], "i", 6, "/two_words.txt")]:
            fields = xferlog_fields(line)
            assert fields[1:] == ["127.0.0.1", str(size), name, "b", "_", direction, "r", USER, "ftp", "0",
                                  "*", "c"], line

        text = read(ftp_log)
        for verb in ("Uploaded", "Downloaded"):
            pattern = (r"-> %s -> File %s: File=\[/big\.bin\], Size=\[1048576 bytes\], "
                       r"Time=\[\d+\.\d\d s\], Rate=\[\d+\.\d KB/s\]" % (USER, verb))
            assert re.search(pattern, text), (pattern, text)
    print("logs: ok")


if __name__ == "__main__":
    main()
