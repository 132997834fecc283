#!/usr/bin/env python3
"""IPv6 and implicit TLS against the server, with real clients: curl and
lftp over [::1] list, download and upload byte-identical with EPSV and with
EPRT; a blocked IPv6 prefix is refused at connect while IPv4 clients still
come in; curl reads a file byte-identical over implicit TLS on the second
port; rclone sets modification times (MFMT) and reads them back.
Usage: ipv6_test.py <e2e_server binary>"""
import datetime
import ftplib
import os
import socket
import subprocess
import sys
import tempfile

from server import PASSWORD, USER, Server, make_certificate


def free_port():
    with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as probe:
        probe.bind(("::", 0))
        return probe.getsockname()[1]


def curl(*args):
    return subprocess.run(["curl", "--silent", "--show-error", "--max-time", "60", *args],
                          check=True, capture_output=True).stdout


def lftp(server, passive, commands):
    script = "\n".join([
        "set net:timeout 10", "set net:max-retries 2", "set net:reconnect-interval-base 1",
        "set cmd:fail-exit yes", "set ftp:passive-mode %s" % ("on" if passive else "off"),
        "open -u %s,%s -p %d [::1]" % (USER, PASSWORD, server.port),
    ] + commands)
    return subprocess.run(["lftp", "-c", script], check=True, capture_output=True, text=True,
                          timeout=120).stdout


def read(path):
    with open(path, "rb") as f:
        return f.read()


def check_curl(server, work, content):
    base = "ftp://%s:%s@[::1]:%d/" % (USER, PASSWORD, server.port)
    for mode, extra in (("EPSV", []), ("EPRT", ["--ftp-port", "-"])):
        assert curl("-g", *extra, base + "source.bin") == content, "curl %s download differs" % mode
        upload = os.path.join(work, "up.bin")
        with open(upload, "wb") as f:
            f.write(content[::-1])
        curl("-g", *extra, "-T", upload, base + "curl-%s.bin" % mode)
        assert read(os.path.join(server.root, "curl-%s.bin" % mode)) == content[::-1], mode
        listing = curl("-g", *extra, "--list-only", base).decode()
        assert "source.bin" in listing.splitlines(), listing


def check_lftp(server, work, content):
    for passive in (True, False):
        got = os.path.join(work, "lftp-%s.bin" % passive)
        upload = os.path.join(work, "lftp-up.bin")
        with open(upload, "wb") as f:
            f.write(content[:1000] * 3)
        name = "lftp-%s.bin" % ("passive" if passive else "active")
        out = lftp(server, passive, ["ls", "get source.bin -o %s" % got, "put %s -o %s" % (upload, name)])
        assert "source.bin" in out, out
        assert read(got) == content, "lftp download differs (passive %s)" % passive
        assert read(os.path.join(server.root, name)) == content[:1000] * 3, name


def check_implicit_tls(server, certificate, implicit_port, content):
    got = curl("--cacert", certificate, "--ssl-reqd",
               "ftps://%s:%s@127.0.0.1:%d/source.bin" % (USER, PASSWORD, implicit_port))
    assert got == content, "implicit TLS download differs"
    # The plain port still answers in clear.
    ftp = ftplib.FTP()
    ftp.connect("127.0.0.1", server.port, timeout=20)
    ftp.login(USER, PASSWORD)
    ftp.quit()


def check_rclone(server, work):
    obscured = subprocess.run(["rclone", "obscure", PASSWORD], check=True, capture_output=True,
                              text=True).stdout.strip()
    remote = ":ftp,host=127.0.0.1,port=%d,user=%s,pass=%s:" % (server.port, USER, obscured)
    local = os.path.join(work, "dated")
    os.makedirs(local)
    stamp = datetime.datetime(2021, 3, 4, 5, 6, 7, tzinfo=datetime.timezone.utc).timestamp()
    path = os.path.join(local, "dated.txt")
    with open(path, "w") as f:
        f.write("a file of 2021")
    os.utime(path, (stamp, stamp))
    env = dict(os.environ, RCLONE_CONFIG="/dev/null")
    # rclone sets a time only through MFMT (its MDTM form is for one other
    # server and needs an option), so the time on disk came by MFMT.
    subprocess.run(["rclone", "copy", local, remote + "rclone"], check=True, capture_output=True,
                   timeout=120, env=env)
    served = os.path.join(server.root, "rclone", "dated.txt")
    assert int(os.stat(served).st_mtime) == int(stamp), (os.stat(served).st_mtime, stamp)
    listing = subprocess.run(["rclone", "lsl", remote + "rclone"], check=True, capture_output=True,
                             text=True, timeout=60, env=env).stdout
    assert "2021-03-04 05:06:07" in listing, listing


def main():
    content = os.urandom(300_000)
    with tempfile.TemporaryDirectory() as work:
        certificate, key = make_certificate(work)
        implicit_port = free_port()
        conf = "tls_certificate = %s\ntls_key = %s\nimplicit_tls_port = %d\n" % (certificate, key, implicit_port)
        with Server(sys.argv[1], conf=conf) as server:
            with open(os.path.join(server.root, "source.bin"), "wb") as f:
                f.write(content)
            check_curl(server, work, content)
            check_lftp(server, work, content)
            check_implicit_tls(server, certificate, implicit_port, content)
            check_rclone(server, work)

        # A blocked IPv6 prefix is refused before anything else; IPv4 is not.
        with Server(sys.argv[1], extra_args=["--block", "::/120"]) as server:
            with socket.create_connection(("::1", server.port), timeout=20) as refused:
                greeting = refused.recv(200).decode()
                assert greeting.startswith("421 ") or greeting.startswith("530 "), greeting
            ftp = ftplib.FTP()
            ftp.connect("127.0.0.1", server.port, timeout=20)
            ftp.login(USER, PASSWORD)
            ftp.quit()
    print("ipv6 ok")


if __name__ == "__main__":
    main()
