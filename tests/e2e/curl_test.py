#!/usr/bin/env python3
"""curl against the server, passive and active: downloads, uploads and a
listing arrive byte-identical, including a sparse file of more than 4 GiB
when the disk has room (else 1 GiB); names that look special elsewhere go
up, down and away as themselves. Usage: curl_test.py <e2e_server binary>"""
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


# (name as written, as a URL path): each was once taken for another file.
ODD_NAMES = [
    ("aux/notes.txt", "aux/notes.txt"),
    ("x*y", "x%2Ay"),
    ("trail  ", "trail%20%20"),
    (".htaccess", ".htaccess"),
    ("back\\slash.txt", "back%5Cslash.txt"),
    ("L" * 246 + ".txt", "L" * 246 + ".txt"),
]


def served_as_themselves(server):
    root = server.root
    os.makedirs(os.path.join(root, "aux"))
    for neighbour in ("notes.txt", "x_y", "trail", "slash.txt"):
        with open(os.path.join(root, neighbour), "wb") as f:
            f.write(b"neighbour")
    before = sorted(os.listdir(root))
    source = os.path.join(server.folder, "odd.bin")
    for name, url_path in ODD_NAMES:
        content = os.urandom(1000)
        with open(source, "wb") as f:
            f.write(content)
        curl("-T", source, server.url(url_path))
        with open(os.path.join(root, name), "rb") as f:
            assert f.read() == content, name
        folder, _, base = url_path.rpartition("/")
        listing = curl(server.url(folder + "/" if folder else ""), capture_output=True).stdout
        assert any(line.endswith(b" " + name.rpartition("/")[2].encode())
                   for line in listing.splitlines()), (name, listing)
        assert curl(server.url(url_path), capture_output=True).stdout == content, name
        # The path of a quoted command is sent as written.
        curl("-Q", "DELE " + name, server.url(""), capture_output=True)
        assert not os.path.exists(os.path.join(root, name)), name
    os.remove(source)
    assert sorted(os.listdir(root)) == before, (before, os.listdir(root))
    for neighbour in ("notes.txt", "x_y", "trail", "slash.txt"):
        with open(os.path.join(root, neighbour), "rb") as f:
            assert f.read() == b"neighbour", neighbour
    os.rmdir(os.path.join(root, "aux"))


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

        served_as_themselves(server)

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
