"""Fixtures for servers that share one account database: a PostgreSQL
cluster of its own (Debian's package), e2e_server processes that keep their
accounts in it, and HAProxy in front of them sending each connection's
PROXY protocol version 2 header. Every listening port is loopback-only."""
import ftplib
import glob
import http.client
import json
import os
import pwd
import queue
import random
import re
import shutil
import socket
import subprocess
import tempfile
import threading
import time

ADMIN_PASSWORD = "cluster-admin"


def wait_for(condition, timeout=30, what="a condition", interval=0.1):
    """The first true value `condition` returns within `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        assert time.monotonic() < deadline, "timed out waiting for " + what
        time.sleep(interval)


def postgres_bin():
    """The newest installed PostgreSQL's program folder, or None."""
    found = glob.glob("/usr/lib/postgresql/*/bin/postgres")
    found.sort(key=lambda path: int(re.sub(r"\D", "", path.split("/")[4]) or 0))
    return os.path.dirname(found[-1]) if found else None


def missing_tools():
    """The programs these fixtures need that the machine lacks."""
    missing = [] if postgres_bin() else ["postgresql"]
    if shutil.which("haproxy") is None:
        missing.append("haproxy")
    if os.geteuid() == 0 and (runuser() is None or not _has_user("postgres")):
        missing.append("runuser and the postgres user")
    return missing


def runuser():
    """util-linux's runuser, also when the PATH lacks the system folders."""
    return shutil.which("runuser", path=os.environ.get("PATH", "") + ":/usr/sbin:/sbin")


def _has_user(name):
    try:
        pwd.getpwnam(name)
        return True
    except KeyError:
        return False


def free_ports(count=1):
    """The first of `count` consecutive ports free on 127.0.0.1. They lie below
    the kernel's ephemeral range, so no parallel test's outgoing connection is
    handed one before our listener binds it."""
    with open("/proc/sys/net/ipv4/ip_local_port_range") as ports:
        ephemeral_low = int(ports.read().split()[0])
    chooser = random.SystemRandom()
    for _ in range(200):
        first = chooser.randrange(10000, max(ephemeral_low - count, 10001))
        if all(_port_free(port) for port in range(first, first + count)):
            return first
    raise RuntimeError("no free ports")


def _port_free(port):
    with socket.socket() as probe:
        try:
            probe.bind(("127.0.0.1", port))
            return True
        except OSError:
            return False


def listening(ports):
    """Whether something listens on every TCP port of `ports`."""
    found = set()
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(table) as f:
            for line in f.readlines()[1:]:
                fields = line.split()
                if fields[3] == "0A":  # LISTEN
                    found.add(int(fields[1].rsplit(":", 1)[1], 16))
    return set(ports) <= found


class Postgres:
    """A PostgreSQL cluster in a temporary folder, listening on 127.0.0.1 only
    (its socket in that folder), trusting every connection, with the role and
    database `quillon`. initdb and pg_ctl refuse to run as root, so as root
    they run as the package's `postgres` user, which then owns the folder."""

    def __enter__(self):
        self.bin = postgres_bin()
        self.temp = tempfile.TemporaryDirectory(prefix="quillon-pg-")
        self.folder = self.temp.name
        self.data = os.path.join(self.folder, "data")
        self.port = free_ports()
        self.url = "postgresql://quillon@127.0.0.1:%d/quillon" % self.port
        self.running = False
        if os.geteuid() == 0:
            user = pwd.getpwnam("postgres")
            os.chown(self.folder, user.pw_uid, user.pw_gid)
        try:
            self._run("initdb", "-D", self.data, "-U", "postgres", "--auth=trust", "-E", "UTF8",
                      "--no-locale", "--no-sync")
            self.start()
            self.psql("CREATE ROLE quillon LOGIN PASSWORD 'quillon-test'", database="postgres")
            self.psql("CREATE DATABASE quillon OWNER quillon", database="postgres")
            assert self.psql("SELECT current_user", url=self.url) == "quillon"
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def __exit__(self, *exc):
        if self.running:
            try:
                self.stop("fast")
            except (AssertionError, subprocess.TimeoutExpired):
                self.stop("immediate")
        self.temp.cleanup()
        return False

    def _run(self, program, *args):
        command = [os.path.join(self.bin, program)] + list(args)
        if os.geteuid() == 0:
            command = [runuser(), "-u", "postgres", "--"] + command
        done = subprocess.run(command, cwd=self.folder, capture_output=True, text=True, timeout=120)
        assert done.returncode == 0, (command, done.stdout, done.stderr, self.server_log())
        return done.stdout

    def start(self):
        options = "-c listen_addresses=127.0.0.1 -p %d -c unix_socket_directories=%s -c fsync=off" % (
            self.port, self.folder)
        self._run("pg_ctl", "start", "-D", self.data, "-l", os.path.join(self.folder, "server.log"),
                  "-w", "-t", "60", "-o", options)
        self.running = True

    def stop(self, mode="fast"):
        """Stops the cluster: `fast` ends its sessions cleanly, `immediate`
        drops everything at once, as a crash would."""
        self._run("pg_ctl", "stop", "-D", self.data, "-m", mode, "-w", "-t", "60")
        self.running = False

    def psql(self, sql, database="quillon", url=None):
        """The unaligned output of `sql`, run as the superuser (or through `url`)."""
        target = [url] if url else ["-h", "127.0.0.1", "-p", str(self.port), "-U", "postgres", "-d", database]
        done = subprocess.run([os.path.join(self.bin, "psql"), "-X", "-v", "ON_ERROR_STOP=1", "-tA",
                               "-c", sql] + target, capture_output=True, text=True, timeout=60)
        assert done.returncode == 0, (sql, done.stdout, done.stderr)
        return done.stdout.strip()

    def server_log(self):
        try:
            with open(os.path.join(self.folder, "server.log"), errors="replace") as f:
                return f.read()[-4000:]
        except OSError:
            return ""


class Balancer:
    """HAProxy in TCP mode before the servers {name: port}, sending each the
    PROXY protocol version 2 header. `port` balances round-robin over all of
    them; `only[name]` always reaches that one server, and `admin[name]` its
    remote admin (of the ports `admins` {name: port})."""

    def __init__(self, servers, admins):
        self.servers = dict(servers)
        self.admins = dict(admins)

    def __enter__(self):
        self.temp = tempfile.TemporaryDirectory(prefix="quillon-haproxy-")
        first = free_ports(1 + len(self.servers) + len(self.admins))
        self.port = first
        self.only = {name: first + 1 + i for i, name in enumerate(self.servers)}
        self.admin = {name: first + 1 + len(self.servers) + i for i, name in enumerate(self.admins)}
        lines = ["defaults", "    mode tcp", "    timeout connect 5s", "    timeout client 60s",
                 "    timeout server 60s", "",
                 "frontend balanced", "    bind 127.0.0.1:%d" % self.port, "    default_backend all", "",
                 "backend all", "    balance roundrobin"]
        lines += ["    server %s 127.0.0.1:%d send-proxy-v2" % item for item in self.servers.items()]
        for name, port in self.servers.items():
            lines += ["", "frontend to_%s" % name, "    bind 127.0.0.1:%d" % self.only[name],
                      "    default_backend only_%s" % name, "",
                      "backend only_%s" % name, "    server %s 127.0.0.1:%d send-proxy-v2" % (name, port)]
        for name, port in self.admins.items():
            lines += ["", "frontend admin_%s" % name, "    bind 127.0.0.1:%d" % self.admin[name],
                      "    default_backend admin_of_%s" % name, "",
                      "backend admin_of_%s" % name, "    server %s 127.0.0.1:%d send-proxy-v2" % (name, port)]
        config = os.path.join(self.temp.name, "haproxy.cfg")
        with open(config, "w") as f:
            f.write("\n".join(lines) + "\n")
        self.log = open(os.path.join(self.temp.name, "haproxy.log"), "w+")
        self.process = subprocess.Popen([shutil.which("haproxy"), "-f", config, "-db"],
                                        stdin=subprocess.DEVNULL, stdout=self.log, stderr=subprocess.STDOUT)
        try:
            # Its ports are watched in the kernel's table: a connection would
            # reach a server and show in its log.
            wait_for(lambda: self.process.poll() is not None or
                     listening([self.port, *self.only.values(), *self.admin.values()]),
                     timeout=30, what="haproxy to listen")
            assert self.process.poll() is None, "haproxy ended: " + self.output()
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def __exit__(self, *exc):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log.close()
        self.temp.cleanup()
        return False

    def output(self):
        self.log.seek(0)
        return self.log.read()


class Api:
    """The JSON interface of one server's remote admin, with a token, reached
    at 127.0.0.1:`port` (the balancer) from `source`."""

    def __init__(self, port, token, source="127.0.0.2"):
        self.port, self.token, self.source = port, token, source

    def call(self, method, path, body=None):
        """(status, parsed body or None) of one request."""
        data = None if body is None else json.dumps(body).encode()
        headers = {"Authorization": "Bearer " + self.token}
        if data is not None:
            headers["Content-Type"] = "application/json"
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30,
                                                source_address=(self.source, 0))
        try:
            connection.request(method, "/api/v1" + path, body=data, headers=headers)
            answer = connection.getresponse()
            text = answer.read().decode()
            return answer.status, json.loads(text) if text else None
        finally:
            connection.close()


class Node:
    """One e2e_server with its remote admin, in a program folder of its own,
    keeping its accounts in the database at `database_url` and taking
    connections from HAProxy on 127.0.0.1 only with a PROXY header. `api`
    holds a read-write token. Its own command-line account is named after
    the node, so no two nodes write the same record."""

    def __init__(self, name, binary, setup_binary, pages, database_url):
        self.name = name
        self.binary, self.setup_binary, self.pages = binary, setup_binary, pages
        self.database_url = database_url

    def __enter__(self):
        self.temp = tempfile.TemporaryDirectory(prefix="quillon-node-%s-" % self.name)
        self.folder = self.temp.name
        os.makedirs(os.path.join(self.folder, "config"))
        setup = os.path.join(self.folder, "quillon-setup")
        shutil.copy(self.setup_binary, setup)
        done = subprocess.run([setup, "token", "add", "cluster"], capture_output=True, text=True, timeout=60)
        tokens = re.findall(r"^qt_\S+$", done.stdout, re.M)
        assert done.returncode == 0 and len(tokens) == 1, (done.stdout, done.stderr)
        passive = free_ports(50)
        with open(os.path.join(self.folder, "config", "quillon.conf"), "w") as f:
            f.write("account_store = postgresql\n"
                    "postgresql_url = %s\n"
                    "postgresql_lease_seconds = 5\n"
                    "proxy_protocol = on\n"
                    "proxy_trusted = 127.0.0.1\n"
                    "passive_ports = %d-%d\n"
                    # Many sessions of the tests come from one client address.
                    "prelogin_per_ip = 0\n"
                    "passive_per_ip = 0\n" % (self.database_url, passive, passive + 49))
        self.process = subprocess.Popen(
            [self.binary, self.folder, "local-" + self.name, "local-password", "--admin", self.pages,
             ADMIN_PASSWORD], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.lines = queue.Queue()
        threading.Thread(target=self._read_output, daemon=True).start()
        try:
            self.port = self._expect("PORT ")
            self.admin_port = self._expect("ADMIN ")
            self.token = tokens[0]
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def _read_output(self):
        for line in self.process.stdout:
            self.lines.put(line.strip())
        self.lines.put(None)

    def _expect(self, prefix):
        try:
            line = self.lines.get(timeout=60)
        except queue.Empty:
            line = "nothing within 60 s"
        if line is None or not line.startswith(prefix):
            raise RuntimeError("server %s did not start: %s" % (self.name, line))
        return int(line.split()[1])

    def kill(self):
        """Ends the server at once (SIGKILL), as a crash would."""
        self.process.kill()
        self.process.wait()

    def __exit__(self, *exc):
        if self.process.poll() is None:
            self.process.stdin.close()
            try:
                self.process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.kill()
        self.temp.cleanup()
        return False

    def log_messages(self, family="ftp"):
        """The lines of the FTP log (or another `family`) in order, each
        without its time stamp."""
        logs = glob.glob(os.path.join(self.folder, "logs", family + "_*.txt"))
        logs.sort(key=lambda path: int(re.sub(r"\D", "", os.path.basename(path)) or 0))
        messages = []
        for path in logs:
            with open(path, errors="replace") as f:
                messages += [line.split(" -> ", 1)[-1] for line in f.read().splitlines()]
        return messages


def try_login(port, user, password, source="127.0.0.2"):
    """(logged-in client, None), or (None, the refusal's reply) when the
    greeting or the login is refused. The client reaches the balancer on
    127.0.0.1 from `source`; ftplib binds its passive data connections (to
    the server's port at the balancer's address, so straight to the server)
    to `source` too."""
    ftp = ftplib.FTP(timeout=30, source_address=(source, 0))
    try:
        ftp.connect("127.0.0.1", port)
        ftp.login(user, password)
        return ftp, None
    except ftplib.Error as error:
        ftp.close()
        return None, str(error)
    except BaseException:
        ftp.close()
        raise
