"""The desktop program under a virtual X server (Xvfb), driven with xdotool:
the main window serving FTP and closing through the quit question, the first
start's welcome, the start-up questions and messages, a desktop start that
ends a running service and takes over, the accounts table with its filter
and bulk changes, and Block IP with the used space of an allocation.
Screenshots go to the build folder.

Usage: desktop_test.py <dist folder> <build folder>
Exits 77 (skipped) when no virtual X server or xdotool is available."""
import ftplib
import io
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "app"))
import program_test  # noqa: E402
from program_test import ProgramFolder, wait_for  # noqa: E402
from update_server import UpdateServer  # noqa: E402
import xwd_png  # noqa: E402

BUILD = None
DISPLAY = None
ROW_Y = 80  # the first row of the accounts table, under the filter and the headings
WARNING_HEIGHT = 20  # the activity window's allocation warning above the sessions
FRAME_BUFFER = None


def start_display():
    """Starts Xvfb on a free display; returns (process, display, frame buffer file)."""
    folder = tempfile.mkdtemp(prefix="quillon-xvfb-")
    read_end, write_end = os.pipe()
    process = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0",
                                "1024x768x24", "-fbdir", folder, "-nolisten", "tcp",
                                "-noreset"],
                               pass_fds=(write_end,), stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    os.close(write_end)
    number = b""
    with os.fdopen(read_end, "rb") as pipe:
        number = pipe.readline().strip()
    if not number:
        process.kill()
        return None, None, None
    return process, ":" + number.decode(), os.path.join(folder, "Xvfb_screen0")


def xdotool(*args):
    result = subprocess.run(["xdotool"] + list(args), capture_output=True, text=True,
                            env=dict(os.environ, DISPLAY=DISPLAY), timeout=30)
    return result.stdout.split()


def find_window(title, timeout=30.0):
    """The id of the visible window whose title is exactly `title`."""
    found = []
    wait_for(lambda: found.extend(xdotool("search", "--onlyvisible", "--name",
                                          "^%s$" % title)) or found, timeout)
    return found[0] if found else None


def press(window, key):
    xdotool("windowfocus", "--sync", window)
    xdotool("key", key)  # through XTEST, to the focused window


def geometry(window):
    """The window's X, Y, WIDTH and HEIGHT."""
    fields = dict(line.split("=", 1) for line in
                  subprocess.run(["xdotool", "getwindowgeometry", "--shell", window],
                                 capture_output=True, text=True,
                                 env=dict(os.environ, DISPLAY=DISPLAY)).stdout.split())
    return tuple(int(fields[k]) for k in ("X", "Y", "WIDTH", "HEIGHT"))


def screenshot(window, name):
    xdotool("windowraise", window)  # above a window that closing a message box brought up
    box = geometry(window)
    time.sleep(0.3)  # the frame buffer file follows the screen closely, not at once
    path = os.path.join(BUILD, name)
    xwd_png.save_png(FRAME_BUFFER, path, box)
    with open(path, "rb") as f:
        return f.read()


def click(window, x, y):
    """A left click at (x, y) of the window's client area."""
    xdotool("mousemove", "--window", window, str(x), str(y), "click", "1")


def ftp_login(port, user, password):
    """The code of the reply to a login: "230", or the refusal's."""
    client = ftplib.FTP()
    try:
        client.connect("127.0.0.1", port, timeout=10)
        return client.login(user, password)[:3]
    except ftplib.error_perm as refusal:
        return str(refusal)[:3]
    finally:
        client.close()


def contents(path):
    with open(path, "rb") as f:
        return f.read()


def greeting(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=5) as ftp:
            return ftp.recv(200).decode(errors="replace")
    except OSError:
        return ""


class DesktopTest(ProgramFolder):
    def setUp(self):
        super().setUp()
        self.env["DISPLAY"] = DISPLAY

    def window(self, title, process, timeout=30.0):
        """The window titled `title`; fails with what the program said when
        it does not come."""
        window = find_window(title, timeout)
        if window is None:
            ended = process.poll()
            said = process.stderr.read() if ended is not None else "(still running)"
            self.fail("no window %r; exit code %s: %s" % (title, ended, said))
        return window

    def assert_ended_with(self, client, reason):
        """The client's session ends, and its last reply carries `reason`."""
        with self.assertRaises((ftplib.Error, OSError, EOFError)) as ended:
            for _ in range(50):
                client.voidcmd("NOOP")
                time.sleep(0.1)
        self.assertIn(reason, str(ended.exception))

    def answer_reason(self, process, key, title, reason):
        """Presses the activity window's `key` and types `reason` into the
        prompt titled `title`."""
        press(self.window("Current Activity", process), key)
        prompt = self.window(title, process)
        press(prompt, "ctrl+a")
        xdotool("type", "--delay", "20", reason)
        press(prompt, "Return")

    def start_desktop(self, user=None):
        argv = [self.path(program_test.SERVER)]
        if user:
            argv = ["runuser", "-u", user, "--", "env", "DISPLAY=" + DISPLAY] + argv
        return self.start(argv)

    def quit(self, process):
        press(self.window("Quillon FTP Server", process), "Escape")
        question = self.window("Quit", process)
        press(question, "Return")  # Yes is the default
        self.assertEqual(process.wait(timeout=60), 0, process.stderr.read())

    def test_main_window_serves_and_saves_when_it_quits(self):
        self.configure()
        settings = self.path("config", "settings.dta")
        before = os.stat(settings).st_mtime_ns
        process = self.start_desktop()
        window = self.window("Quillon FTP Server", process)
        self.assertTrue(greeting(self.ftp_port).startswith("220 "))
        self.assertIn("README.txt", program_test.ftp_list(self.ftp_port))
        time.sleep(1.2)  # one status refresh after the listing
        idle = screenshot(window, "desktop-main-idle.png")
        # The panel follows the server every second: a logged-in user shows.
        with socket.create_connection(("127.0.0.1", self.ftp_port), timeout=10) as ftp:
            ftp.recv(200)
            ftp.sendall(b"USER anonymous\r\nPASS guest\r\n")
            self.assertTrue(wait_for(lambda: b"230" in ftp.recv(1000)))
            self.assertTrue(wait_for(lambda: screenshot(window, "desktop-main.png") != idle,
                                     timeout=10))

        # The help dialog's web site button writes the shortcut it opens.
        press(window, "alt+h")
        help_dialog = self.window("Help - Version 1.03", process)
        screenshot(help_dialog, "desktop-help.png")
        press(help_dialog, "alt+v")
        self.assertTrue(wait_for(lambda: os.path.exists(self.path("qfssite.url"))))
        with open(self.path("qfssite.url"), newline="") as shortcut:
            self.assertRegex(shortcut.read(), r"^\[InternetShortcut\]\r\nURL=https://[^\r\n]+/\r\n$")
        press(help_dialog, "Escape")
        self.assertTrue(wait_for(lambda: not xdotool("search", "--onlyvisible", "--name",
                                                     "^Help - Version 1.03$")))

        # A second desktop start finds the first running and leaves it alone.
        second = self.start_desktop()
        box = self.window("Quillon FTP Server 1.03", second)
        screenshot(box, "desktop-already-running.png")
        press(box, "Return")
        self.assertEqual(second.wait(timeout=30), 0)
        self.assertTrue(greeting(self.ftp_port).startswith("220 "))

        self.quit(process)
        self.assertGreater(os.stat(settings).st_mtime_ns, before)
        self.assertEqual(greeting(self.ftp_port), "")

    def test_first_start_welcomes_and_a_newer_version_asks_first(self):
        process = self.start_desktop()
        welcome = self.window("Welcome", process)
        screenshot(welcome, "desktop-welcome.png")
        press(welcome, "Return")
        # Activation on load takes port 21; where it is taken, its box comes first.
        error = find_window("Initialisation Error", timeout=2)
        if error:
            press(error, "Return")
        self.quit(process)
        for name in ("loaded.dta", "settings.dta", "accounts.dta", "groups.dta"):
            self.assertTrue(os.path.exists(self.path("config", name)), name)

        with open(self.path("config", "lastversion.dta"), "w") as record:
            record.write("2.0\r\n")
        before = os.stat(self.path("config", "settings.dta")).st_mtime_ns
        process = self.start_desktop()
        warning = self.window("Warning", process)
        screenshot(warning, "desktop-version-question.png")
        press(warning, "Escape")  # not Yes
        self.assertEqual(process.wait(timeout=30), 0)
        with open(self.path("config", "lastversion.dta")) as record:
            self.assertEqual(record.read(), "2.0\n")
        self.assertEqual(os.stat(self.path("config", "settings.dta")).st_mtime_ns, before)

    def test_ending_the_running_service_hands_over_to_the_desktop(self):
        self.configure()
        self.setup_tool("service", "install")
        self.setup_tool("service", "start")
        self.assertTrue(wait_for(lambda: "#OK - INITIALISED" in self.log_lines()))
        process = self.start_desktop()
        dialog = self.window("Service Currently Running", process)
        screenshot(dialog, "desktop-service-running.png")
        press(dialog, "alt+e")
        # The service saves and ends; the desktop then takes the instance lock.
        self.window("Quillon FTP Server", process, timeout=40)
        self.assertIn("#OK - DEINITIALISED", self.log_lines())
        self.assertTrue(wait_for(lambda: greeting(self.ftp_port).startswith("220 ")))
        self.assertEqual(self.setup_tool("service", "status", expect=3).stdout,
                         "installed, not running\n")
        self.quit(process)

    def test_the_update_dialog_installs_a_signed_program(self):
        key = os.path.join(BUILD, "release-key.pem")
        if not os.path.exists(key):
            self.skipTest("this build was configured with a release key of its own")
        self.configure()
        new_program = os.path.join(self.temp.name, "release")
        with open(new_program, "wb") as f:
            # A release names its version inside its signed bytes.
            f.write(os.urandom(2 * 1024 * 1024) + b"\x01quillon-release-version=1.04\x01")
        subprocess.run([program_test.SIGN, key, new_program], check=True)
        server = UpdateServer(piece=64 * 1024, pause=0.1)  # about 3 s
        self.addCleanup(server.close)
        with open(new_program, "rb") as f:
            server.files["/updates/quillon-ftp-server"] = f.read()
        with open(new_program + ".sig", "rb") as f:
            server.files["/updates/quillon-ftp-server.sig"] = f.read()
        server.files["/updates/qfs.txt"] = b"1.04"
        self.env["QUILLON_UPDATE_URL"] = server.url

        process = self.start_desktop()
        press(self.window("Quillon FTP Server", process), "alt+h")
        press(self.window("Help - Version 1.03", process), "alt+u")
        dialog = self.window("Updating", process)
        self.assertTrue(wait_for(lambda: "/updates/quillon-ftp-server" in server.requests))
        time.sleep(1.2)
        downloading = screenshot(dialog, "desktop-update-downloading.png")
        self.assertTrue(wait_for(lambda: os.path.exists(self.path("quillon-ftp-server.old"))))
        # A later tick shows the end.
        self.assertTrue(wait_for(
            lambda: screenshot(dialog, "desktop-update-completed.png") != downloading, timeout=10))
        press(dialog, "Return")  # "Close"
        press(self.window("Update Complete", process), "Return")
        with open(self.path("quillon-ftp-server"), "rb") as installed, \
                open(new_program, "rb") as release:
            self.assertEqual(installed.read(), release.read())
        press(self.window("Help - Version 1.03", process), "Escape")
        self.quit(process)

    def test_settings_sheet_and_an_account_made_in_the_editor(self):
        self.configure()
        process = self.start_desktop()
        press(self.window("Quillon FTP Server", process), "alt+s")
        sheet = self.window("Settings", process)
        shots = [screenshot(sheet, "desktop-settings-general.png")]
        for tab in ("limits", "ip-restrictions", "remote-admin"):
            press(sheet, "ctrl+Page_Down")
            shots.append(screenshot(sheet, "desktop-settings-%s.png" % tab))
        for _ in range(4):
            press(sheet, "ctrl+Page_Up")
        shots.append(screenshot(sheet, "desktop-settings-accounts.png"))
        self.assertEqual(len(set(shots)), 5, "the tabs did not change")

        press(sheet, "alt+a")
        accounts = self.window(r"Accounts \(1\)", process)
        press(accounts, "alt+a")
        editor = self.window("Create/Edit Account", process)
        xdotool("type", "--delay", "20", "alice")
        press(editor, "Tab")
        xdotool("type", "--delay", "20", "secret99")
        screenshot(editor, "desktop-account-editor.png")
        # "Block All" on the blocked list: the last button of the IP tab.
        for _ in range(3):
            press(editor, "ctrl+Page_Down")
        for _ in range(10):
            press(editor, "Tab")
        press(editor, "space")
        # It asks first; Yes puts the range on the list.
        press(self.window("^Block All$", process), "Return")
        screenshot(editor, "desktop-account-editor-ips.png")
        press(editor, "alt+o")
        accounts = self.window(r"Accounts \(2\)", process)
        # Stored and applied at once: alice logs in while the sheet is open.
        with socket.create_connection(("127.0.0.1", self.ftp_port), timeout=10) as ftp:
            ftp.recv(200)
            ftp.sendall(b"USER alice\r\nPASS secret99\r\n")
            self.assertTrue(wait_for(lambda: b"230" in ftp.recv(1000)))
        press(accounts, "Escape")
        press(self.window("Settings", process), "alt+o")
        self.assertTrue(wait_for(lambda: not xdotool("search", "--onlyvisible", "--name", "^Settings$")))
        self.assertTrue(wait_for(lambda: b"alice" in contents(self.path("config", "accounts.dta"))))
        self.assertIn(b"\x00\x00\x00\x00\xff\xff\xff\xff", contents(self.path("config", "accounts.dta")),
                      "Block All put the whole address range on alice's blocked list")
        self.quit(process)

    def test_activity_window_kicks_a_logged_in_client(self):
        self.configure()
        process = self.start_desktop()
        main = self.window("Quillon FTP Server", process)
        client = ftplib.FTP()
        client.connect("127.0.0.1", self.ftp_port, timeout=10)
        client.login("anonymous", "guest@example.org")
        self.addCleanup(client.close)
        # A second client downloads, reading steadily: its row shows the rate.
        with open(self.path("pub", "big.bin"), "wb") as big:
            big.write(b"b" * (64 << 20))
        downloader = ftplib.FTP()
        downloader.connect("127.0.0.1", self.ftp_port, timeout=10)
        downloader.login("anonymous", "guest@example.org")
        data = downloader.transfercmd("RETR big.bin")
        reading = threading.Event()
        reading.set()

        def read_steadily():
            while reading.is_set():
                try:
                    if not data.recv(16384):
                        return
                except OSError:
                    return
                time.sleep(0.05)

        reader = threading.Thread(target=read_steadily, daemon=True)
        reader.start()

        def stop_reading():
            reading.clear()
            reader.join(5)
            data.close()
            downloader.close()

        self.addCleanup(stop_reading)
        press(main, "alt+v")
        activity = self.window("Current Activity", process)
        time.sleep(1.2)
        xdotool("mousemove", "--window", activity, "50", "42", "click", "1")  # the first row
        time.sleep(2.5)  # a refresh keeps the selection; the download has a rate by now
        screenshot(activity, "desktop-activity.png")
        self.answer_reason(process, "alt+k", "Kick User", "Closing for the night")
        self.assert_ended_with(client, "Closing for the night")
        press(activity, "Escape")
        self.assertTrue(wait_for(lambda: b"Closing for the night" in
                                 contents(self.path("config", "settings.dta"))))
        self.quit(process)

    def open_accounts(self, process, count):
        """Settings, its last tab, then the Accounts button: the table, titled
        with `count`."""
        press(self.window("Quillon FTP Server", process), "alt+s")
        sheet = self.window("Settings", process)
        press(sheet, "ctrl+Page_Up")
        press(sheet, "alt+a")
        return self.window(r"Accounts \(%s\)" % count, process)

    def close_settings(self, process, accounts):
        press(accounts, "Escape")
        press(self.window("Settings", process), "alt+o")
        self.assertTrue(wait_for(lambda: not xdotool("search", "--onlyvisible", "--name", "^Settings$")))

    def filter_to(self, process, accounts, text, title):
        """Types `text` into the filter box (the first control, under the
        pointer at the top right) and waits for the narrowed title."""
        width = geometry(accounts)[2]
        click(accounts, width - 40, 22)
        xdotool("type", "--delay", "20", text)
        return self.window(title, process)

    def test_accounts_table_filters_and_disables_the_picked_after_asking(self):
        self.configure()
        os.makedirs(self.path("alice"))
        self.setup_tool("account", "add", "alice", "--password", "secret99", "--root", self.path("alice"),
                        "--max-size", "1")
        self.setup_tool("account", "add", "bob", "--password", "secret99", "--root", self.path("alice"))
        process = self.start_desktop()
        accounts = self.open_accounts(process, 3)
        whole = screenshot(accounts, "desktop-accounts-table.png")
        # The filter narrows the table: the title counts the rows shown.
        accounts = self.filter_to(process, accounts, "ALI", r"Accounts \(1 of 3\)")
        self.assertNotEqual(screenshot(accounts, "desktop-accounts-filtered.png"), whole)
        # Nothing picked: the bulk action says so.
        press(accounts, "alt+i")
        refusal = self.window("Disable Accounts", process)
        screenshot(refusal, "desktop-accounts-none-picked.png")
        press(refusal, "Return")
        click(accounts, 40, ROW_Y)  # the one row: alice
        press(accounts, "alt+i")
        question = self.window("Disable Accounts", process)
        screenshot(question, "desktop-accounts-disable-question.png")
        press(question, "Escape")  # No: alice still logs in
        self.assertTrue(wait_for(lambda: not xdotool("search", "--onlyvisible", "--name", "^Disable Accounts$")))
        self.assertEqual(ftp_login(self.ftp_port, "alice", "secret99")[:3], "230")
        press(accounts, "alt+i")
        press(self.window("Disable Accounts", process), "Return")  # Yes is the default
        # Applied at once: alice is refused, bob (filtered out) is not.
        self.assertTrue(wait_for(lambda: ftp_login(self.ftp_port, "alice", "secret99")[:3] == "530"))
        self.assertEqual(ftp_login(self.ftp_port, "bob", "secret99")[:3], "230")
        screenshot(accounts, "desktop-accounts-disabled.png")
        self.close_settings(process, accounts)
        self.quit(process)
        self.assertIn("enabled: off", self.setup_tool("account", "show", "alice").stdout)
        self.assertIn("enabled: on", self.setup_tool("account", "show", "bob").stdout)

    def test_block_ip_kicks_and_lists_the_address_and_the_limits_tab_shows_the_used_space(self):
        self.configure()
        os.makedirs(self.path("alice"))
        self.setup_tool("account", "add", "alice", "--password", "secret99", "--root", self.path("alice"),
                        "--max-size", "1", "--rights", "rwl")
        blocked_entry = b"\x7f\x00\x00\x01\x7f\x00\x00\x01"  # 127.0.0.1 to 127.0.0.1
        self.assertNotIn(blocked_entry, contents(self.path("config", "settings.dta")))
        process = self.start_desktop()
        self.window("Quillon FTP Server", process)
        client = ftplib.FTP()
        client.connect("127.0.0.1", self.ftp_port, timeout=10)
        client.login("alice", "secret99")
        self.addCleanup(client.close)

        def limits_tab(name):
            accounts = self.open_accounts(process, 2)
            accounts = self.filter_to(process, accounts, "alice", r"Accounts \(1 of 2\)")
            click(accounts, 40, ROW_Y)
            press(accounts, "alt+e")
            editor = self.window("Create/Edit Account", process)
            for _ in range(2):
                press(editor, "ctrl+Page_Down")
            shot = screenshot(editor, name)
            press(editor, "Escape")
            self.close_settings(process, self.window(r"Accounts \(1 of 2\)", process))
            return shot

        # Measured at login: nothing used; after an upload, 973 KB of 1 MB.
        empty = limits_tab("desktop-account-limits-empty.png")
        client.storbinary("STOR big.bin", io.BytesIO(b"u" * (973 * 1024)))
        self.assertNotEqual(limits_tab("desktop-account-limits.png"), empty)

        press(self.window("Quillon FTP Server", process), "alt+v")
        activity = self.window("Current Activity", process)
        time.sleep(1.2)
        screenshot(activity, "desktop-activity-allocation-warning.png")
        click(activity, 50, 42 + WARNING_HEIGHT)  # the first row, below the warning
        time.sleep(1.2)
        self.answer_reason(process, "alt+b", "Block IP", "Banned for the night")
        self.assert_ended_with(client, "Banned for the night")
        # The address is on the blocked list, in use at once: a new connection
        # is turned away.
        self.assertFalse(greeting(self.ftp_port).startswith("220 "))
        press(activity, "Escape")  # saved when the window closes
        self.assertTrue(wait_for(lambda: blocked_entry in contents(self.path("config", "settings.dta"))))
        self.quit(process)

    @unittest.skipUnless(os.geteuid() == 0, "needs root to start the desktop as another user")
    def test_a_folder_the_user_cannot_change_is_named(self):
        self.configure()
        os.chmod(self.folder, 0o755)
        stored = {name: os.stat(self.path("config", name)).st_mtime_ns
                  for name in os.listdir(self.path("config"))}
        process = self.start_desktop(user="nobody")
        box = self.window("Fatal Error", process)
        screenshot(box, "desktop-unwritable-folder.png")
        press(box, "Return")
        self.assertEqual(process.wait(timeout=30), 1)
        self.assertEqual({name: os.stat(self.path("config", name)).st_mtime_ns
                          for name in os.listdir(self.path("config"))}, stored)


if __name__ == "__main__":
    program_test.DIST, BUILD = sys.argv[1], sys.argv[2]
    if not shutil.which("Xvfb") or not shutil.which("xdotool"):
        print("Xvfb or xdotool is missing: the desktop test is skipped")
        sys.exit(77)
    server, DISPLAY, FRAME_BUFFER = start_display()
    if server is None:
        print("no virtual X server could be started: the desktop test is skipped")
        sys.exit(77)
    try:
        result = unittest.main(argv=sys.argv[:1], verbosity=2, exit=False).result
    finally:
        server.terminate()
        server.wait()
        shutil.rmtree(os.path.dirname(FRAME_BUFFER), ignore_errors=True)
    sys.exit(0 if result.wasSuccessful() else 1)
