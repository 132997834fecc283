#!/usr/bin/env python3
"""Python's ftplib against the server: log in, walk, make and remove folders,
rename, delete, download with a restart offset, upload, resume an upload cut
off half way, abort a download, list names, MLSD, a passive data connection
that another address tries to take, a command the server does not offer, and
names that look special elsewhere (old device names, "*", trailing blanks, dot
names, backslashes, 250 bytes) served as themselves.
Usage: ftplib_test.py <e2e_server binary>"""
import ftplib
import io
import os
import re
import socket
import sys

from server import PASSWORD, USER, Server


def main():
    with Server(sys.argv[1]) as server:
        root = server.root
        with open(os.path.join(root, "notes.txt"), "w") as f:
            f.write("hello")
        payload = os.urandom(300_000)
        with open(os.path.join(root, "data.bin"), "wb") as f:
            f.write(payload)
        other = os.urandom(200_000)
        with open(os.path.join(root, "other.bin"), "wb") as f:
            f.write(other)
        huge = os.path.join(root, "huge.bin")
        with open(huge, "wb") as f:
            f.truncate(64 << 20)

        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", server.port, timeout=10)
        assert ftp.getwelcome() == "220 Welcome to Marrowind Quillon FTP Server.", ftp.getwelcome()
        try:
            ftp.login(USER, "wrong")
            raise AssertionError("a wrong password was accepted")
        except ftplib.error_perm as refused:
            assert str(refused) == "530 Incorrect user name or password. Restart from USER.", refused
        assert ftp.login(USER, PASSWORD).startswith("230")
        assert ftp.pwd() == "/"
        # The 257 reply quotes the new folder with single quotes, which ftplib
        # does not pick out; the folder itself must exist.
        ftp.mkd("projects")
        assert os.path.isdir(os.path.join(root, "projects"))
        ftp.cwd("projects")
        assert ftp.pwd() == "/projects"
        assert ftp.sendcmd("MKD inner") == "257 '/projects/inner' directory created."
        ftp.cwd("..")
        assert ftp.size("notes.txt") == 5
        ftp.rename("notes.txt", "projects/renamed.txt")
        assert os.path.exists(os.path.join(root, "projects", "renamed.txt"))
        ftp.delete("projects/renamed.txt")
        ftp.rmd("projects/inner")
        ftp.rmd("projects")
        assert not os.path.exists(os.path.join(root, "projects"))
        try:
            ftp.cwd("missing")
            raise AssertionError("entered a missing folder")
        except ftplib.error_perm as refused:
            assert str(refused) == "550 Directory does not exist.", refused

        # Transfers.
        whole = io.BytesIO()
        ftp.retrbinary("RETR data.bin", whole.write)
        assert whole.getvalue() == payload
        tail = io.BytesIO()
        ftp.retrbinary("RETR data.bin", tail.write, rest=123_456)
        assert tail.getvalue() == payload[123_456:]
        # The offset served that download only: the next one is whole.
        again = io.BytesIO()
        ftp.retrbinary("RETR other.bin", again.write)
        assert again.getvalue() == other, len(again.getvalue())
        upload = os.urandom(250_000)
        ftp.storbinary("STOR up.bin", io.BytesIO(upload))
        with open(os.path.join(root, "up.bin"), "rb") as f:
            assert f.read() == upload

        # An upload cut off half way, then resumed where the server's copy ends.
        resumed = os.urandom(500_000)
        conn = ftp.transfercmd("STOR resumed.bin")
        conn.sendall(resumed[:200_000])
        conn.close()
        assert ftp.voidresp() == "226 Transfer complete."
        there = ftp.size("resumed.bin")
        assert there == 200_000, there
        rest = io.BytesIO(resumed)
        rest.seek(there)
        assert ftp.storbinary("STOR resumed.bin", rest, rest=there) == "226 Transfer complete."
        with open(os.path.join(root, "resumed.bin"), "rb") as f:
            assert f.read() == resumed, "the resumed upload differs"
        # A restart offset past the end of the file is refused.
        try:
            ftp.storbinary("STOR resumed.bin", io.BytesIO(b"x"), rest=600_000)
            raise AssertionError("a restart beyond the end was accepted")
        except ftplib.error_perm as refused:
            assert str(refused) == "550 The REST byte is outside of the file.", refused
        with open(os.path.join(root, "resumed.bin"), "rb") as f:
            assert f.read() == resumed, "a refused resume changed the file"

        # abort() sends ABOR as urgent data while the download runs.
        conn = ftp.transfercmd("RETR huge.bin")
        received = 0
        while received < 1 << 20:
            chunk = conn.recv(65536)
            assert chunk, "the download ended early"
            received += len(chunk)
        assert ftp.abort() == "226 Transfer complete."
        conn.close()
        assert ftp.getline() == "426 Transfer successfully aborted."
        assert ftp.sendcmd("NOOP") == "200 NOOP command received."
        os.remove(huge)

        assert sorted(ftp.nlst()) == [".", "..", "data.bin", "other.bin", "resumed.bin", "up.bin"], ftp.nlst()
        lines = []
        ftp.retrlines("LIST", lines.append)
        assert any(line.endswith(" up.bin") and " 250000 " in line for line in lines), lines
        # MLSD gives exact sizes and types.
        facts = dict(ftp.mlsd())
        assert facts["up.bin"]["type"] == "file" and facts["up.bin"]["size"] == "250000", facts
        assert facts["."]["type"] == "cdir" and facts[".."]["type"] == "pdir", facts
        assert set(facts["data.bin"]) == {"type", "size", "modify", "perm", "unique"}, facts
        assert len(facts["data.bin"]["modify"]) == 14, facts

        # Another address that connects to the announced passive port first
        # gets nothing and is closed; the port stays open for the client.
        for command in ("PASV", "EPSV"):
            reply = ftp.sendcmd(command)
            numbers = re.findall(r"\d+", reply.split("(", 1)[1])
            port = int(numbers[-1]) if command == "EPSV" else int(numbers[4]) * 256 + int(numbers[5])
            thief = socket.create_connection(("127.0.0.1", port), timeout=5,
                                             source_address=("127.0.0.2", 0))
            assert thief.recv(65536) == b"", "data reached another address"
            thief.close()
            ftp.putcmd("RETR data.bin")
            with socket.create_connection(("127.0.0.1", port), timeout=20) as own:
                assert ftp.getresp().startswith("150")
                received = bytearray()
                while chunk := own.recv(65536):
                    received += chunk
            assert ftp.voidresp() == "226 Transfer complete."
            assert bytes(received) == payload, len(received)
        assert ftp.sendcmd("NOOP") == "200 NOOP command received."
        assert ftp.sendcmd("SYST") == "215 UNIX Type: L8"
        ftp.quit()
        served_as_themselves(server)
    print("ftplib interoperability: ok")


# Names that were once taken for other files: the neighbours below.
ODD_NAMES = [
    ("aux", "notes.txt"),
    ("", "x*y"),
    ("", "trail  "),
    ("", ".htaccess"),
    (".well-known", "acme"),
    ("", "con"),
    ("", "back\\slash.txt"),
    ("", "L" * 246 + ".txt"),
]
NEIGHBOURS = ("notes.txt", "x_y", "trail", "acme", "slash.txt")


def served_as_themselves(server):
    root = server.root
    for neighbour in NEIGHBOURS:
        with open(os.path.join(root, neighbour), "wb") as f:
            f.write(b"neighbour")
    before = sorted(os.listdir(root))
    ftp = ftplib.FTP()
    ftp.connect("127.0.0.1", server.port, timeout=10)
    ftp.login(USER, PASSWORD)
    for folder, name in ODD_NAMES:
        path = folder + "/" + name if folder else name
        content = ("content of " + path).encode()
        if folder:
            ftp.mkd(folder)
        ftp.storbinary("STOR " + path, io.BytesIO(content))
        with open(os.path.join(root, path), "rb") as f:
            assert f.read() == content, path
        listed = []
        ftp.retrlines("LIST -la " + folder if folder else "LIST -a", listed.append)
        assert any(line.endswith(" " + name) for line in listed), (path, listed)
        names = ftp.nlst("-1 " + folder) if folder else ftp.nlst("-1")
        assert name in names, (path, names)
        assert ftp.size(path) == len(content), path
        fetched = io.BytesIO()
        ftp.retrbinary("RETR " + path, fetched.write)
        assert fetched.getvalue() == content, path
        ftp.delete(path)
        assert not os.path.exists(os.path.join(root, path)), path
        if folder:
            ftp.rmd(folder)
    ftp.quit()
    assert sorted(os.listdir(root)) == before, (before, os.listdir(root))
    for neighbour in NEIGHBOURS:
        with open(os.path.join(root, neighbour), "rb") as f:
            assert f.read() == b"neighbour", neighbour


if __name__ == "__main__":
    main()
