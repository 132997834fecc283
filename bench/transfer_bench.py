#!/usr/bin/env python3
"""Transfer benchmark on loopback with curl against a server process:
single-stream download and upload of a 1 GiB file (MB/s and server CPU
seconds), plain and over TLS (AUTH TLS, PROT P), LIST of a folder of 10,000
files, and 50 parallel 10 MiB downloads.
Usage: transfer_bench.py <e2e_server binary>"""
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "e2e"))
from server import Server, make_certificate  # noqa: E402

MIB = 1 << 20
TICKS = os.sysconf("SC_CLK_TCK")


def server_cpu(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS  # utime + stime


def timed(server, action):
    cpu = server_cpu(server.process.pid)
    start = time.monotonic()
    action()
    return time.monotonic() - start, server_cpu(server.process.pid) - cpu


def curl(*args):
    subprocess.run(["curl", "--silent", "--show-error", *args], check=True,
                   stdout=subprocess.DEVNULL)


def main():
    keys = tempfile.TemporaryDirectory()
    certificate, key = make_certificate(keys.name)
    conf = "tls = optional\ntls_certificate = %s\ntls_key = %s\n" % (certificate, key)
    with Server(sys.argv[1], conf=conf) as server:
        big = os.path.join(server.root, "big.bin")
        with open(big, "wb") as f:
            block = os.urandom(MIB)
            for _ in range(1024):
                f.write(block)
        for label, tls in (("", []), (" over TLS", ["--ssl-reqd", "--cacert", certificate])):
            seconds, cpu = timed(server, lambda: curl(*tls, "-o", "/dev/null", server.url("big.bin")))
            print("download 1 GiB%s: %.0f MB/s, server CPU %.2f s" % (label, 1024 / seconds, cpu))
            seconds, cpu = timed(server, lambda: curl(*tls, "-T", big, server.url("copy.bin")))
            print("upload 1 GiB%s:   %.0f MB/s, server CPU %.2f s" % (label, 1024 / seconds, cpu))
            os.remove(os.path.join(server.root, "copy.bin"))
        os.remove(big)

        many = os.path.join(server.root, "many")
        os.makedirs(many)
        for i in range(10_000):
            open(os.path.join(many, "file%05d.txt" % i), "w").close()
        seconds, cpu = timed(server, lambda: curl("-o", "/dev/null", server.url("many/")))
        print("LIST of 10,000 files: %.3f s, server CPU %.3f s" % (seconds, cpu))

        with open(os.path.join(server.root, "ten.bin"), "wb") as f:
            f.write(os.urandom(10 * MIB))

        def parallel():
            clients = [subprocess.Popen(["curl", "--silent", "-o", "/dev/null",
                                         server.url("ten.bin")]) for _ in range(50)]
            assert all(client.wait() == 0 for client in clients)

        seconds, cpu = timed(server, parallel)
        print("50 parallel 10 MiB downloads: %.2f s (%.0f MB/s in all), server CPU %.2f s"
              % (seconds, 500 / seconds, cpu))


if __name__ == "__main__":
    main()
