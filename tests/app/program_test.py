"""The real quillon-ftp-server and quillon-setup programs, each test in its own
temporary program folder with its own lock and service folders.

Usage: program_test.py <dist folder> <run-demo script>"""
import ftplib
import os
import pathlib
import random
import shutil
import signal
import socket
import ssl
import stat
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "update"))
from update_server import UpdateServer  # noqa: E402

DIST = None
RUN_DEMO = None
RELEASE_KEY = None
SIGN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts",
                    "sign-release.sh")
SERVER = "quillon-ftp-server"
SETUP = "quillon-setup"


def taken_port(port):
    """A socket listening on `port` (connections of an earlier server may still
    linger on it)."""
    taken = socket.socket()
    taken.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    taken.bind(("0.0.0.0", port))
    taken.listen(1)
    return taken


def free_port():
    """A free port that no parallel test can be handed before the server binds
    it: the kernel gives port 0 binds ports from its ephemeral range only, so
    this picks one below that range at random and checks it is free."""
    with open("/proc/sys/net/ipv4/ip_local_port_range") as ports:
        ephemeral_low = int(ports.read().split()[0])
    chooser = random.SystemRandom()
    for _ in range(200):
        port = chooser.randrange(10000, max(ephemeral_low, 10001))
        with socket.socket() as probe:
            try:
                probe.bind(("0.0.0.0", port))
            except OSError:
                continue
            return port
    raise RuntimeError("no free port below the ephemeral range")


def wait_for(predicate, timeout=20.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.05)
    return predicate()


def ftp_list(port):
    return subprocess.run(["curl", "-s", "--max-time", "10", "ftp://127.0.0.1:%d/" % port],
                          capture_output=True, text=True).stdout


class ProgramFolder(unittest.TestCase):
    def setUp(self):
        self.temp = tempfile.TemporaryDirectory()
        # Run as root, the server serves as "nobody" once its ports are open;
        # that user must be able to pass through to the program folder.
        os.chmod(self.temp.name, 0o755)
        self.folder = os.path.join(self.temp.name, "program")
        os.mkdir(self.folder)
        for name in (SERVER, SETUP):
            shutil.copy2(os.path.join(DIST, name), self.folder)
        shutil.copytree(os.path.join(DIST, "remoteadmin"), os.path.join(self.folder, "remoteadmin"))
        self.env = dict(os.environ,
                        QUILLON_LOCK_DIR=os.path.join(self.temp.name, "locks"),
                        QUILLON_SERVICE_DIR=os.path.join(self.temp.name, "services"))
        os.mkdir(self.env["QUILLON_LOCK_DIR"])
        self.processes = []

    def tearDown(self):
        # A service started through the service manager is not our child.
        pid_file = os.path.join(self.env["QUILLON_SERVICE_DIR"], "MARROWIND_QUILLONFTPSERVER_0.pid")
        if os.path.exists(pid_file):
            with open(pid_file) as pid:
                try:
                    os.kill(int(pid.read()), signal.SIGKILL)
                except (ValueError, ProcessLookupError):
                    pass
        for process in self.processes:
            if process.poll() is None:
                process.kill()
                process.wait()
            for stream in (process.stdout, process.stderr):
                if stream:
                    stream.close()
        config = os.path.join(self.folder, "config")
        if os.path.isdir(config):
            os.chmod(config, 0o755)
        self.temp.cleanup()

    def path(self, *parts):
        return os.path.join(self.folder, *parts)

    def setup_tool(self, *args, expect=0):
        result = subprocess.run([self.path(SETUP)] + list(args), capture_output=True, text=True,
                                env=self.env, timeout=60)
        self.assertEqual(result.returncode, expect, result.stdout + result.stderr)
        return result

    def configure(self, ftp_port=None, admin_port=None, tls=False):
        """A folder with an anonymous account. Without `tls` the remote admin
        stays on plain HTTP and FTP has no certificate, as the tests of
        other things expect; with it, init's own HTTPS default."""
        self.ftp_port = ftp_port or free_port()
        self.admin_port = admin_port or free_port()
        self.init_output = self.setup_tool("init", "--ftp-port", str(self.ftp_port), "--admin-port",
                                           str(self.admin_port), "--admin-password", "admin-pass",
                                           *([] if tls else ["--no-tls"])).stdout
        os.makedirs(self.path("pub"), exist_ok=True)
        with open(self.path("pub", "README.txt"), "w") as readme:
            readme.write("hello\n")
        self.setup_tool("account", "add", "anonymous", "--root", self.path("pub"))

    def start(self, argv=None, executable=None):
        process = subprocess.Popen(argv or [self.path(SERVER), "-service"], executable=executable,
                                   cwd=self.temp.name, env=self.env, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, text=True)
        self.processes.append(process)
        return process

    def log_lines(self):
        try:
            with open(self.path("logs", "servicelog.txt"), newline="") as log:
                return [line.split(" -> ", 1)[1].rstrip("\r\n") for line in log if " -> " in line]
        except FileNotFoundError:
            return []

    def start_running(self):
        process = self.start()
        self.assertTrue(wait_for(lambda: "#OK - INITIALISED" in self.log_lines()
                                 or process.poll() is not None), self.log_lines())
        self.assertIn("#OK - INITIALISED", self.log_lines())
        return process

    def run_to_end(self, process, timeout=60):
        process.wait(timeout=timeout)
        return self.log_lines()


class StartUpTest(ProgramFolder):
    def test_the_switch_must_end_the_command_line(self):
        # The first line comes before the logs folder exists, so it is lost.
        process = self.start([self.path(SERVER), "-SERVICE"])
        process.wait(timeout=30)
        self.assertEqual(self.log_lines(), ["#ERROR - SETTINGS LOAD FAIL", "UNLOADED"])

        # Anything else is the desktop, which needs a display: without one
        # the program says so and touches nothing.
        for name in ("DISPLAY", "WAYLAND_DISPLAY"):
            self.env.pop(name, None)
        for argv, executable in (([self.path(SERVER), "-service "], None),
                                 (["-service"], self.path(SERVER))):
            shutil.rmtree(self.path("logs"), ignore_errors=True)
            process = self.start(argv, executable)
            _, err = process.communicate(timeout=30)
            self.assertEqual(process.returncode, 2)
            self.assertRegex(err, "desktop (mode is not available|cannot be shown).*-service")
            self.assertFalse(os.path.exists(self.path("logs")))

    def test_help_and_version_answer_and_start_nothing(self):
        for name in ("DISPLAY", "WAYLAND_DISPLAY"):
            self.env.pop(name, None)  # the desktop would need one
        for program, argument, expected in (
                (SERVER, "--version", "Quillon FTP Server 1.03\n"),
                (SERVER, "--help", "usage: quillon-ftp-server "),
                (SERVER, "-h", "usage: quillon-ftp-server "),
                (SETUP, "--version", "quillon-setup (Quillon FTP Server) 1.03\n"),
                (SETUP, "--help", "usage: quillon-setup init "),
                (SETUP, "help", "usage: quillon-setup init ")):
            result = subprocess.run([self.path(program), argument], capture_output=True, text=True,
                                    env=self.env, timeout=30)
            where = "%s %s: %r %r" % (program, argument, result.stdout, result.stderr)
            self.assertEqual(result.returncode, 0, where)
            self.assertTrue(result.stdout.startswith(expected), where)
            self.assertEqual(result.stderr, "", where)
            self.assertEqual(sorted(os.listdir(self.folder)), sorted([SERVER, SETUP, "remoteadmin"]), where)
        # Anything else after the usage words is still a mistake.
        self.setup_tool("--help", "init", expect=2)

    def test_version_records(self):
        record = self.path("config", "lastversion.dta")
        cases = [("1.03\r\n", False), ("1.10\r\n", True), ("2.0\r\n", True), ("1.02\r\n", False),
                 ("0.99\r\n", False), ("", True)]
        for text, newer in cases:
            with self.subTest(record=text):
                os.makedirs(self.path("config"), exist_ok=True)
                with open(record, "w", newline="") as out:
                    out.write(text)
                if os.path.exists(self.path("logs")):
                    shutil.rmtree(self.path("logs"))
                os.mkdir(self.path("logs"))
                lines = self.run_to_end(self.start())
                with open(record, newline="") as stored:
                    content = stored.read()
                if newer:
                    self.assertEqual(lines, ["LOADED", "#ERROR - NEWER VERSION CONFIGURATION FILES",
                                             "UNLOADED"])
                    self.assertEqual(content, text)
                else:
                    # No settings yet: the start goes on to the load, which fails.
                    self.assertEqual(lines, ["LOADED", "#ERROR - SETTINGS LOAD FAIL", "UNLOADED"])
                    self.assertEqual(content, "1.03\r\n")
        self.assertFalse(os.path.exists(self.path("config", "settings.dta")))

    def test_second_instance_and_taken_ports(self):
        self.configure()
        first = self.start_running()
        second = self.start()
        second.wait(timeout=30)
        self.assertEqual(second.returncode, 1)
        self.assertEqual(self.log_lines()[-3:], ["LOADED", "#ERROR - ALREADY LOADED", "UNLOADED"])
        self.assertIn("README.txt", ftp_list(self.ftp_port))
        # quillon-setup leaves a running server's files alone: it asks the server.
        result = self.setup_tool("tls", "generate", "localhost", expect=1)
        self.assertIn("The server is running", result.stderr)

        first.send_signal(signal.SIGTERM)
        first.wait(timeout=60)
        with taken_port(self.ftp_port):
            process = self.start()
            _, err = process.communicate(timeout=60)
        in_use = "#ERROR - INITIALISATION FAILED (UNABLE TO OPEN THE FTP PORT (ALREADY IN USE))"
        self.assertEqual(self.log_lines()[-2:], [in_use, "UNLOADED"])
        # Where the administrator who started it looks, too.
        self.assertIn("Quillon FTP Server 1.03: " + in_use + "\n", err)
        self.assertEqual(process.returncode, 1)

        with taken_port(self.admin_port):
            lines = self.run_to_end(self.start())
        self.assertEqual(lines[-2:], ["#ERROR - INITIALISATION FAILED (Remote Admin failed to "
                                      "initalise, possible port conflict)", "UNLOADED"])


@unittest.skipUnless(os.geteuid() == 0, "only a server started as root changes its user")
class RunAsUserTest(ProgramFolder):
    def uids(self, pid):
        with open("/proc/%d/status" % pid) as status:
            for line in status:
                if line.startswith("Uid:"):
                    return [int(field) for field in line.split()[1:]]
        return []

    def test_root_serves_as_the_configured_user_once_its_ports_are_open(self):
        import pwd
        nobody = pwd.getpwnam("nobody")
        self.configure()
        with open(self.path("config", "quillon.conf"), "w") as conf:
            conf.write("# who serves\nrun_as_user = nobody\n")
        process = self.start_running()
        self.assertEqual(self.uids(process.pid), [nobody.pw_uid] * 4)
        self.assertIn("README.txt", ftp_list(self.ftp_port))
        with urllib.request.urlopen("http://127.0.0.1:%d/" % self.admin_port, timeout=10) as page:
            self.assertIn(b'name="pass"', page.read())
        # The server may save its data files but cannot touch what root keeps.
        config = os.stat(self.path("config"))
        self.assertEqual((config.st_uid, config.st_gid), (0, nobody.pw_gid))
        self.assertEqual(stat.S_IMODE(config.st_mode), 0o1770)
        self.assertEqual(os.stat(self.path("config", "settings.dta")).st_uid, nobody.pw_uid)
        self.assertEqual(os.stat(self.path("config", "quillon.conf")).st_uid, 0)
        self.assertEqual(os.stat(self.path("logs", "servicelog.txt")).st_uid, nobody.pw_uid)
        before = os.stat(self.path("config", "settings.dta")).st_mtime_ns
        time.sleep(0.05)
        process.send_signal(signal.SIGTERM)
        process.wait(timeout=60)
        self.assertEqual(process.returncode, 0)
        self.assertEqual(self.log_lines()[-2:], ["#OK - DEINITIALISED", "UNLOADED"])
        self.assertGreater(os.stat(self.path("config", "settings.dta")).st_mtime_ns, before)

    def test_a_user_that_cannot_serve_stops_the_start_and_root_can_be_kept(self):
        self.configure()
        os.chmod(self.temp.name, 0o700)
        lines = self.run_to_end(self.start())
        self.assertEqual(lines[-2:], [
            "#ERROR - UNABLE TO RUN AS USER quillon-ftp (the user cannot reach %s; give it passage "
            "or set run_as_user in config/quillon.conf)" % self.folder, "UNLOADED"])
        with open(self.path("config", "quillon.conf"), "w") as conf:
            conf.write("run_as_user = no-such-user-here\n")
        lines = self.run_to_end(self.start())
        self.assertEqual(lines[-2], "#ERROR - UNABLE TO RUN AS USER no-such-user-here (no such user)")
        with open(self.path("config", "quillon.conf"), "w") as conf:
            conf.write("run_as_user = root\n")
        process = self.start_running()
        self.assertEqual(self.uids(process.pid), [0] * 4)
        process.send_signal(signal.SIGTERM)
        process.wait(timeout=60)


def proc_status(pid):
    with open("/proc/%d/status" % pid) as status:
        return dict(line.rstrip("\n").split(":\t", 1) for line in status if ":\t" in line)


@unittest.skipUnless(os.geteuid() == 0, "only a server started as root must distrust its user")
class RootTrustTest(ProgramFolder):
    """Root never reads, writes or follows what the serving user can change."""

    def setUp(self):
        super().setUp()
        # The instance lock where an installation keeps it.
        del self.env["QUILLON_LOCK_DIR"]

    def serving_user(self):
        import pwd
        return pwd.getpwnam("quillon-ftp")

    def plant(self, path, content=None, link_to=None):
        """What the serving user could put in a folder it may write to."""
        user = self.serving_user()
        if os.path.lexists(path):
            os.remove(path)
        if link_to:
            os.symlink(link_to, path)
        else:
            with open(path, "w") as out:
                out.write(content)
        os.lchown(path, user.pw_uid, user.pw_gid)

    def stop(self, process):
        process.send_signal(signal.SIGTERM)
        _, err = process.communicate(timeout=60)
        self.assertEqual(process.returncode, 0, err)

    def test_a_new_installation_serves_as_its_own_user_with_no_way_back(self):
        self.configure()
        self.assertIn("Serves as: quillon-ftp\n", self.init_output)
        user = self.serving_user()
        self.assertEqual(user.pw_shell, "/usr/sbin/nologin")
        conf = self.path("config", "quillon.conf")
        self.assertEqual(os.stat(conf).st_uid, 0)
        self.assertIn("run_as_user = quillon-ftp\n", pathlib.Path(conf).read_text())
        self.setup_tool("tls", "generate", "localhost")
        process = self.start_running()
        status = proc_status(process.pid)
        self.assertEqual(status["Uid"].split(), [str(user.pw_uid)] * 4)
        self.assertEqual(status["NoNewPrivs"], "1")
        for sets in ("CapBnd", "CapAmb", "CapEff", "CapPrm"):
            self.assertEqual(int(status[sets], 16), 0, sets)
        self.assertIn("README.txt", ftp_list(self.ftp_port))
        # What root keeps stays root's: the lock, quillon.conf, and the key the user's group reads.
        lock = self.path("config", "MARROWIND_QUILLONFTPSERVER_1")
        key = os.stat(self.path("config", "tls-key.pem"))
        self.assertEqual((key.st_uid, key.st_gid, stat.S_IMODE(key.st_mode)), (0, user.pw_gid, 0o640))
        self.assertEqual(os.stat(self.path("config", "tls-certificate.pem")).st_uid, 0)
        self.assertEqual(os.stat(lock).st_uid, 0)
        self.assertEqual(os.stat(conf).st_uid, 0)
        self.assertEqual(os.stat(self.path("config", "settings.dta")).st_uid, user.pw_uid)
        self.stop(process)
        self.assertEqual(os.stat(lock).st_uid, 0)

    def test_the_generated_admin_password_stays_roots_alone(self):
        self.ftp_port, self.admin_port = free_port(), free_port()
        self.setup_tool("init", "--ftp-port", str(self.ftp_port), "--admin-port", str(self.admin_port))
        password_file = self.path("config", "admin-password.txt")
        user = self.serving_user()
        process = self.start()
        # Its own log is not readable here: the start is done once it serves as its user.
        self.assertTrue(wait_for(lambda: process.poll() is not None or (
            proc_status(process.pid)["Uid"].split()[0] == str(user.pw_uid) and self.admin_answers()),
            timeout=60))
        if process.poll() is not None:
            self.fail(process.communicate()[1])
        self.assertEqual(stat.S_IMODE(os.stat(self.path("config")).st_mode), 0o1770)
        info = os.lstat(password_file)
        self.assertEqual((info.st_uid, stat.S_IMODE(info.st_mode)), (0, 0o600))
        # The serving user cannot read it (config/ is open to its group now).
        reader = os.fork()
        if reader == 0:
            code = 1
            try:
                os.setgid(user.pw_gid)
                os.setuid(user.pw_uid)
                open(password_file).close()
            except PermissionError:
                code = 0
            finally:
                os._exit(code)
        _, status = os.waitpid(reader, 0)
        self.assertEqual(os.waitstatus_to_exitcode(status), 0)
        self.stop(process)
        info = os.lstat(password_file)
        self.assertEqual((info.st_uid, stat.S_IMODE(info.st_mode)), (0, 0o600))

    def admin_answers(self):
        try:
            with socket.create_connection(("127.0.0.1", self.admin_port), timeout=5) as plain:
                with unverified_context().wrap_socket(plain):
                    return True
        except OSError:
            return False

    def test_a_configuration_the_serving_user_could_change_is_refused(self):
        self.configure()
        conf = self.path("config", "quillon.conf")
        self.stop(self.start_running())  # config/ is now open to the serving user's group
        self.assertEqual(stat.S_IMODE(os.stat(self.path("config")).st_mode), 0o1770)
        self.plant(conf, "run_as_user = root\n")
        process = self.start()
        _, err = process.communicate(timeout=60)
        line = ("#ERROR - UNTRUSTED FILE (%s belongs to uid %d, not to root; root reads only files "
                "that root alone can change)" % (conf, self.serving_user().pw_uid))
        self.assertEqual(process.returncode, 1)
        self.assertEqual(self.log_lines()[-2:], [line, "UNLOADED"])
        self.assertIn(line, err)
        self.assertEqual(ftp_list(self.ftp_port), "")

        with open(conf, "w") as out:
            out.write("run_as_user = quillon-ftp\n")
        os.chown(conf, 0, 0)
        os.chmod(conf, 0o666)
        self.run_to_end(self.start())
        self.assertEqual(self.log_lines()[-2], "#ERROR - UNTRUSTED FILE (%s is writable by its group "
                         "or by others; root reads only files that root alone can change)" % conf)

        # A key the serving user could replace is never read by root either.
        self.setup_tool("tls", "generate", "localhost")
        self.assertEqual(os.stat(conf).st_uid, 0)
        self.assertEqual(stat.S_IMODE(os.stat(conf).st_mode), 0o600)
        key = self.path("config", "tls-key.pem")
        secret = os.path.join(self.temp.name, "root-only-key.pem")
        os.rename(key, secret)
        self.plant(key, link_to=secret)
        self.run_to_end(self.start())
        self.assertEqual(self.log_lines()[-2], "#ERROR - UNTRUSTED FILE (%s is a link that belongs "
                         "to the serving user; root reads only files that root alone can change)" % key)

        # A missing quillon.conf is made root's at the first start, before the user could.
        os.remove(key)
        os.rename(secret, key)
        os.remove(conf)
        os.remove(self.path("logs", "servicelog.txt"))
        process = self.start_running()
        self.assertEqual((os.stat(conf).st_uid, stat.S_IMODE(os.stat(conf).st_mode)), (0, 0o600))
        self.assertEqual(proc_status(process.pid)["Uid"].split()[0], str(pwd_nobody_uid()))
        self.stop(process)

    def test_links_the_serving_user_plants_are_not_followed_by_root(self):
        self.configure()
        self.stop(self.start_running())
        root_only = os.path.join(self.temp.name, "root-only")
        os.mkdir(root_only, 0o700)
        for log in ("servicelog.txt", "ftp_0.txt"):
            self.plant(self.path("logs", log), link_to=os.path.join(root_only, log))
        # An older version handed the key and the lock to the user; both come back to root.
        self.setup_tool("tls", "generate", "localhost")
        user = self.serving_user()
        lock = self.path("config", "MARROWIND_QUILLONFTPSERVER_1")
        for path in (lock, self.path("config", "tls-key.pem")):
            os.chown(path, user.pw_uid, user.pw_gid)
        process = self.start()
        # Its own log is not readable here: the start is done once it serves as its user.
        self.assertTrue(wait_for(lambda: process.poll() is not None or (
            proc_status(process.pid)["Uid"].split()[0] == str(user.pw_uid)
            and "README.txt" in ftp_list(self.ftp_port)), timeout=60))
        if process.poll() is not None:
            self.fail(process.communicate()[1])
        self.assertEqual(os.listdir(root_only), [])
        self.assertEqual(os.stat(lock).st_uid, 0)
        self.assertEqual(os.stat(self.path("config", "tls-key.pem")).st_uid, 0)
        self.stop(process)
        self.assertEqual(os.listdir(root_only), [])


def pwd_nobody_uid():
    import pwd
    return pwd.getpwnam("nobody").pw_uid


class InstanceLockTest(ProgramFolder):
    def test_one_lock_for_every_mode_and_user_of_the_installation(self):
        # The lock lives in the program folder, whatever the environment says.
        del self.env["QUILLON_LOCK_DIR"]
        self.env["XDG_RUNTIME_DIR"] = os.path.join(self.temp.name, "server-runtime")
        self.configure()
        process = self.start_running()
        lock = self.path("config", "MARROWIND_QUILLONFTPSERVER_1")
        self.assertEqual(stat.S_IMODE(os.lstat(lock).st_mode), 0o600)
        other = dict(self.env, XDG_RUNTIME_DIR=os.path.join(self.temp.name, "shell-runtime"))
        result = subprocess.run([self.path(SETUP), "tls", "generate", "localhost"], capture_output=True,
                                text=True, env=other, timeout=60)
        self.assertEqual(result.returncode, 1)
        self.assertIn("The server is running", result.stderr)
        process.send_signal(signal.SIGTERM)
        process.wait(timeout=60)

        # A link in the lock's place is not followed, and says so.
        os.remove(lock)
        os.symlink(os.path.join(self.temp.name, "elsewhere"), lock)
        lines = self.run_to_end(self.start())
        self.assertEqual(lines[-2:], ["#ERROR - UNABLE TO OPEN THE INSTANCE LOCK", "UNLOADED"])
        self.assertFalse(os.path.exists(os.path.join(self.temp.name, "elsewhere")))


class ServiceTest(ProgramFolder):
    def test_stop_signal_saves_before_the_process_ends(self):
        self.configure()
        # Saves killed midway left their temporary files; the start clears
        # those, and only those.
        stale = ["accounts.dta.tmp.Ab3xZ9", "settings.dta.tmp.000000"]
        kept = ["notes.tmp.txt", "groups.dta.tmp.ab-123", "accounts.dta.tmp.Ab3xZ9x"]
        for name in stale + kept:
            with open(self.path("config", name), "wb") as planted:
                planted.write(b"\0" * 4096)
        process = self.start_running()
        for name in stale:
            self.assertFalse(os.path.exists(self.path("config", name)), name)
        for name in kept:
            self.assertTrue(os.path.exists(self.path("config", name)), name)
        with urllib.request.urlopen("http://127.0.0.1:%d/" % self.admin_port, timeout=10) as page:
            self.assertIn(b'name="pass"', page.read())
        settings = self.path("config", "settings.dta")
        before = os.stat(settings).st_mtime_ns
        time.sleep(0.05)
        process.send_signal(signal.SIGTERM)
        process.wait(timeout=60)
        self.assertEqual(process.returncode, 0)
        self.assertEqual(self.log_lines()[-3:], ["#OK - INITIALISED", "#OK - DEINITIALISED",
                                                 "UNLOADED"])
        self.assertGreater(os.stat(settings).st_mtime_ns, before)
        # Logs and request bodies are the server's alone.
        for folder, mode in (("logs", 0o750), ("accountlogs", 0o750), ("temp", 0o700)):
            self.assertEqual(stat.S_IMODE(os.stat(self.path(folder)).st_mode), mode, folder)
        for log in os.listdir(self.path("logs")):
            self.assertEqual(stat.S_IMODE(os.stat(self.path("logs", log)).st_mode), 0o600, log)

    def test_failed_saves_are_tried_five_times(self):
        self.configure()
        process = self.start_running()
        # Writing fails even for root: settings.dta becomes a folder.
        os.remove(self.path("config", "settings.dta"))
        os.mkdir(self.path("config", "settings.dta"))
        os.chmod(self.path("config"), stat.S_IRUSR | stat.S_IXUSR)
        started = time.monotonic()
        process.send_signal(signal.SIGTERM)
        _, err = process.communicate(timeout=60)
        elapsed = time.monotonic() - started
        attempts = ["#ERROR - UNABLE TO SAVE SETTINGS (ATTEMPT %d)" % n for n in range(1, 6)]
        lines = self.log_lines()
        self.assertEqual(lines[-8:-3], attempts)
        self.assertEqual(lines[-2:], ["#OK - DEINITIALISED", "UNLOADED"])
        # Given up: the stop is a failure, and says which files it lost.
        given_up = lines[-3]
        self.assertRegex(given_up, r"^#ERROR - SETTINGS NOT SAVED \(config/settings\.dta(, [a-z/.]+)* "
                                   r"could not be written; the copy saved before is kept\)$")
        self.assertIn(given_up, err)
        # Every error of the service log reaches standard error too.
        for attempt in attempts:
            self.assertIn("Quillon FTP Server 1.03: %s\n" % attempt, err)
        self.assertEqual(process.returncode, 1)
        self.assertGreaterEqual(elapsed, 7.5)
        self.assertLess(elapsed, 20)

    def test_service_manager_installs_starts_stops_and_removes(self):
        self.configure()
        self.assertEqual(self.setup_tool("service", "status", expect=3).stdout, "not installed\n")
        self.setup_tool("service", "install")
        with open(os.path.join(self.env["QUILLON_SERVICE_DIR"],
                               "MARROWIND_QUILLONFTPSERVER_0.service")) as record:
            self.assertIn("program=%s\nargument=-service\n" % self.path(SERVER), record.read())
        self.assertEqual(self.setup_tool("service", "status", expect=3).stdout,
                         "installed, not running\n")
        self.setup_tool("service", "stop", expect=1)

        self.setup_tool("service", "start")
        self.assertTrue(wait_for(lambda: "#OK - INITIALISED" in self.log_lines()))
        self.assertEqual(self.setup_tool("service", "status").stdout, "running\n")
        self.assertIn("README.txt", ftp_list(self.ftp_port))
        pid_file = os.path.join(self.env["QUILLON_SERVICE_DIR"], "MARROWIND_QUILLONFTPSERVER_0.pid")
        with open(pid_file) as pid:
            service_pid = int(pid.read())

        self.setup_tool("service", "stop")
        self.assertTrue(wait_for(lambda: "UNLOADED" == (self.log_lines() or [""])[-1]))
        self.assertTrue(wait_for(lambda: not os.path.exists("/proc/%d" % service_pid)))
        self.assertFalse(os.path.exists(pid_file))
        self.assertEqual(self.setup_tool("service", "status", expect=3).stdout,
                         "installed, not running\n")
        self.setup_tool("service", "remove")
        self.assertEqual(self.setup_tool("service", "status", expect=3).stdout, "not installed\n")


def write_conf(path, **values):
    """Sets keys of quillon.conf in place (owner and mode stay as they are)."""
    with open(path) as conf:
        lines = conf.read().splitlines()
    for key, value in values.items():
        line = "%s = %s" % (key, value)
        found = [n for n, old in enumerate(lines) if old.split("=")[0].strip() == key]
        if found:
            lines[found[0]] = line
        else:
            lines.append(line)
    with open(path, "w") as conf:
        conf.write("\n".join(lines) + "\n")


def children_of(pid):
    children = []
    for entry in os.listdir("/proc"):
        try:
            if entry.isdigit() and proc_status(int(entry)).get("PPid") == str(pid):
                children.append(int(entry))
        except OSError:
            pass  # ended meanwhile
    return children


def pasv_port(ftp):
    return ftp.makepasv()[1]


class ServiceControlTest(ProgramFolder):
    pid_file = None

    def setUp(self):
        super().setUp()
        self.pid_file = os.path.join(self.env["QUILLON_SERVICE_DIR"], "MARROWIND_QUILLONFTPSERVER_0.pid")

    def noted_pid(self):
        with open(self.pid_file) as note:
            return int(note.read())

    def test_a_second_start_says_the_service_runs_and_leaves_it_reachable(self):
        self.configure()
        self.setup_tool("service", "install")
        self.assertEqual(self.setup_tool("service", "start").stdout, "Service started.\n")
        running = self.noted_pid()
        self.assertIn("#OK - INITIALISED", self.log_lines())

        second = self.setup_tool("service", "start", expect=1)
        self.assertEqual(second.stderr, "The service is already running (pid %d).\n" % running)
        self.assertEqual(self.noted_pid(), running)
        # No second server was started to fail on the lock.
        self.assertNotIn("#ERROR - ALREADY LOADED", self.log_lines())
        self.assertEqual(self.setup_tool("service", "status").stdout, "running\n")
        self.assertIn("README.txt", ftp_list(self.ftp_port))

        self.setup_tool("service", "stop")
        self.assertTrue(wait_for(lambda: not os.path.exists("/proc/%d" % running)))
        self.assertFalse(os.path.exists(self.pid_file))

        # A start that fails says so, with the reason the server logged.
        with taken_port(self.ftp_port):
            failed = self.setup_tool("service", "start", expect=1)
        self.assertEqual(failed.stderr, "The service failed to start: #ERROR - INITIALISATION FAILED "
                                        "(UNABLE TO OPEN THE FTP PORT (ALREADY IN USE))\n")
        self.assertFalse(os.path.exists(self.pid_file))
        self.assertEqual(self.setup_tool("service", "status", expect=3).stdout, "installed, not running\n")

    def test_status_reload_and_stop_find_a_server_started_by_hand(self):
        self.configure()
        self.assertEqual(self.setup_tool("service", "reload", expect=1).stderr, "The service is not running.\n")
        process = self.start_running()
        self.assertFalse(os.path.exists(self.pid_file))
        self.assertEqual(self.setup_tool("service", "status").stdout, "running\n")
        self.assertEqual(self.setup_tool("service", "reload").stdout,
                         "Service asked to reload.\n#OK - RELOADED (nothing changed)\n")
        # quillon-setup holding the lock itself is no server to signal.
        self.assertEqual(self.setup_tool("service", "stop").stdout, "Service asked to stop.\n")
        self.assertEqual(process.wait(timeout=60), 0)
        self.assertEqual(self.log_lines()[-2:], ["#OK - DEINITIALISED", "UNLOADED"])
        self.assertEqual(self.setup_tool("service", "status", expect=3).stdout, "not installed\n")
        self.assertEqual(self.setup_tool("service", "stop", expect=1).stderr, "The service is not installed.\n")


class ReloadTest(ProgramFolder):
    """SIGHUP applies quillon.conf (and a renewed certificate) without a restart.
    Run as root, the server serves as its own user and reloads through its root
    helper, which alone may read quillon.conf."""

    def conf(self):
        return self.path("config", "quillon.conf")

    def reload(self, process, expected_prefix):
        lines_before = len(self.log_lines())
        process.send_signal(signal.SIGHUP)
        self.assertTrue(wait_for(lambda: any(line.startswith(expected_prefix)
                                             for line in self.log_lines()[lines_before:])),
                        self.log_lines()[lines_before:])
        return [line for line in self.log_lines()[lines_before:] if line.startswith(expected_prefix)][0]

    def login(self):
        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", self.ftp_port, timeout=20)
        ftp.login()
        self.addCleanup(ftp.close)
        return ftp

    def test_passive_ports_change_for_a_logged_in_session_and_bad_files_are_refused_whole(self):
        self.configure()
        first, second = free_port(), free_port()
        write_conf(self.conf(), passive_ports="%d-%d" % (first, first))
        process = self.start_running()
        if os.geteuid() == 0:
            self.assertNotEqual(proc_status(process.pid)["Uid"].split()[0], "0")
        ftp = self.login()
        self.assertEqual(pasv_port(ftp), first)

        write_conf(self.conf(), passive_ports="%d-%d" % (second, second))
        self.assertEqual(self.reload(process, "#OK - RELOADED"),
                         "#OK - RELOADED (passive_ports: %d-%d -> %d-%d)" % (first, first, second, second))
        self.assertEqual(pasv_port(ftp), second)
        self.assertIn("README.txt", ftp.nlst())

        # One line that is no setting keeps everything as it runs.
        write_conf(self.conf(), passive_ports="%d-%d" % (first, first), login_timeout="soon")
        refused = self.reload(process, "#WARNING - RELOAD REFUSED")
        self.assertRegex(refused, r"^#WARNING - RELOAD REFUSED \(.*quillon\.conf: line \d+ is not a valid setting\)$")
        self.assertEqual(pasv_port(ftp), second)
        # quillon-setup tells the refusal too.
        result = self.setup_tool("service", "reload", expect=1)
        self.assertEqual(result.stdout, "Service asked to reload.\n")
        self.assertEqual(result.stderr, refused + "\n")

        if os.geteuid() == 0:
            # A certificate the serving user could change is not trusted.
            # (quillon-setup tls generate waits for the server to stop.)
            write_conf(self.conf(), login_timeout="60")
            certificate, key = self.path("config", "tls-certificate.pem"), self.path("config", "tls-key.pem")
            subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                            "-nodes", "-keyout", key, "-out", certificate, "-days", "2", "-subj", "/CN=localhost"],
                           check=True, capture_output=True)
            os.chmod(certificate, 0o666)
            write_conf(self.conf(), tls="optional", tls_certificate=certificate, tls_key=key)
            refused = self.reload(process, "#WARNING - RELOAD REFUSED")
            self.assertIn(certificate, refused)
            self.assertIn("220", self.login().getwelcome())
            with self.assertRaises(ftplib.error_perm):
                self.login().sendcmd("AUTH TLS")  # TLS stayed off

            # Without its root helper the server cannot read quillon.conf:
            # a reload says so, and the server serves on.
            helpers = children_of(process.pid)
            self.assertEqual(len(helpers), 1)
            self.assertEqual(proc_status(helpers[0])["Uid"].split()[0], "0")
            os.kill(helpers[0], signal.SIGKILL)
            refused = self.reload(process, "#WARNING - RELOAD REFUSED")
            self.assertEqual(refused, "#WARNING - RELOAD REFUSED (the root helper that reads the configuration "
                                      "has ended; restart the server)")
            self.assertEqual(pasv_port(ftp), second)

        process.send_signal(signal.SIGTERM)
        _, err = process.communicate(timeout=60)
        self.assertIn(refused, err)
        self.assertEqual(process.returncode, 0)

    def peer_certificate(self, port=None):
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE
        if port is not None:
            with socket.create_connection(("127.0.0.1", port), timeout=20) as plain:
                with context.wrap_socket(plain) as secured:
                    return secured.getpeercert(binary_form=True)
        ftp = ftplib.FTP_TLS(context=context)
        ftp.connect("127.0.0.1", self.ftp_port, timeout=20)
        ftp.auth()
        self.addCleanup(ftp.close)
        return ftp, ftp.sock.getpeercert(binary_form=True)

    def test_a_renewed_certificate_serves_new_connections(self):
        self.configure()
        self.setup_tool("tls", "generate", "localhost")
        self.setup_tool("set", "admin_tls", "on")
        certificate, key = self.path("config", "tls-certificate.pem"), self.path("config", "tls-key.pem")
        with open(certificate) as pem:
            old_der = ssl.PEM_cert_to_DER_cert(pem.read())
        process = self.start_running()
        old_session, der = self.peer_certificate()
        self.assertEqual(der, old_der)

        renewed = os.path.join(self.temp.name, "renewed")
        os.mkdir(renewed)
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                        "-nodes", "-keyout", os.path.join(renewed, "key.pem"), "-out",
                        os.path.join(renewed, "cert.pem"), "-days", "2", "-subj", "/CN=localhost"],
                       check=True, capture_output=True)
        # Written over in place: owner and mode stay root's.
        for name, target in (("cert.pem", certificate), ("key.pem", key)):
            with open(os.path.join(renewed, name), "rb") as source, open(target, "wb") as out:
                out.write(source.read())
        with open(certificate) as pem:
            new_der = ssl.PEM_cert_to_DER_cert(pem.read())
        self.assertNotEqual(new_der, old_der)

        self.assertEqual(self.reload(process, "#OK - RELOADED"), "#OK - RELOADED (tls_certificate reloaded)")
        _, der = self.peer_certificate()
        self.assertEqual(der, new_der)
        self.assertEqual(self.peer_certificate(self.admin_port), new_der)
        # The session that began before keeps its own.
        self.assertEqual(old_session.sock.getpeercert(binary_form=True), old_der)
        self.assertTrue(old_session.login().startswith("230"))

        # The same files again change nothing.
        self.assertEqual(self.reload(process, "#OK - RELOADED"), "#OK - RELOADED (nothing changed)")
        process.send_signal(signal.SIGTERM)
        self.assertEqual(process.wait(timeout=60), 0)


class DamagedFileTest(ProgramFolder):
    def damaged_copies(self, name):
        config = self.path("config")
        return {copy: pathlib.Path(config, copy).read_bytes() for copy in os.listdir(config)
                if copy.startswith(name + ".damaged-")}

    def test_damaged_files_are_kept_aside_and_reported(self):
        self.configure()
        # 40 accounts; one flipped bit makes record 6's version 3.
        records = [struct.pack("<4I", 1, 0, 0, 0) + bytes(24) + b"\x01" +
                   (b"user%02d" % i).ljust(100, b"\0") + bytes(1407 - 141) for i in range(40)]
        records[5] = b"\x03" + records[5][1:]
        damaged = struct.pack("<2I", 1, 40) + bytes(24) + b"".join(records)
        pathlib.Path(self.path("config", "accounts.dta")).write_bytes(damaged)

        process = self.start_running()
        process.send_signal(signal.SIGTERM)
        _, err = process.communicate(timeout=60)
        copies = self.damaged_copies("accounts.dta")
        self.assertEqual(list(copies.values()), [damaged])
        warning = ("#WARNING - DAMAGED FILE (config/accounts.dta: 5 of 40 records read; the original "
                   "is kept as config/%s)" % list(copies)[0])
        self.assertRegex(list(copies)[0], r"^accounts\.dta\.damaged-\d{8}-\d{6}$")
        self.assertEqual(self.log_lines()[1:3], [warning, "#OK - INITIALISED"])
        self.assertEqual(self.log_lines()[-2:], ["#OK - DEINITIALISED", "UNLOADED"])
        self.assertIn(warning, err)
        saved = pathlib.Path(self.path("config", "accounts.dta")).read_bytes()
        self.assertEqual(struct.unpack("<2I", saved[:8]), (1, 5))

        # The set-up tool keeps a damaged settings file aside before it saves.
        settings = pathlib.Path(self.path("config", "settings.dta"))
        flipped = settings.read_bytes().replace(b"mWelcomeMsg", b"mVelcomeMsg", 1)
        settings.write_bytes(flipped)
        err = self.setup_tool("set", "mMaxUsers", "5").stderr
        copies = self.damaged_copies("settings.dta")
        self.assertEqual(list(copies.values()), [flipped])
        self.assertEqual(err, "#WARNING - DAMAGED FILE (config/settings.dta: 1 entry with an unknown "
                         "name, mWelcomeMsg missing; the settings fall back to their defaults (FTP "
                         "port 21, remote admin off); the original is kept as config/%s)\n"
                         % list(copies)[0])
        self.assertEqual(self.setup_tool("get", "mMaxUsers").stderr, "")


class SetupToolTest(ProgramFolder):
    def test_settings_and_accounts_are_checked(self):
        self.setup_tool("get", "mPort", expect=1)
        self.setup_tool("init", "--ftp-port", "70000", expect=1)
        result = self.setup_tool("init", "--ftp-port", "2100", "--admin-port", "7100")
        # The password is left in a file only the user who ran init can read, never printed.
        password_file = self.path("config", "admin-password.txt")
        password = pathlib.Path(password_file).read_text()
        self.assertRegex(password, r"^[a-zA-Z0-9]{12}\n$")
        password = password.strip()
        info = os.lstat(password_file)
        self.assertTrue(stat.S_ISREG(info.st_mode))
        self.assertEqual(stat.S_IMODE(info.st_mode), 0o600)
        self.assertEqual(info.st_uid, os.geteuid())
        import pwd
        owner = pwd.getpwuid(os.geteuid()).pw_name
        self.assertIn("Admin password: in config/admin-password.txt (readable only by %s; read it once, "
                      "then delete the file)\n" % owner, result.stdout)
        self.assertNotIn(password, result.stdout + result.stderr)
        self.assertNotIn("http://", result.stdout)
        self.assertIn("Remote admin: https://127.0.0.1:7100/\n", result.stdout)
        self.assertEqual(self.setup_tool("get", "mRAPass").stdout, "set\n")
        self.assertEqual(self.setup_tool("get", "mUseRA").stdout, "1\n")
        self.assertIn("already exist", self.setup_tool("init", expect=1).stderr)

        self.setup_tool("set", "mMaxUploadSpeed", "200")
        self.assertEqual(self.setup_tool("get", "mMaxUploadSpeed").stdout, "200\n")
        self.assertIn("no setting named", self.setup_tool("set", "mNope", "1", expect=1).stderr)
        self.assertIn("1 or 0", self.setup_tool("set", "mUseRA", "maybe", expect=1).stderr)
        self.assertIn("not an IP address",
                      self.setup_tool("set", "mSafeIPs", "10.0.0.300", expect=1).stderr)
        # The keys of quillon.conf, which settings.dta does not hold.
        settings_before = pathlib.Path(self.path("config/settings.dta")).read_bytes()
        self.setup_tool("set", "passive_ports", "50000-50100")
        self.setup_tool("set", "passive_address", "203.0.113.7")
        self.assertEqual(self.setup_tool("get", "passive_ports").stdout, "50000-50100\n")
        self.assertIn("does not fit", self.setup_tool("set", "passive_ports", "9-1", expect=1).stderr)
        conf = pathlib.Path(self.path("config/quillon.conf")).read_text()
        self.assertIn("passive_ports = 50000-50100\n", conf)
        self.assertIn("passive_address = 203.0.113.7\n", conf)
        self.assertEqual(os.stat(self.path("config/quillon.conf")).st_mode & 0o777, 0o600)
        self.assertEqual(pathlib.Path(self.path("config/settings.dta")).read_bytes(), settings_before)
        # A new installation stores passwords as one-way hashes: the admin's
        # too, from init on, and when it is set again.
        self.assertIn("password_storage = hashed\n", conf)
        settings = pathlib.Path(self.path("config", "settings.dta")).read_bytes()
        self.assertIn(b"$y$", settings)
        self.assertNotIn(password.encode(), settings)
        self.assertNotIn(bytes(~c & 0xFF for c in password.encode()), settings)
        self.setup_tool("set", "mRAPass", "Admin-Secret-9")
        settings = pathlib.Path(self.path("config", "settings.dta")).read_bytes()
        self.assertIn(b"$y$", settings)
        self.assertNotIn(b"Admin-Secret-9", settings)
        self.assertNotIn(bytes(~c & 0xFF for c in b"Admin-Secret-9"), settings)

        os.mkdir(self.path("data"))
        secret = b"Erin-Secret-7"
        self.setup_tool("account", "add", "erin", "--password", secret.decode(), "--root",
                        self.path("data"))
        stored = pathlib.Path(self.path("config", "accounts.dta")).read_bytes()
        self.assertIn(b"$y$", stored)
        self.assertNotIn(secret, stored)
        self.assertNotIn(bytes(~c & 0xFF for c in secret), stored)
        self.setup_tool("account", "remove", "erin")
        self.assertIn("You have not given a password.",
                      self.setup_tool("account", "add", "bob", "--root", self.path("data"),
                                      expect=1).stderr)
        self.assertIn("The root folder does not exist.",
                      self.setup_tool("account", "add", "bob", "--password", "pw", "--root",
                                      self.path("missing"), expect=1).stderr)
        self.setup_tool("account", "add", "bob", "--password", "pw", "--root", self.path("data"),
                        "--rights", "rwl")
        self.assertIn("The user/login already exists.",
                      self.setup_tool("account", "add", "BOB", "--password", "pw", "--root",
                                      self.path("data"), expect=1).stderr)
        self.assertEqual(self.setup_tool("account", "list").stdout,
                         "bob\trwl\t%s\n" % self.path("data"))
        self.setup_tool("account", "remove", "bob")
        self.setup_tool("account", "remove", "bob", expect=1)
        self.assertEqual(self.setup_tool("account", "list").stdout, "")


class LiveSetupTest(ProgramFolder):
    """quillon-setup while the server runs: the change goes through the
    server's control socket and takes effect at once."""

    def login(self, user, password):
        client = ftplib.FTP()
        client.connect("127.0.0.1", self.ftp_port, timeout=20)
        try:
            client.login(user, password)
        except ftplib.error_perm:
            client.close()
            return None
        return client

    def root_names(self, user, password):
        client = self.login(user, password)
        self.assertIsNotNone(client)
        lines = []
        client.retrlines("LIST", lines.append)
        client.quit()
        return " ".join(lines)

    def stop(self, process):
        process.send_signal(signal.SIGTERM)
        _, err = process.communicate(timeout=60)
        self.assertEqual(process.returncode, 0, err)

    def test_accounts_groups_and_settings_change_in_the_running_server(self):
        self.configure()
        os.mkdir(self.path("data"))
        os.mkdir(self.path("music"))
        self.setup_tool("account", "add", "bob", "--password", "old-pw", "--root", self.path("data"))
        process = self.start_running()

        self.assertIn("Account bob changed.", self.setup_tool("account", "set", "bob", "--password", "new-pw").stdout)
        client = self.login("bob", "new-pw")
        self.assertIsNotNone(client)
        client.quit()
        self.assertIsNone(self.login("bob", "old-pw"))
        shown = self.setup_tool("account", "show", "bob").stdout
        self.assertIn("password: set\n", shown)
        self.assertIn("root: %s\n" % self.path("data"), shown)
        self.assertNotIn("new-pw", shown)

        # Groups: the editors' refusal of a group that does not exist, then a round trip.
        self.assertEqual(self.setup_tool("account", "set", "bob", "--group", "staff", expect=1).stderr,
                         "Please select a group.\n")
        self.setup_tool("group", "add", "staff", "--rights", "rlw")
        self.setup_tool("group", "set", "staff", "--max-upload-kbs", "100")
        self.assertIn("max-upload-kbs: 100\n", self.setup_tool("group", "show", "staff").stdout)
        self.assertIn("staff\trwl\t", self.setup_tool("group", "list").stdout)
        self.setup_tool("account", "set", "bob", "--group", "staff")
        self.assertIn("group: staff\n", self.setup_tool("account", "show", "bob").stdout)
        self.setup_tool("account", "set", "bob", "--group", "off")
        self.setup_tool("group", "remove", "staff")
        self.assertEqual(self.setup_tool("group", "list").stdout, "")
        self.assertIn("There is no group named staff.", self.setup_tool("group", "show", "staff", expect=1).stderr)

        # A virtual folder shows in the listing of a client that logs in after.
        self.setup_tool("account", "vfolder", "add", "bob", "/tunes", self.path("music"))
        self.assertIn("vfolder: /tunes -> %s" % self.path("music"), self.setup_tool("account", "show", "bob").stdout)
        self.assertIn("tunes", self.root_names("bob", "new-pw"))
        self.assertIn("already exists", self.setup_tool("account", "vfolder", "add", "bob", "tunes",
                                                        self.path("music"), expect=1).stderr)
        self.setup_tool("account", "vfolder", "remove", "bob", "tunes")
        self.assertNotIn("tunes", self.root_names("bob", "new-pw"))

        # Settings: the server's refusals, and a change it applies.
        result = self.setup_tool("set", "mPort", "70000", expect=1)
        self.assertIn("65535", result.stderr)
        result = self.setup_tool("set", "run_as_user", "no-such-user-xyz", expect=1)
        self.assertIn("no-such-user-xyz", result.stderr)
        self.setup_tool("set", "mMaxUsers", "7")
        self.assertEqual(self.setup_tool("get", "mMaxUsers").stdout, "7\n")
        listing = self.setup_tool("set").stdout
        self.assertIn("mMaxUsers = 7\n", listing)
        self.assertIn("mRAPass = set\n", listing)
        self.assertIn("passive_ports = ", listing)
        self.assertNotIn("admin-pass", listing)
        # The running server, asked through its socket, tells no more than the files.
        self.assertEqual(self.setup_tool("get", "mRAPass").stdout, "set\n")
        # A quillon.conf key is written by the tool (the file is root's), then read by the server at once.
        result = self.setup_tool("set", "passive_ports", "50000-50100")
        self.assertIn("#OK - RELOADED (passive_ports: (none) -> 50000-50100)", result.stdout)
        self.assertIn("passive_ports = 50000-50100\n", pathlib.Path(self.path("config/quillon.conf")).read_text())
        self.assertIn("#OK - RELOADED (passive_ports: (none) -> 50000-50100)", self.log_lines())
        client = self.login("bob", "new-pw")
        self.assertTrue(50000 <= client.makepasv()[1] <= 50100)
        client.quit()

        # What the server saved survives its stop.
        self.stop(process)
        self.assertIn("mMaxUsers = 7\n", self.setup_tool("set").stdout)
        starts = self.log_lines().count("#OK - INITIALISED")
        process = self.start()
        self.assertTrue(wait_for(lambda: self.log_lines().count("#OK - INITIALISED") > starts
                                 or process.poll() is not None), self.log_lines())
        client = self.login("bob", "new-pw")
        self.assertIsNotNone(client)
        client.quit()
        self.stop(process)

    def test_control_socket_answers_only_its_users_and_is_not_held_by_a_stall(self):
        self.configure()
        if os.geteuid() == 0:
            # A server that stays root: any other user is a stranger to it.
            with open(self.path("config", "quillon.conf"), "w") as conf:
                conf.write("run_as_user = root\n")
        process = self.start_running()
        path = self.path("config", "control.sock")
        self.assertEqual(stat.S_IMODE(os.stat(path).st_mode), 0o600)

        # A client that connects and sends nothing holds only its own connection.
        stalled = socket.socket(socket.AF_UNIX)
        stalled.connect(path)
        self.assertIn("anonymous", self.setup_tool("account", "list").stdout)
        stalled.setblocking(False)
        with self.assertRaises(BlockingIOError):
            stalled.recv(1)  # still open: the tool's call did not wait for it to time out
        stalled.close()

        def ask(uid=None):
            """The answer to "account list" of a client that sends it as `uid`."""
            reader, writer = os.pipe()
            child = os.fork()
            if child == 0:
                status = 1
                try:
                    os.close(reader)
                    if uid is not None:
                        os.setuid(uid)
                    with socket.socket(socket.AF_UNIX) as client:
                        client.settimeout(30)
                        client.connect(path)
                        try:
                            client.sendall(b"7:account4:list")
                            client.shutdown(socket.SHUT_WR)
                            while True:
                                part = client.recv(4096)
                                if not part:
                                    break
                                os.write(writer, part)
                        except (BrokenPipeError, ConnectionResetError):
                            pass  # closed on before the request was read: no answer either
                    status = 0
                except Exception as error:  # noqa: BLE001 - reported through the status
                    os.write(2, ("%r\n" % error).encode())
                finally:
                    os._exit(status)
            os.close(writer)
            answer = b""
            with os.fdopen(reader, "rb") as pipe:
                answer = pipe.read()
            _, status = os.waitpid(child, 0)
            self.assertEqual(os.waitstatus_to_exitcode(status), 0)
            return answer

        self.assertIn(b"anonymous", ask())
        if os.geteuid() == 0:
            import pwd
            os.chmod(path, 0o666)  # past the file's mode, the peer check must hold
            os.chmod(self.path("config"), 0o755)
            self.assertEqual(ask(pwd.getpwnam("nobody").pw_uid), b"")
        self.stop(process)

    def test_a_server_without_a_control_socket_is_left_alone(self):
        self.configure()
        process = self.start_running()
        os.remove(self.path("config", "control.sock"))
        result = self.setup_tool("set", "mMaxUsers", "5", expect=1)
        self.assertIn("The server is running and does not answer", result.stderr)
        # Reading falls back to the files.
        self.assertEqual(self.setup_tool("get", "mMaxUsers").stdout, "100\n")
        self.stop(process)


class TlsSetupTest(ProgramFolder):
    def test_generated_certificate_serves_ftp_and_admin_over_tls(self):
        self.assertIn("quillon-setup init first",
                      self.setup_tool("tls", "generate", "localhost", expect=1).stderr)
        self.configure()
        result = self.setup_tool("tls", "generate", "localhost")
        certificate = self.path("config", "tls-certificate.pem")
        self.assertIn(certificate, result.stdout)
        self.assertEqual(os.stat(self.path("config", "tls-key.pem")).st_mode & 0o777, 0o600)
        self.assertEqual(self.setup_tool("get", "tls").stdout, "optional\n")
        self.assertEqual(self.setup_tool("get", "tls_certificate").stdout, certificate + "\n")
        self.setup_tool("set", "admin_tls", "on")

        self.start_running()
        listing = subprocess.run(["curl", "-s", "--max-time", "10", "--ssl-reqd", "--cacert", certificate,
                                  "ftp://localhost:%d/" % self.ftp_port],
                                 capture_output=True, text=True).stdout
        self.assertIn("README.txt", listing)
        context = ssl.create_default_context(cafile=certificate)
        # The plain address is sent on to HTTPS on the same port.
        with urllib.request.urlopen("http://127.0.0.1:%d/" % self.admin_port, timeout=10,
                                    context=context) as page:
            self.assertEqual(page.url, "https://127.0.0.1:%d/" % self.admin_port)
            self.assertIn(b"Administrator password", page.read())

    def test_unreadable_key_stops_the_start_with_the_reason(self):
        self.configure()
        self.setup_tool("tls", "generate", "localhost")
        os.remove(self.path("config", "tls-key.pem"))
        lines = self.run_to_end(self.start())
        self.assertIn("#ERROR - INITIALISATION FAILED (UNABLE TO READ THE TLS KEY %s: NO SUCH FILE OR "
                      "DIRECTORY)" % self.path("config", "tls-key.pem").upper(), lines)
        with open(self.path("logs", "ftp_0.txt")) as log:
            self.assertIn("Unable to read the TLS key %s: No such file or directory"
                          % self.path("config", "tls-key.pem"), log.read())


def unverified_context():
    """A client context that takes any certificate: init's is self-signed,
    for the machine's host name."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    return context


class NewInstallationTest(ProgramFolder):
    """What a plain quillon-setup init gives a new installation."""

    def init(self, *more):
        self.ftp_port, self.admin_port = free_port(), free_port()
        return self.setup_tool("init", "--ftp-port", str(self.ftp_port), "--admin-port",
                               str(self.admin_port), *more).stdout

    def test_the_remote_admin_speaks_https_with_the_password_left_in_a_file(self):
        output = self.init()
        self.assertIn("Remote admin: https://127.0.0.1:%d/\n" % self.admin_port, output)
        password = pathlib.Path(self.path("config", "admin-password.txt")).read_text().strip()
        certificate = self.path("config", "tls-certificate.pem")
        self.assertEqual(self.setup_tool("get", "admin_tls").stdout, "on\n")
        self.assertEqual(self.setup_tool("get", "tls_certificate").stdout, certificate + "\n")
        process = self.start_running()
        self.assertEqual(self.setup_tool("get", "mRAPass").stdout, "set\n")

        # The certificate served is the one init wrote.
        with socket.create_connection(("127.0.0.1", self.admin_port), timeout=20) as plain:
            with unverified_context().wrap_socket(plain) as secured:
                served = secured.getpeercert(binary_form=True)
        self.assertEqual(served, ssl.PEM_cert_to_DER_cert(pathlib.Path(certificate).read_text()))
        # A plain request is sent on to HTTPS on the same port.
        with urllib.request.urlopen("http://127.0.0.1:%d/" % self.admin_port, timeout=20,
                                    context=unverified_context()) as page:
            self.assertEqual(page.url, "https://127.0.0.1:%d/" % self.admin_port)
            self.assertIn(b"Administrator password", page.read())
        # ...and never answered in plain text.
        with socket.create_connection(("127.0.0.1", self.admin_port), timeout=20) as plain:
            plain.sendall(b"GET / HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n")
            answer = b""
            while True:
                part = plain.recv(4096)
                if not part:
                    break
                answer += part
        self.assertNotIn(b"Administrator password", answer)
        self.assertIn(b"https://127.0.0.1:%d/" % self.admin_port, answer)
        # The password from the file opens the remote admin.
        login = urllib.request.Request("https://127.0.0.1:%d/_login" % self.admin_port,
                                       data=urllib.parse.urlencode({"pass": password}).encode())
        with urllib.request.urlopen(login, timeout=20, context=unverified_context()) as answer:
            # A login is answered with a page that refreshes to the menu.
            self.assertRegex(answer.read(), rb'content="0;URL=_menu\?id=[^"]+"')
        process.send_signal(signal.SIGTERM)
        self.assertEqual(process.wait(timeout=60), 0)


class DemoTest(ProgramFolder):
    def test_make_run_steps_serve_the_demo_folder(self):
        ftp_port, admin_port = free_port(), free_port()
        env = dict(self.env, QUILLON_FTP_PORT=str(ftp_port), QUILLON_ADMIN_PORT=str(admin_port))
        # Its own process group, as a terminal's foreground job: Ctrl-C reaches every process of it.
        process = subprocess.Popen(["bash", RUN_DEMO, self.folder], env=env, text=True,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True)
        self.processes.append(process)
        banner = []
        while not banner or not banner[-1].startswith("Press Ctrl-C"):
            banner.append(process.stdout.readline())
            self.assertTrue(banner[-1], banner)
        self.assertIn("ftp://127.0.0.1:%d/" % ftp_port, banner[0])
        self.assertIn("explicit (AUTH TLS)", banner[1])
        self.assertIn("https://127.0.0.1:%d/" % admin_port, banner[2])
        # Where the password is, never the password.
        password = pathlib.Path(self.path("config", "admin-password.txt")).read_text().strip()
        self.assertIn("password: in %s (read it once" % self.path("config", "admin-password.txt"), banner[3])
        self.assertNotIn(password, "".join(banner))
        self.assertTrue(wait_for(lambda: "#OK - INITIALISED" in self.log_lines()))
        self.assertIn("README.txt", ftp_list(ftp_port))
        # init's certificate, made for this machine's name.
        certificate = self.path("config", "tls-certificate.pem")
        host = socket.gethostname() or "localhost"
        listing = subprocess.run(["curl", "-s", "--max-time", "10", "--ssl-reqd", "--cacert", certificate,
                                  "--resolve", "%s:%d:127.0.0.1" % (host, ftp_port),
                                  "ftp://%s:%d/" % (host, ftp_port)], capture_output=True, text=True).stdout
        self.assertIn("README.txt", listing)
        context = ssl.create_default_context(cafile=certificate)
        context.check_hostname = False  # the address, not the name; the certificate must still be that one
        with urllib.request.urlopen("https://127.0.0.1:%d/" % admin_port, timeout=10,
                                    context=context) as page:
            self.assertIn(b"Administrator password", page.read())
        os.killpg(process.pid, signal.SIGINT)  # Ctrl-C
        self.assertEqual(process.wait(timeout=60), 0)
        self.assertEqual(self.log_lines()[-2:], ["#OK - DEINITIALISED", "UNLOADED"])

    def test_a_start_that_fails_says_why_on_the_terminal(self):
        with socket.socket() as taken:
            taken.bind(("127.0.0.1", 0))
            taken.listen()
            env = dict(self.env, QUILLON_FTP_PORT=str(taken.getsockname()[1]),
                       QUILLON_ADMIN_PORT=str(free_port()))
            result = subprocess.run(["bash", RUN_DEMO, self.folder], env=env, capture_output=True,
                                    text=True, timeout=120)
        self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
        self.assertIn("#ERROR - INITIALISATION FAILED (UNABLE TO OPEN THE FTP PORT (ALREADY IN USE))",
                      result.stderr)
        self.assertIn("The server stopped with exit status 1; its reason is above and in %s/logs/servicelog.txt."
                      % self.folder, result.stderr)


class UpdateTest(ProgramFolder):
    def publish(self, server, version, program, sign=True):
        server.files["/updates/qfs.txt"] = version
        server.files["/updates/quillon-ftp-server"] = program
        release = os.path.join(self.temp.name, "release")
        with open(release, "wb") as f:
            f.write(program)
        subprocess.run([SIGN, RELEASE_KEY if sign else self.stranger_key(), release], check=True)
        with open(release + ".sig", "rb") as f:
            server.files["/updates/quillon-ftp-server.sig"] = f.read()

    def stranger_key(self):
        key = os.path.join(self.temp.name, "stranger.pem")
        if not os.path.exists(key):
            subprocess.run([SIGN, "--generate", key], check=True)
        return key

    def release(self, running, version):
        """The running program's bytes as release `version`: its release mark
        names that version instead of its own."""
        mark = b"\x01quillon-release-version=%s\x01"
        self.assertIn(mark % b"1.03", running)
        return running.replace(mark % b"1.03", mark % version)

    def update(self, expect):
        result = subprocess.run([self.path(SETUP), "update"], capture_output=True, text=True,
                                env=self.env, timeout=120)
        self.assertEqual(result.returncode, expect, result.stdout + result.stderr)
        return result.stdout.splitlines(), result.stderr

    def test_quillon_setup_update_installs_only_signed_files(self):
        if not os.path.exists(RELEASE_KEY):
            self.skipTest("this build was configured with a release key of its own")
        self.configure()
        server = UpdateServer()
        self.addCleanup(server.close)
        self.env["QUILLON_UPDATE_URL"] = server.url
        with open(self.path(SERVER), "rb") as f:
            running = f.read()

        for offered in (b"1.03", b"1.03\r\n", b"1.02"):
            self.publish(server, offered, b"unused")
            lines, _ = self.update(0)
            self.assertEqual(lines, ["Looking for updates...", "Completed, no update required."])
        self.assertNotIn("/updates/quillon-ftp-server", server.requests)

        new_program = self.release(running, b"1.04") + b"\n# release 1.04\n"
        # Unsigned, or signed but this very release offered as a newer one.
        for program, sign, failure in ((new_program, False, "signature"),
                                       (running, True, "not newer than this program's 1.03")):
            self.publish(server, b"1.04", program, sign=sign)
            lines, err = self.update(1)
            self.assertEqual(lines[-1], "Error occured while updating.")
            self.assertIn(failure, err)
            with open(self.path(SERVER), "rb") as f:
                self.assertEqual(f.read(), running)
            self.assertEqual(sorted(os.listdir(self.folder)),
                             sorted(["quillon-ftp-server", "quillon-setup", "remoteadmin", "pub",
                                     "config", "logs", "accountlogs", "temp"]))

        # While the server runs from the file, the update waits for it to stop.
        process = self.start_running()
        self.publish(server, b"1.04", new_program)
        _, err = self.update(1)
        self.assertIn("The server is running", err)
        process.send_signal(signal.SIGTERM)
        process.wait(timeout=60)

        lines, _ = self.update(0)
        self.assertEqual(lines[0], "Looking for updates...")
        self.assertTrue(lines[1].startswith("Downloading ("), lines)
        self.assertEqual(lines[-1], "Completed.")
        with open(self.path(SERVER), "rb") as f:
            self.assertEqual(f.read(), new_program)
        with open(self.path(SERVER + ".old"), "rb") as f:
            self.assertEqual(f.read(), running)
        self.assertEqual(os.stat(self.path(SERVER)).st_mode & 0o777, 0o755)
        self.assertIn("/updates/quillon-ftp-server.sig", server.requests)


if __name__ == "__main__":
    DIST, RUN_DEMO = sys.argv[1], sys.argv[2]
    RELEASE_KEY = sys.argv[3] if len(sys.argv) > 3 else ""
    unittest.main(argv=sys.argv[:1], verbosity=2)
