#!/usr/bin/env python3
"""Python's ftplib against the server: log in, walk, make and remove folders,
rename and delete. Usage: ftplib_test.py <e2e_server binary>"""
import ftplib
import os
import subprocess
import sys
import tempfile


def main():
    server_binary = sys.argv[1]
    with tempfile.TemporaryDirectory() as folder:
        server = subprocess.Popen([server_binary, folder, "alice", "wonder"],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        try:
            line = server.stdout.readline().strip()
            assert line.startswith("PORT "), line
            port = int(line.split()[1])
            root = os.path.join(folder, "root")
            with open(os.path.join(root, "notes.txt"), "w") as f:
                f.write("hello")

            ftp = ftplib.FTP()
            ftp.connect("127.0.0.1", port, timeout=10)
            assert ftp.getwelcome() == "220 Welcome to Marrowind Quillon FTP Server.", ftp.getwelcome()
            try:
                ftp.login("alice", "wrong")
                raise AssertionError("a wrong password was accepted")
            except ftplib.error_perm as refused:
                assert str(refused) == "530 Incorrect user name or password. Restart from USER.", refused
            reply = ftp.login("alice", "wonder")
            assert reply.startswith("230"), reply
            assert ftp.pwd() == "/"
            # The 257 reply quotes the new folder with single quotes, which
            # ftplib does not pick out; the folder itself must exist.
            ftp.mkd("projects")
            assert os.path.isdir(os.path.join(root, "projects"))
            ftp.cwd("projects")
            assert ftp.pwd() == "/projects"
            assert ftp.sendcmd("MKD inner") == "257 '/projects/inner' directory created."
            ftp.cwd("..")
            assert ftp.pwd() == "/"
            assert ftp.size("notes.txt") == 5
            ftp.rename("notes.txt", "projects/renamed.txt")
            assert os.path.exists(os.path.join(root, "projects", "renamed.txt"))
            ftp.delete("projects/renamed.txt")
            assert not os.path.exists(os.path.join(root, "projects", "renamed.txt"))
            ftp.rmd("projects/inner")
            ftp.rmd("projects")
            assert not os.path.exists(os.path.join(root, "projects"))
            try:
                ftp.cwd("missing")
                raise AssertionError("entered a missing folder")
            except ftplib.error_perm as refused:
                assert str(refused) == "550 Directory does not exist.", refused
            assert ftp.sendcmd("SYST") == "215 UNIX Type: L8"
            ftp.quit()
        finally:
            server.stdin.close()
            try:
                server.wait(timeout=20)
            except subprocess.TimeoutExpired:
                server.kill()
                raise
    print("ftplib interoperability: ok")


if __name__ == "__main__":
    main()
