#!/usr/bin/env python3
"""wget mirrors a tree from the server (`wget -m`, which lists with
"LIST -a"): every file arrives under its own name, with names that look
special elsewhere (old device names, "*", dot names, backslashes, long
names, a folder "aux" inside "aux"), and nothing else arrives.
Usage: wget_test.py <e2e_server binary>"""
import os
import subprocess
import sys
import tempfile

from server import Server

TREE = {
    "notes.txt": b"top",
    "aux/notes.txt": b"inside aux",
    "aux/aux/deep.txt": b"inside aux/aux",
    "con/nul": b"device names are names",
    "x*y": b"star",
    ".htaccess": b"deny from all",
    ".well-known/acme": b"challenge",
    "back\\slash.txt": b"backslash",
    # wget itself shortens local names of more than 236 bytes.
    "L" * 226 + ".txt": b"long name",
    "sub/inner/data.bin": os.urandom(100_000),
}


def files_below(folder):
    found = {}
    for here, _, names in os.walk(folder):
        for name in names:
            if name == ".listing":  # wget's own copy of each listing
                continue
            path = os.path.join(here, name)
            with open(path, "rb") as f:
                found[os.path.relpath(path, folder)] = f.read()
    return found


def main():
    with Server(sys.argv[1]) as server:
        for name, content in TREE.items():
            path = os.path.join(server.root, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(content)
        with tempfile.TemporaryDirectory() as target:
            run = subprocess.run(["wget", "--mirror", "--no-host-directories", "--no-verbose",
                                  "--tries=1", "--timeout=30", "--directory-prefix", target,
                                  server.url("")],
                                 capture_output=True, text=True, timeout=300)
            assert run.returncode == 0, run.stderr
            copied = files_below(target)
            assert copied == TREE, (sorted(copied), sorted(TREE), run.stderr)
        # The mirror took nothing away.
        assert files_below(server.root) == TREE
    print("wget interoperability: ok")


if __name__ == "__main__":
    main()
