#!/usr/bin/env python3
"""Explicit TLS against the server: curl, lftp and Python's FTP_TLS move
files byte-identical over protected data connections; an upload whose
client closes the data connection right after its last write arrives
whole, and one that ends in a reset fails; a data connection may resume
the TLS session of its own control connection or of another logged-in
control connection of the same account from the same address, and no
other; `tls = required` refuses USER in clear and `tls_data = required`
refuses unprotected transfers; a thousand broken handshakes leave the
server answering.
Usage: tls_test.py <e2e_server binary>"""
import ftplib
import io
import hashlib
import os
import random
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import threading
import time

from server import PASSWORD, USER, Server, make_certificate


def conf(certificate, key, *lines):
    return "\n".join(["tls_certificate = " + certificate, "tls_key = " + key, *lines]) + "\n"


class ResumingFTP(ftplib.FTP_TLS):
    """FTP_TLS whose data connections resume the control connection's TLS
    session, as the server requires by default, or `shared_session` (one
    of another connection), as clients that keep one session cache for
    several connections do."""

    shared_session = None

    def ntransfercmd(self, cmd, rest=None):
        conn, size = ftplib.FTP.ntransfercmd(self, cmd, rest)
        if self._prot_p:
            session = self.shared_session or self.sock.session
            conn = self.context.wrap_socket(conn, server_hostname=self.host, session=session)
        return conn, size


def tls_context(certificate):
    context = ssl.create_default_context(cafile=certificate)
    # Python offers TLS 1.3 tickets only after the first read; 1.2 makes the
    # control session resumable at once, as most FTP clients use it.
    context.maximum_version = ssl.TLSVersion.TLSv1_2
    return context


def login(server, certificate, kind=ResumingFTP, context=None, user=USER, password=PASSWORD,
          source_address=None):
    ftp = kind(context=context or tls_context(certificate), timeout=60)
    ftp.connect("localhost", server.port, source_address=source_address)
    ftp.auth()
    ftp.login(user, password)
    return ftp


def taken_then_own(ftp, thief_session, expected, before_command=False):
    """RETR source.bin on a passive port that a connection with
    `thief_session` reaches first (before the command, or while it waits):
    its handshake is refused and it gets nothing, and the port still waits
    for the client's own connection, which gets the file."""
    _, port = ftplib.parse227(ftp.sendcmd("PASV"))
    if not before_command:
        ftp.putcmd("RETR source.bin")
    with socket.create_connection(("127.0.0.1", port), timeout=20) as stolen:
        if before_command:
            ftp.putcmd("RETR source.bin")
        assert ftp.getresp().startswith("150")
        try:
            with ftp.context.wrap_socket(stolen, server_hostname="localhost",
                                         session=thief_session) as taken:
                assert not taken.recv(100)
        except (ssl.SSLError, OSError):
            pass  # the server ends the connection during or just after the handshake
    with socket.create_connection(("127.0.0.1", port), timeout=20) as raw:
        with ftp.context.wrap_socket(raw, server_hostname="localhost", session=ftp.sock.session) as own:
            received = bytearray()
            while chunk := own.recv(65536):
                received += chunk
    assert bytes(received) == expected
    assert ftp.voidresp().startswith("226")


def refused(code, call):
    try:
        call()
    except ftplib.error_perm as error:
        assert str(error).startswith(code), error
        return str(error)
    raise AssertionError("expected a %s reply" % code)


def curl(*args):
    return subprocess.run(["curl", "--silent", "--show-error", "--max-time", "120", *args],
                          check=True, capture_output=True).stdout


def check_curl_and_lftp(server, certificate, work):
    data = os.urandom(3_000_000)
    with open(os.path.join(server.root, "big.bin"), "wb") as f:
        f.write(data)
    url = "ftp://%s:%s@localhost:%d/" % (USER, PASSWORD, server.port)
    tls = ["--ssl-reqd", "--cacert", certificate]
    assert curl(*tls, url + "big.bin") == data
    # (This curl's active mode never starts TLS on the data connection, a
    # fault of its own; ftplib and lftp cover active mode below.)
    source = os.path.join(work, "up.bin")
    with open(source, "wb") as f:
        f.write(data[::-1])
    curl(*tls, "-T", source, url + "up.bin")
    with open(os.path.join(server.root, "up.bin"), "rb") as f:
        assert f.read() == data[::-1]
    assert b"big.bin" in curl(*tls, url)
    # A client that does not ask for TLS sees the server as before.
    assert curl(url + "big.bin") == data

    # One curl session of several transfers, uploads among them: curl keeps
    # only the newest TLS session and starts each data handshake as soon as
    # it connects. Every data connection resumes (a fresh ticket comes with
    # each transfer's reply) and one control connection serves them all.
    log_path = os.path.join(server.folder, "logs", "ftp_0.txt")
    started_before = open(log_path).read().count("TLS Started")
    small = [os.urandom(random.randrange(1, 200_000)) for _ in range(6)]
    for i, payload in enumerate(small):
        with open(os.path.join(server.root, "small%d.bin" % i), "wb") as f:
            f.write(payload)
    steps = []
    for i in range(len(small)):
        steps += ["--next", *tls, url + "small%d.bin" % i, "-o", os.path.join(work, "got%d.bin" % i)]
        if i % 2:
            steps += ["--next", *tls, "-T", source, url + "again%d.bin" % i]
    curl(*steps[1:])
    for i, payload in enumerate(small):
        with open(os.path.join(work, "got%d.bin" % i), "rb") as f:
            assert f.read() == payload, i
        if i % 2:
            with open(os.path.join(server.root, "again%d.bin" % i), "rb") as f:
                assert f.read() == data[::-1], i
    log = open(log_path).read()
    assert log.count("TLS Started") == started_before + 1, log
    assert "Data Connection TLS Failed" not in log, log

    script = "\n".join([
        "set net:timeout 10", "set net:max-retries 2", "set cmd:fail-exit yes",
        "set ftp:ssl-force true", "set ftp:ssl-protect-data true", "set ftp:passive-mode off", "set ssl:ca-file " + certificate,
        "open -u %s,%s -p %d localhost" % (USER, PASSWORD, server.port),
        "put %s -o lftp.bin" % source, "get big.bin -o %s" % os.path.join(work, "lftp-big.bin"), "ls"])
    listing = subprocess.run(["lftp", "-c", script], check=True, capture_output=True, text=True,
                             timeout=120).stdout
    assert "lftp.bin" in listing, listing
    with open(os.path.join(server.root, "lftp.bin"), "rb") as f:
        assert f.read() == data[::-1]
    with open(os.path.join(work, "lftp-big.bin"), "rb") as f:
        assert f.read() == data


def check_handshake_at_connect(server, certificate):
    """A client that starts the data connection's handshake right after it
    connected, before its transfer command, is answered at once."""
    ftp = login(server, certificate)
    ftp.prot_p()
    payload = os.urandom(300_000)
    ftp.storbinary("STOR early.bin", io.BytesIO(payload))
    _, port = ftplib.parse227(ftp.sendcmd("PASV"))
    with socket.create_connection(("127.0.0.1", port), timeout=10) as raw:
        # Would time out if the server waited for RETR.
        with ftp.context.wrap_socket(raw, server_hostname="localhost", session=ftp.sock.session) as data:
            assert data.session_reused
            ftp.putcmd("RETR early.bin")
            assert ftp.getresp().startswith("150")
            received = bytearray()
            while chunk := data.recv(65536):
                received.extend(chunk)
    assert ftp.voidresp().startswith("226")
    assert bytes(received) == payload
    ftp.quit()


def check_ftplib(server, certificate):
    ftp = login(server, certificate)
    assert "Version=[TLSv1.2]" in open(os.path.join(server.folder, "logs", "ftp_0.txt")).read()
    assert ftp.sendcmd("PBSZ 0").startswith("200")
    ftp.prot_p()
    payload = os.urandom(1_234_567)
    ftp.storbinary("STOR ftplib.bin", io.BytesIO(payload))
    received = bytearray()
    ftp.retrbinary("RETR ftplib.bin", received.extend)
    assert bytes(received) == payload
    assert hashlib.sha256(open(os.path.join(server.root, "ftplib.bin"), "rb").read()).digest() == \
        hashlib.sha256(payload).digest()
    assert "ftplib.bin" in ftp.nlst()
    ftp.set_pasv(False)  # the server connects and is still the TLS server
    received.clear()
    ftp.retrbinary("RETR ftplib.bin", received.extend)
    assert bytes(received) == payload
    ftp.set_pasv(True)
    # Back to clear data connections, and a second AUTH is refused.
    ftp.prot_c()
    assert ftp.nlst() and ftp.sendcmd("NOOP").startswith("200")
    refused("503", lambda: ftp.sendcmd("AUTH TLS"))
    refused("5", lambda: ftp.sendcmd("CCC"))
    ftp.quit()

    # Data connections that start a new TLS session are someone else's. The
    # server waits out the passive wait (a minute from the command) for the
    # client's own connection, then refuses the transfer.
    thief = login(server, certificate, kind=ftplib.FTP_TLS)
    thief.prot_p()
    started = time.monotonic()
    try:
        with thief.transfercmd("RETR ftplib.bin") as conn:
            assert not conn.recv(100)
    except (ssl.SSLError, OSError):
        pass  # the server ends the connection during or just after the handshake
    thief.sock.settimeout(180)
    refused("522", thief.voidresp)
    assert time.monotonic() - started > 55, time.monotonic() - started
    assert thief.sendcmd("NOOP").startswith("200")
    thief.quit()


def tls_contexts(certificate):
    """The ways a client resumes a session, by name."""
    tickets = ssl.create_default_context(cafile=certificate)  # TLS 1.3
    session_ids = tls_context(certificate)
    session_ids.options |= ssl.OP_NO_TICKET
    return [("TLS 1.3", tickets), ("TLS 1.2 tickets", tls_context(certificate)),
            ("TLS 1.2 session ids", session_ids)]


def store_by_hand(ftp, name, payload, end):
    """STOR over a data connection made by hand that resumes the control
    session; `end` ends it after the last write. Returns the final reply."""
    _, port = ftplib.parse227(ftp.sendcmd("PASV"))
    with socket.create_connection(("127.0.0.1", port), timeout=60) as raw:
        ftp.putcmd("STOR " + name)
        assert ftp.getresp().startswith("150")
        data = ftp.context.wrap_socket(raw, server_hostname="localhost", session=ftp.sock.session)
        assert data.session_reused
        data.sendall(payload)
        end(data)
    try:
        return ftp.voidresp()
    except ftplib.error_temp as error:
        return str(error)


def close_at_once(data):
    # No closing alert and nothing read: whatever the server sent after
    # the handshake would make this system answer with a reset.
    data.close()


def close_in_order(data):
    data.unwrap().close()


def close_with_reset(data):
    data.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    data.close()


def check_upload_ends(server, certificate):
    big = os.urandom(52_400_000)
    small = big[:3_000_000]
    cases = [  # how the client ends, what it sends, whether the upload is whole
        (close_at_once, big, True), (close_at_once, big, True), (close_in_order, small, True),
        (close_with_reset, small, False)]
    log = os.path.join(server.folder, "logs", "ftp_0.txt")
    for version, context in tls_contexts(certificate)[:2]:
        ftp = login(server, certificate, context=context)
        ftp.prot_p()
        ftp.voidcmd("TYPE I")
        for number, (end, payload, whole) in enumerate(cases):
            name = "ends-%d.bin" % number
            path = os.path.join(server.root, name)
            reply = store_by_hand(ftp, name, payload, end)
            where = "%s, %s, case %d: %s" % (version, end.__name__, number, reply)
            if whole:
                assert reply.startswith("226"), where
                assert os.path.getsize(path) == len(payload), (where, os.path.getsize(path))
                with open(path, "rb") as f:
                    assert f.read() == payload, where
                assert "File Uploaded: File=[/%s]" % name in open(log).read(), where
            else:
                assert reply.startswith("426 Transfer incomplete, data connection was lost."), where
                assert not os.path.exists(path), where
                assert "Upload Failed: File=[/%s], Reason=[Aborted / Stopped / Data Connection Failure]" \
                    % name in open(log).read(), where
            if os.path.exists(path):
                os.remove(path)
        assert ftp.sendcmd("NOOP").startswith("200")
        ftp.quit()


def check_shared_sessions(binary, certificate, key):
    """Parallel transfers of one account from one address may share one TLS
    session; another account's session, the same account's from another
    address, or that of a control connection that has not logged in, is
    refused."""
    with Server(binary, extra_args=["--account", "bob", "builder"],
                conf=conf(certificate, key, "tls = optional")) as server:
        source = os.urandom(2_000_000)
        with open(os.path.join(server.root, "source.bin"), "wb") as f:
            f.write(source)
        for version, context in tls_contexts(certificate):
            first = login(server, certificate, context=context)
            second = login(server, certificate, context=context)
            other = login(server, certificate, context=context, user="bob", password="builder")
            elsewhere = login(server, certificate, context=context, source_address=("127.0.0.2", 0))
            stranger = ResumingFTP(context=context, timeout=60)
            stranger.connect("localhost", server.port)
            stranger.auth()
            stranger.sendcmd("FEAT")  # a read: TLS 1.3 clients take their tickets then
            for ftp in (first, second, other):
                ftp.prot_p()
            second.shared_session = first.sock.session

            # Both transfers at once, both with the first connection's session.
            payloads = {first: os.urandom(3_000_000), second: os.urandom(3_000_000)}
            results = {}

            def transfer(ftp, name):
                try:
                    received = bytearray()
                    ftp.retrbinary("RETR source.bin", received.extend)
                    stored = ftp.storbinary("STOR " + name, io.BytesIO(payloads[ftp]))
                    results[name] = (bytes(received) == source, stored)
                except (ftplib.Error, OSError) as error:  # ssl.SSLError is an OSError
                    results[name] = (False, repr(error))

            threads = [threading.Thread(target=transfer, args=(ftp, name))
                       for ftp, name in ((first, "first.bin"), (second, "second.bin"))]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join(300)
                assert not thread.is_alive(), version
            for ftp, name in ((first, "first.bin"), (second, "second.bin")):
                downloaded, stored = results[name]
                assert downloaded and stored.startswith("226"), (version, name, results[name])
                with open(os.path.join(server.root, name), "rb") as f:
                    assert f.read() == payloads[ftp], (version, name)

            # Sessions of someone else are refused: another account's from the
            # same address, the same account's from another address, and one
            # of a connection that has not logged in. The client's own
            # connection still gets the file.
            for thief in (other, elsewhere, stranger):
                taken_then_own(second, thief.sock.session, source)
            taken_then_own(first, other.sock.session, source, before_command=True)
            for ftp in (first, second, other, elsewhere):
                ftp.quit()
            stranger.close()
        log = open(os.path.join(server.folder, "logs", "ftp_0.txt")).read()
        assert log.count("alice -> Data Connection TLS Failed: Reason=[the TLS session of the control "
                         "connection was not resumed]") == 4 * len(tls_contexts(certificate)), log


def check_required(binary, certificate, key):
    with Server(binary, conf=conf(certificate, key, "tls = required", "tls_data = required")) as server:
        clear = ftplib.FTP(timeout=20)
        clear.connect("127.0.0.1", server.port)
        assert " AUTH TLS" in clear.sendcmd("FEAT")
        refused("530", lambda: clear.login(USER, PASSWORD))
        clear.close()
        with open(os.path.join(server.root, "f.txt"), "w") as f:
            f.write("protected")
        ftp = login(server, certificate)
        refused("521", lambda: ftp.retrlines("RETR f.txt", lambda _: None))
        ftp.prot_p()
        lines = []
        ftp.retrlines("RETR f.txt", lines.append)
        assert lines == ["protected"]
        ftp.quit()


def client_hello():
    """The first flight of a real TLS client, as bytes."""
    incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
    tls = ssl.create_default_context().wrap_bio(incoming, outgoing, server_hostname="localhost")
    try:
        tls.do_handshake()
    except ssl.SSLWantReadError:
        pass
    return outgoing.read()


def check_handshake_fuzz(server, certificate):
    hello = client_hello()
    rng = random.Random(4217)
    streams = []
    for i in range(1000):
        kind = i % 4
        if kind == 0:
            streams.append(hello[:rng.randrange(len(hello))])
        elif kind == 1:
            streams.append(os.urandom(rng.randrange(1, 600)))
        elif kind == 2:
            broken = bytearray(hello)
            for _ in range(rng.randrange(1, 8)):
                broken[rng.randrange(len(broken))] = rng.randrange(256)
            streams.append(bytes(broken))
        else:
            streams.append(b"\x16\x03\x01\xff\xff" + os.urandom(rng.randrange(0, 64)))

    # A protected session stays responsive while the garbage arrives.
    watcher = login(server, certificate)
    failures = []

    done = []

    def attack(batch):
        for stream in batch:
            try:
                with socket.create_connection(("127.0.0.1", server.port), timeout=20) as s:
                    reader = s.makefile("rb")
                    reader.readline()
                    s.sendall(b"AUTH TLS\r\n")
                    if not reader.readline().startswith(b"234"):
                        failures.append("AUTH TLS was not answered")
                    s.sendall(stream)
                    s.shutdown(socket.SHUT_WR)
                    while s.recv(4096):  # the server's alert, then the end
                        pass
            except socket.timeout:
                failures.append("a broken handshake was left hanging")
            except OSError:
                pass  # the server dropped the connection first
            done.append(stream)

    threads = [threading.Thread(target=attack, args=(streams[i::8],)) for i in range(8)]
    for thread in threads:
        thread.start()
    for _ in range(20):
        assert watcher.sendcmd("NOOP").startswith("200")
    for thread in threads:
        thread.join(300)
        assert not thread.is_alive()
    assert not failures, failures[:3]
    assert len(done) == len(streams)
    watcher.prot_p()
    assert "big.bin" in watcher.nlst()
    watcher.quit()
    log = open(os.path.join(server.folder, "logs", "ftp_0.txt")).read()
    assert "TLS Failed: Reason=[" in log
    # And a new client gets in as before.
    assert curl("--ssl-reqd", "--cacert", certificate,
                "ftp://%s:%s@localhost:%d/big.bin" % (USER, PASSWORD, server.port))[:1]


def main():
    with tempfile.TemporaryDirectory() as work:
        certificate, key = make_certificate(work)
        # The broken-handshake flood below opens more connections from one
        # address before login than the per-address cap allows; the cap has
        # tests of its own, this one is about handshakes.
        with Server(sys.argv[1], conf=conf(certificate, key, "tls = optional",
                                           "prelogin_per_ip = 0")) as server:
            check_curl_and_lftp(server, certificate, work)
            check_ftplib(server, certificate)
            check_handshake_at_connect(server, certificate)
            check_upload_ends(server, certificate)
            check_handshake_fuzz(server, certificate)
        check_shared_sessions(sys.argv[1], certificate, key)
        check_required(sys.argv[1], certificate, key)
    print("ok")


if __name__ == "__main__":
    main()
