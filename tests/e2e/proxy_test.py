#!/usr/bin/env python3
"""The server behind a load balancer that sends the PROXY protocol header:
with `proxy_protocol = on` a trusted peer's header (version 1 or 2) makes
the client it names the session's peer, in the log and for the check that
a passive data connection comes from the client; a peer that sends no
header, or one that is not trusted, is refused with a log line.
Usage: proxy_test.py <e2e_server binary>"""
import ftplib
import io
import os
import socket
import struct
import sys

from server import PASSWORD, USER, Server


def v1(client, port):
    return ("PROXY TCP4 %s 127.0.0.1 40000 %d\r\n" % (client, port)).encode()


def v2(client, port):
    block = socket.inet_aton(client) + socket.inet_aton("127.0.0.1") + struct.pack("!HH", 40001, port)
    block += b"\x04\x00\x02id"  # a TLV the server skips
    return b"\r\n\r\n\x00\r\nQUIT\n" + bytes([0x21, 0x11]) + struct.pack("!H", len(block)) + block


class ProxiedFTP(ftplib.FTP):
    """An FTP client whose control connection starts with `header`, sent from
    the balancer's address, and whose data connections leave from the
    client's own address, as they would reach the server straight."""

    def __init__(self, header, client, balancer="127.0.0.1"):
        super().__init__(timeout=20)
        self.header, self.client, self.balancer = header, client, balancer

    def connect(self, host="", port=0, timeout=-999, source_address=None):
        self.host, self.port = host, port
        self.sock = socket.create_connection((host, port), self.timeout, source_address=(self.balancer, 0))
        self.af = self.sock.family
        self.sock.sendall(self.header)
        self.file = self.sock.makefile("r", encoding=self.encoding)
        self.source_address = (self.client, 0)
        self.welcome = self.getresp()
        return self.welcome


def refused(server, header, balancer):
    with socket.create_connection(("127.0.0.1", server.port), 20, source_address=(balancer, 0)) as conn:
        conn.sendall(header)
        try:
            # Closed with the client's bytes unread: an end or a reset.
            assert conn.recv(100) == b"", "a refused connection gets nothing"
        except ConnectionResetError:
            pass


def main():
    conf = "proxy_protocol = on\nproxy_trusted = 127.0.0.1\n"
    with Server(sys.argv[1], conf=conf) as server:
        payload = os.urandom(200_000)
        with open(os.path.join(server.root, "data.bin"), "wb") as f:
            f.write(payload)
        log_path = os.path.join(server.folder, "logs", "ftp_0.txt")
        for client, header in (("127.0.0.2", v1("127.0.0.2", server.port)),
                               ("127.0.0.3", v2("127.0.0.3", server.port))):
            ftp = ProxiedFTP(header, client)
            assert ftp.connect("127.0.0.1", server.port).startswith("220")
            assert ftp.login(USER, PASSWORD).startswith("230")
            received = bytearray()
            ftp.retrbinary("RETR data.bin", received.extend)  # the data connection comes from the client
            assert bytes(received) == payload
            ftp.storbinary("STOR up.bin", io.BytesIO(payload[:1000]))
            ftp.quit()
            log = open(log_path).read()
            assert "-> %s -> %s -> File Downloaded" % (client, USER) in log, log
            assert "-> %s -> Connection Accepted." % client in log, log

        # A trusted peer without a header, and a header from a peer not
        # trusted, are refused before the greeting.
        refused(server, b"USER alice\r\n", "127.0.0.1")
        refused(server, v1("127.0.0.4", server.port), "127.0.0.5")
        log = open(log_path).read()
        assert "-> 127.0.0.1 -> PROXY Header Refused: Reason=[no PROXY protocol header]" in log, log
        assert "-> 127.0.0.5 -> PROXY Header Refused: Reason=[the peer is not a trusted proxy]" in log, log
        assert "127.0.0.4" not in log, log
    print("ok")


if __name__ == "__main__":
    main()
