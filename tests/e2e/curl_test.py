#!/usr/bin/env python3
"""curl against the server, passive and active: downloads, uploads and a
listing arrive byte-identical, including a sparse file of more than 4 GiB
when the disk has room (else 1 GiB). Usage: curl_test.py <e2e_server binary>"""
import hashlib
import os
import shutil
import subprocess
import sys

from server import Server

GIB = 1 << 30


def curl(*args, **kwargs):
    return subprocess.run(["curl", "--silent", "--show-error", "--max-time", "600", *args],
                          check=True, **kwargs)


def digest_of_file(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        while chunk := f.read(1 << 20):
            h.update(chunk)
    return h.hexdigest()


def digest_of_download(url, *args):
    h = hashlib.sha256()
    process = subprocess.Popen(["curl", "--silent", "--show-error", *args, url],
                               stdout=subprocess.PIPE)
    while chunk := process.stdout.read(1 << 20):
        h.update(chunk)
    assert process.wait() == 0
    return h.hexdigest()


def make_sparse(path, size):
    """A file of `size` bytes, mostly holes, with marks at both ends and
    just past 4 GiB."""
    with open(path, "wb") as f:
        f.write(b"start" * 1000)
        if size > 4 * GIB + 100:
            f.seek(4 * GIB)
            f.write(b"past four gib")
        f.seek(size - 3)
        f.write(b"end")


def main():
    with Server(sys.argv[1]) as server:
        root = server.root
        small = os.urandom(1_000_000)
        with open(os.path.join(root, "small.bin"), "wb") as f:
            f.write(small)
        wanted = hashlib.sha256(small).hexdigest()
        # curl's default is EPSV; PASV and active mode (PORT, or EPRT) too.
        assert digest_of_download(server.url("small.bin")) == wanted
        assert digest_of_download(server.url("small.bin"), "--ftp-pasv", "--disable-epsv") == wanted
        assert digest_of_download(server.url("small.bin"), "--ftp-port", "127.0.0.1") == wanted
        assert digest_of_download(server.url("small.bin"), "--ftp-port", "127.0.0.1", "--disable-eprt") == wanted
        trace = curl("-v", "-o", "/dev/null", server.url("small.bin"), capture_output=True, text=True).stderr
        assert "EPSV" in trace and "229 Entering Extended Passive Mode" in trace, trace

        source = os.path.join(server.folder, "upload.bin")
        with open(source, "wb") as f:
            f.write(os.urandom(700_000))
        curl("-T", source, server.url("passive.bin"))
        curl("-T", source, "--ftp-port", "127.0.0.1", server.url("active.bin"))
        for name in ("passive.bin", "active.bin"):
            assert digest_of_file(os.path.join(root, name)) == digest_of_file(source), name

        listing = curl(server.url(""), capture_output=True, text=True).stdout
        assert any(line.endswith(" small.bin") for line in listing.splitlines()), listing

        # Big files: 64-bit sizes all the way.
        free = shutil.disk_usage(server.folder).free
        size = 4 * GIB + 4099 if free > 12 * GIB else GIB + 7
        if free < 3 * GIB:
            print("big file skipped: not enough disk")
        else:
            big = os.path.join(root, "big.bin")
            make_sparse(big, size)
            expected = digest_of_file(big)
            assert digest_of_download(server.url("big.bin")) == expected
            head = curl("-I", server.url("big.bin"), capture_output=True, text=True).stdout
            assert "Content-Length: %d" % size in head, head
            curl("-T", big, server.url("big-copy.bin"))
            copy = os.path.join(root, "big-copy.bin")
            assert os.path.getsize(copy) == size
            assert digest_of_file(copy) == expected
            os.remove(copy)
            print("big file of %d bytes: ok" % size)
    print("curl interoperability: ok")


if __name__ == "__main__":
    main()
