"""Scale of the real server program in service mode, in a temporary program
folder: bursts of simultaneous connect-login-RETR-QUIT sessions (after 100
sequential logins), and idle logged-in sessions with the server's CPU time,
wake-ups and memory while they idle.

Usage: scale_bench.py <dist folder> [--burst N[,N...]] [--repeat R] [--idle N[,N...]]
Loopback only. The client raises its own descriptor limit to what it may."""
import argparse
import os
import resource
import shutil
import socket
import subprocess
import tempfile
import threading
import time


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Server:
    def __init__(self, dist):
        self.folder = tempfile.mkdtemp(prefix="quillon-scale-")
        os.chmod(self.folder, 0o755)
        for name in ("quillon-ftp-server", "quillon-setup"):
            shutil.copy2(os.path.join(dist, name), self.folder)
        shutil.copytree(os.path.join(dist, "remoteadmin"), os.path.join(self.folder, "remoteadmin"))
        self.port = free_port()
        # The remote admin is turned off below; --no-tls keeps FTP as measured
        # before (no certificate, no AUTH TLS offered).
        self.setup("init", "--ftp-port", str(self.port), "--admin-port", str(free_port()), "--no-tls")
        for key, value in (("mUseRA", "0"), ("mMaxUsers", "20000"), ("mUseMaxUsersPerIP", "0"),
                           ("mAntiHammering", "0")):
            self.setup("set", key, value)
        pub = os.path.join(self.folder, "pub")
        os.mkdir(pub)
        with open(os.path.join(pub, "small.bin"), "wb") as f:
            f.write(os.urandom(64 * 1024))
        self.setup("account", "add", "bench", "--password", "benchpass", "--root", pub)
        with open(os.path.join(self.folder, "config", "quillon.conf"), "a") as conf:
            conf.write("run_as_user = root\n")
        self.process = subprocess.Popen([os.path.join(self.folder, "quillon-ftp-server"), "-service"])
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                break
            except OSError:
                time.sleep(0.05)

    def setup(self, *args):
        subprocess.run([os.path.join(self.folder, "quillon-setup")] + list(args), check=True,
                       capture_output=True)

    def cpu_seconds(self):
        with open("/proc/%d/stat" % self.process.pid) as f:
            fields = f.read().split(")")[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def wakeups(self):
        total = 0
        for task in os.listdir("/proc/%d/task" % self.process.pid):
            try:
                with open("/proc/%d/task/%s/status" % (self.process.pid, task)) as f:
                    for line in f:
                        if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                            total += int(line.split()[1])
            except FileNotFoundError:
                pass
        return total

    def rss_kb(self):
        with open("/proc/%d/status" % self.process.pid) as f:
            return int([line for line in f if line.startswith("VmRSS")][0].split()[1])

    def close(self):
        self.process.terminate()
        self.process.wait(timeout=120)
        shutil.rmtree(self.folder, ignore_errors=True)


def reply(sock, buffer):
    """The next complete reply (last line "ddd ...")."""
    while True:
        lines = buffer[0].split(b"\r\n")
        for i, line in enumerate(lines[:-1]):
            if len(line) >= 4 and line[:3].isdigit() and line[3:4] == b" ":
                buffer[0] = b"\r\n".join(lines[i + 1:])
                return line
        chunk = sock.recv(4096)
        if not chunk:
            raise ConnectionError("closed")
        buffer[0] += chunk


def session(port, download):
    """connect, log in, RETR (passive), QUIT; the time until logged in."""
    started = time.monotonic()
    with socket.create_connection(("127.0.0.1", port), timeout=60) as sock:
        buffer = [b""]
        reply(sock, buffer)
        sock.sendall(b"USER bench\r\n")
        reply(sock, buffer)
        sock.sendall(b"PASS benchpass\r\n")
        if not reply(sock, buffer).startswith(b"230"):
            raise RuntimeError("login refused")
        logged_in = time.monotonic() - started
        if download:
            sock.sendall(b"PASV\r\n")
            text = reply(sock, buffer).decode()
            numbers = text[text.index("(") + 1:text.index(")")].split(",")
            data_port = int(numbers[4]) * 256 + int(numbers[5])
            with socket.create_connection(("127.0.0.1", data_port), timeout=60) as data:
                sock.sendall(b"RETR small.bin\r\n")
                reply(sock, buffer)
                while data.recv(65536):
                    pass
            reply(sock, buffer)
        sock.sendall(b"QUIT\r\n")
        reply(sock, buffer)
    return logged_in


def burst(server, count, repeat):
    for _ in range(100):
        session(server.port, False)
    worst, failures = 0.0, 0
    for _ in range(repeat):
        times, errors = [], []
        gate = threading.Barrier(count)

        def one():
            try:
                gate.wait()
                times.append(session(server.port, True))
            except Exception as error:  # noqa: BLE001 - counted, not raised
                errors.append(error)

        threads = [threading.Thread(target=one) for _ in range(count)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        failures += len(errors)
        worst = max([worst] + times)
    print("burst %5d x %d: %d failed, slowest login %.2f s" % (count, repeat, failures, worst))


def idle(server, count):
    sockets = []
    for _ in range(count):
        sock = socket.create_connection(("127.0.0.1", server.port), timeout=60)
        buffer = [b""]
        reply(sock, buffer)
        sock.sendall(b"USER bench\r\nPASS benchpass\r\n")
        reply(sock, buffer)
        reply(sock, buffer)
        sockets.append(sock)
    time.sleep(2)
    rss_before = server.rss_kb()
    cpu, wakeups = server.cpu_seconds(), server.wakeups()
    time.sleep(20)
    cpu, wakeups = server.cpu_seconds() - cpu, server.wakeups() - wakeups
    print("idle  %5d: CPU %.3f s and %d wake-ups in 20 s, RSS %d KiB" % (count, cpu, wakeups, rss_before))
    for sock in sockets:
        sock.close()
    return rss_before


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("dist")
    parser.add_argument("--burst", default="500,2000")
    parser.add_argument("--repeat", type=int, default=10)
    parser.add_argument("--idle", default="200,2000")
    args = parser.parse_args()
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    server = Server(args.dist)
    try:
        for count in filter(None, args.burst.split(",")):
            burst(server, int(count), args.repeat)
        sizes = [int(count) for count in filter(None, args.idle.split(","))]
        rss = {count: idle(server, count) for count in sizes}
        if len(sizes) > 1:
            low, high = min(sizes), max(sizes)
            print("RSS per idle session: %.1f KiB" % ((rss[high] - rss[low]) / (high - low)))
    finally:
        server.close()


if __name__ == "__main__":
    main()
