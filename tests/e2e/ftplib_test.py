#!/usr/bin/env python3
"""Python's ftplib against the server: log in, walk, make and remove folders,
rename, delete, download with a restart offset, upload, resume an upload cut
off half way, abort a download, list names and MLSD.
Usage: ftplib_test.py <e2e_server binary>"""
import ftplib
import io
import os
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
        huge = os.path.join(root, "huge.bin")
        with open(huge, "wb") as f:
            f.truncate(64 << 20)

        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", server.port, timeout=10)
        assert ftp.getwelcome() == "220 Welcome to Marrowind Quillon FTP Server.", ftp.getwelcome()
        assert ftp.login(USER, PASSWORD).startswith("230")
        assert ftp.pwd() == "/"
        # The 257 reply quotes the new folder with single quotes, which ftplib
        # does not pick out; the folder itself must exist.
        ftp.mkd("projects")
        assert os.path.isdir(os.path.join(root, "projects"))
        ftp.cwd("projects")
        assert ftp.pwd() == "/projects"
        ftp.cwd("..")
        assert ftp.size("notes.txt") == 5
        ftp.rename("notes.txt", "projects/renamed.txt")
        assert os.path.exists(os.path.join(root, "projects", "renamed.txt"))
        ftp.delete("projects/renamed.txt")
        ftp.rmd("projects")
        assert not os.path.exists(os.path.join(root, "projects"))

        # Transfers.
        whole = io.BytesIO()
        ftp.retrbinary("RETR data.bin", whole.write)
        assert whole.getvalue() == payload
        tail = io.BytesIO()
        ftp.retrbinary("RETR data.bin", tail.write, rest=123_456)
        assert tail.getvalue() == payload[123_456:]
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

        assert sorted(ftp.nlst()) == [".", "..", "data.bin", "resumed.bin", "up.bin"], ftp.nlst()
        lines = []
        ftp.retrlines("LIST", lines.append)
        assert any(line.endswith(" up.bin") and " 250000 " in line for line in lines), lines
        # MLSD gives exact sizes and types.
        facts = dict(ftp.mlsd())
        assert facts["up.bin"]["type"] == "file" and facts["up.bin"]["size"] == "250000", facts
        assert facts["."]["type"] == "cdir" and facts[".."]["type"] == "pdir", facts
        assert set(facts["data.bin"]) == {"type", "size", "modify", "perm", "unique"}, facts
        assert len(facts["data.bin"]["modify"]) == 14, facts

        ftp.quit()
    print("ftplib interoperability: ok")


if __name__ == "__main__":
    main()
