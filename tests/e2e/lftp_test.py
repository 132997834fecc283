#!/usr/bin/env python3
"""lftp against the server: mirror a tree of 200 files up and down, list,
remove, move, and resume a download and an upload. Usage: lftp_test.py <e2e_server binary>"""
import filecmp
import os
import subprocess
import sys
import tempfile

from server import PASSWORD, USER, Server


def lftp(server, commands):
    script = "\n".join([
        "set net:timeout 10", "set net:max-retries 2", "set net:reconnect-interval-base 1",
        "set ftp:passive-mode on", "set cmd:fail-exit yes", "set ftp:prefer-epsv yes",
        "set ftp:use-mlsd on",
        "open -u %s,%s -p %d 127.0.0.1" % (USER, PASSWORD, server.port),
    ] + commands)
    return subprocess.run(["lftp", "-c", script], check=True, capture_output=True, text=True,
                          timeout=300).stdout


def same_tree(a, b):
    comparison = filecmp.dircmp(a, b)
    if comparison.left_only or comparison.right_only or comparison.diff_files or comparison.funny_files:
        return False
    _, mismatch, errors = filecmp.cmpfiles(a, b, comparison.common_files, shallow=False)
    if mismatch or errors:
        return False
    return all(same_tree(os.path.join(a, d), os.path.join(b, d)) for d in comparison.common_dirs)


def main():
    with Server(sys.argv[1]) as server, tempfile.TemporaryDirectory() as work:
        tree = os.path.join(work, "tree")
        for i in range(200):
            folder = os.path.join(tree, "part%d" % (i % 7))
            os.makedirs(folder, exist_ok=True)
            with open(os.path.join(folder, "file%03d.dat" % i), "wb") as f:
                f.write(os.urandom(i * 97 + 1))
        lftp(server, ["mirror -R %s /tree" % tree])
        assert same_tree(tree, os.path.join(server.root, "tree")), "upload mirror differs"

        back = os.path.join(work, "back")
        lftp(server, ["mirror /tree %s" % back])
        assert same_tree(tree, back), "download mirror differs"

        # With what FEAT offers, lftp moves data over EPSV and lists with MLSD.
        script = "\n".join([
            "set net:timeout 10", "set cmd:fail-exit yes", "set ftp:use-mlsd on", "set ftp:prefer-epsv yes", "debug",
            "open -u %s,%s -p %d 127.0.0.1" % (USER, PASSWORD, server.port), "cls -l /tree/part0"])
        traced = subprocess.run(["lftp", "-c", script], check=True, capture_output=True, text=True,
                                timeout=120)
        for command in ("FEAT", "EPSV", "MLSD"):
            assert "---> " + command in traced.stderr, (command, traced.stderr)
        assert "file000.dat" in traced.stdout, traced.stdout

        listing = lftp(server, ["ls /tree/part0"])
        assert "file000.dat" in listing and "QuillonFTPServer" in listing, listing
        lftp(server, ["rm /tree/part0/file000.dat", "mv /tree/part1/file001.dat /tree/moved.dat"])
        assert not os.path.exists(os.path.join(server.root, "tree/part0/file000.dat"))
        assert os.path.exists(os.path.join(server.root, "tree/moved.dat"))

        # Resume: half the file is already here.
        payload = os.urandom(400_000)
        with open(os.path.join(server.root, "resume.bin"), "wb") as f:
            f.write(payload)
        local = os.path.join(work, "resume.bin")
        with open(local, "wb") as f:
            f.write(payload[:150_000])
        lftp(server, ["lcd %s" % work, "get -c /resume.bin"])
        with open(local, "rb") as f:
            assert f.read() == payload, "resumed download differs"

        # Resume an upload: the server holds the first part of the file.
        upload = os.urandom(400_000)
        source = os.path.join(work, "upload.bin")
        with open(source, "wb") as f:
            f.write(upload)
        with open(os.path.join(server.root, "upload.bin"), "wb") as f:
            f.write(upload[:150_000])
        lftp(server, ["put -c %s -o /upload.bin" % source])
        with open(os.path.join(server.root, "upload.bin"), "rb") as f:
            assert f.read() == upload, "resumed upload differs"
    print("lftp interoperability: ok")


if __name__ == "__main__":
    main()
