#!/usr/bin/env python3
"""The JSON interface of a real server, driven with curl and Python's
standard library: an account made through it logs in with ftplib at once and
is held to its allocation; its used space and the upload's bytes show in
/metrics; its session is kicked through it; a read-only token changes
nothing; a wrong token is paused and logged without itself; every route the
served description names answers.
Usage: api_test.py <e2e_server binary> <quillon-setup binary> <remoteadmin folder>"""
import ftplib
import io
import json
import os
import re
import shutil
import subprocess
import sys
import time
import urllib.error
import urllib.request

from server import Server


def setup(folder, *args):
    done = subprocess.run([os.path.join(folder, "quillon-setup")] + list(args),
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, (args, done.stdout, done.stderr)
    return done.stdout


class Api:
    def __init__(self, port, token):
        self.base = "http://127.0.0.1:%d/api/v1" % port
        self.token = token

    def call(self, method, path, body=None, token=None):
        """(status, parsed body or None) of one request, with urllib."""
        data = None if body is None else json.dumps(body).encode()
        request = urllib.request.Request(self.base + path, data=data, method=method)
        request.add_header("Authorization", "Bearer " + (token or self.token))
        if data is not None:
            request.add_header("Content-Type", "application/json")
        try:
            with urllib.request.urlopen(request, timeout=30) as answer:
                text = answer.read().decode()
                return answer.status, json.loads(text) if text else None
        except urllib.error.HTTPError as error:
            text = error.read().decode()
            return error.code, json.loads(text) if text else None

    def curl(self, method, path, body=None):
        """The same through curl: (status, parsed body)."""
        command = ["curl", "-sS", "-o", "-", "-w", "\n%{http_code}", "-X", method,
                   "-H", "Authorization: Bearer " + self.token, self.base + path]
        if body is not None:
            command += ["-H", "Content-Type: application/json", "--data-binary", json.dumps(body)]
        done = subprocess.run(command, capture_output=True, text=True, timeout=60)
        assert done.returncode == 0, done.stderr
        text, _, status = done.stdout.rpartition("\n")
        return int(status), json.loads(text) if text.strip() else None


def wait_for(condition, timeout=30):
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.05)


def main():
    server_binary, setup_binary, pages = sys.argv[1:4]
    tokens = {}

    def prepare(folder):
        shutil.copy(setup_binary, os.path.join(folder, "quillon-setup"))
        os.makedirs(os.path.join(folder, "config"), exist_ok=True)
        for name, flags in (("reader", ["--read-only"]), ("deployer", [])):
            found = re.findall(r"^qt_\S+$", setup(folder, "token", "add", name, *flags), re.M)
            assert len(found) == 1
            tokens[name] = found[0]
        os.makedirs(os.path.join(folder, "served", "carol", "pub"))

    with Server(server_binary, ["--admin", pages, "adminpw"], prepare=prepare) as server:
        line = server.process.stdout.readline().strip()
        assert line.startswith("ADMIN "), line
        admin = int(line.split()[1])
        api = Api(admin, tokens["deployer"])
        home = os.path.join(server.folder, "served", "carol")

        # No token, and a read-only token asking for a change.
        status, body = api.call("GET", "/accounts", token="qt_" + "B" * 43)
        assert status == 401 and body["error"]["code"] == "unauthorized", (status, body)
        status, body = api.call("POST", "/accounts", {"name": "mallory"}, token=tokens["reader"])
        assert status == 403 and body["error"]["code"] == "read_only", (status, body)
        assert api.call("GET", "/accounts/mallory", token=tokens["reader"])[0] == 404

        # An account with a virtual folder and an allocation of 1 MB, through curl.
        status, body = api.curl("POST", "/accounts", {
            "name": "carol", "password": "s3cret", "root_folder": home, "rights": "rwmlcd",
            "max_size_mb": 1, "vfolders": [{"name": "/pub", "path": os.path.join(home, "pub"), "rights": "rl"}]})
        assert status == 201, (status, body)
        assert "password" not in body and body["password_set"] is True, body
        assert body["vfolders"][0]["name"] == "/pub", body
        status, body = api.curl("POST", "/accounts", {"name": "CAROL", "password": "x", "root_folder": home})
        assert status == 409 and body["error"]["code"] == "name_taken", (status, body)
        status, body = api.curl("PATCH", "/accounts/carol", {"max_size_mb": 0.5})
        assert status == 422, (status, body)

        # It logs in at once, and its allocation holds.
        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", server.port, timeout=30)
        ftp.login("carol", "s3cret")
        assert "pub" in ftp.nlst()
        ftp.storbinary("STOR first.bin", io.BytesIO(os.urandom(700_000)))
        refusal = None
        try:
            ftp.storbinary("STOR second.bin", io.BytesIO(os.urandom(700_000)))
        except (ftplib.error_perm, ftplib.error_temp) as error:
            refusal = str(error)
        except OSError:
            # The server may close the data connection while the client still sends.
            try:
                ftp.voidresp()
            except (ftplib.error_perm, ftplib.error_temp) as error:
                refusal = str(error)
        assert refusal is not None and "allocation" in refusal, refusal

        # Its used space in the table and in the metrics, and the uploaded bytes.
        row = wait_for(lambda: next((r for r in api.call("GET", "/accounts?filter=car")[1]["items"]
                                     if r["used_bytes"] is not None), None))
        assert row["name"] == "carol" and row["used_bytes"] >= 700_000, row
        assert row["allocation_bytes"] == 1024 * 1024 and row["sessions"] == 1, row
        metrics = urllib.request.Request("http://127.0.0.1:%d/metrics" % admin,
                                         headers={"Authorization": "Bearer " + tokens["reader"]})
        with urllib.request.urlopen(metrics, timeout=30) as answer:
            text = answer.read().decode()
        used = re.search(r'^quillon_account_used_bytes\{account="carol"\} (\d+)', text, re.M)
        assert used and int(used.group(1)) >= 700_000, text
        received = re.search(r'^quillon_received_bytes_total (\d+)', text, re.M)
        assert received and int(received.group(1)) >= 700_000, text

        # The session, kicked through the interface.
        sessions = wait_for(lambda: [s for s in api.call("GET", "/sessions")[1]["items"] if s["user"] == "carol"])
        status, body = api.curl("POST", "/sessions/%d/kick" % sessions[0]["id"], {"reason": "maintenance"})
        assert status == 202, (status, body)
        wait_for(lambda: not [s for s in api.call("GET", "/sessions")[1]["items"] if s["user"] == "carol"])
        try:
            ftp.voidcmd("NOOP")
            raise AssertionError("a kicked session went on")
        except (ftplib.Error, OSError, EOFError):
            pass

        # Every route of the served description answers as a route.
        with urllib.request.urlopen("http://127.0.0.1:%d/api/v1/openapi.json" % admin, timeout=30) as answer:
            description = json.loads(answer.read().decode())
        examples = {"{name}": "carol", "{session}": "1", "{action}": "kick", "{list}": "blocked",
                    "{folder}": "system", "{file}": "ftp_0.txt"}
        for path, operations in description["paths"].items():
            for method in operations:
                concrete = path
                for name, value in examples.items():
                    concrete = concrete.replace(name, value)
                # Read-only, so nothing changes whatever the route does.
                status, body = api.call(method.upper(), concrete, {} if method != "get" else None,
                                        token=tokens["reader"])
                if method == "get":
                    assert status in (200, 404) and (status == 200 or body["error"]["code"] == "not_found"), \
                        (method, concrete, status, body)
                else:
                    assert status == 403, (method, concrete, status, body)

        # The account is gone once deleted, and the log names the changes, never a token.
        assert api.call("DELETE", "/accounts/carol")[0] == 204
        assert api.call("GET", "/accounts/carol")[0] == 404
        started = time.monotonic()
        assert api.call("GET", "/server", token="qt_wrong")[0] == 401
        log_folder = os.path.join(server.folder, "logs")
        log = "".join(open(os.path.join(log_folder, name), errors="replace").read()
                      for name in os.listdir(log_folder) if name.startswith("remoteadmin"))
        assert "API: account 'carol' added" in log, log
        assert "Token Refused: Length=[8]" in log, log
        for token in tokens.values():
            assert token not in log
        # The wrong token's address pauses: its next check waits.
        assert api.call("GET", "/server")[0] == 200
        assert time.monotonic() - started >= 1.0, "no pause after a wrong token"
    print("ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
