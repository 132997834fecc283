#!/usr/bin/env python3
"""quillon-setup's store commands against a real PostgreSQL: the accounts
and groups of config/*.dta (with their IPv6 lists) go into the database by
`store migrate` and come out of it by `store export` exactly as the files
give them; the set-up tool then edits them in the database; `store import`
replaces them whole, refuses a damaged file without touching anything, and
writes the files back byte for byte.
Usage: store_test.py <quillon-setup binary>
Exits 77 (skipped) without PostgreSQL, unless CI is set."""
import json
import os
import shutil
import subprocess
import sys
import tempfile

import cluster


def setup(folder, *args, code=0):
    done = subprocess.run([os.path.join(folder, "quillon-setup")] + list(args), capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == code, (args, done.returncode, done.stdout, done.stderr)
    return done.stdout + done.stderr


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write_conf(folder, text):
    with open(os.path.join(folder, "config", "quillon.conf"), "w") as f:
        f.write(text)


def names(document, kind):
    return sorted(item["name"] for item in document[kind])


def main():
    if cluster.postgres_bin() is None:
        print("missing: postgresql")
        return 1 if os.environ.get("CI") else 77
    with cluster.Postgres() as db, tempfile.TemporaryDirectory() as folder:
        shutil.copy(sys.argv[1], os.path.join(folder, "quillon-setup"))
        setup(folder, "init", "--no-tls", "--ftp-port", "2121", "--admin-port", "7089", "--admin-password", "pw")
        root = os.path.join(folder, "root")
        os.makedirs(root)
        setup(folder, "group", "add", "staff", "--rights", "rlw", "--max-upload-kbs", "300")
        setup(folder, "account", "add", "anna", "--password", "s3cret", "--root", root, "--group", "staff",
              "--enable-credits", "on", "--credits", "42", "--max-users", "3")
        setup(folder, "account", "add", "Bob", "--password", "pw2", "--root", root, "--account-log", "on")
        setup(folder, "account", "vfolder", "add", "anna", "pub", root, "--rights", "rl")
        with open(os.path.join(folder, "config", "accounts-ipv6.txt"), "w") as f:
            f.write("safe\t2001:db8::/48\tanna\nblocked\t2001:db8:1::7\tBob\n")
        dta = {name: read(os.path.join(folder, "config", name)) for name in ("accounts.dta", "groups.dta")}

        files_json = os.path.join(folder, "files.json")
        assert "Exported 2 accounts and 1 groups" in setup(folder, "store", "export", files_json)
        assert oct(os.stat(files_json).st_mode & 0o777) == "0o600"
        exported = json.load(open(files_json))
        assert names(exported, "accounts") == ["Bob", "anna"] and names(exported, "groups") == ["staff"], exported
        anna = next(item for item in exported["accounts"] if item["name"] == "anna")
        assert anna["credits"] == 42 and anna["max_sessions"] == 3 and "2001:db8::/48" in anna["ipv6"], anna
        assert "password" not in anna and len(anna["stored"]) >= 2 * 1407, anna

        # A database configured but not migrated yet holds nothing.
        write_conf(folder, "account_store = postgresql\npostgresql_url = %s\n" % db.url)
        assert "Exported 0 accounts and 0 groups" in setup(folder, "store", "export", files_json + ".empty")
        assert "read back identical" in setup(folder, "store", "migrate")
        db_json = os.path.join(folder, "db.json")
        setup(folder, "store", "export", db_json)
        assert read(db_json) == read(files_json), "the database gives the records back differently"

        # The set-up tool edits the records in the database now.
        assert "anna" in setup(folder, "account", "list")
        setup(folder, "account", "set", "anna", "--credits", "7")
        key = "616e6e61"  # "anna", A-Z folded, in hex
        assert db.psql("SELECT credits FROM quillon_records WHERE kind = 'a' AND key = '%s'" % key, url=db.url) == "7"

        # An import replaces everything; a damaged file changes nothing.
        without_bob = dict(exported, accounts=[item for item in exported["accounts"] if item["name"] != "Bob"])
        with open(os.path.join(folder, "one.json"), "w") as f:
            json.dump(without_bob, f)
        assert "Imported 1 accounts and 1 groups" in setup(folder, "store", "import", os.path.join(folder, "one.json"))
        broken = dict(exported)
        broken["accounts"] = [dict(exported["accounts"][0], stored="00ff")]
        with open(os.path.join(folder, "broken.json"), "w") as f:
            json.dump(broken, f)
        assert "not a whole record" in setup(folder, "store", "import", os.path.join(folder, "broken.json"), code=1)
        setup(folder, "store", "export", db_json)
        after = json.load(open(db_json))
        assert names(after, "accounts") == ["anna"], after
        assert next(item for item in after["accounts"])["credits"] == 42  # the imported balance, not 7

        # Back to the files: the first export gives the same bytes again.
        write_conf(folder, "")
        for name in dta:
            os.remove(os.path.join(folder, "config", name))
        os.remove(os.path.join(folder, "config", "accounts-ipv6.txt"))
        assert "into config/" in setup(folder, "store", "import", files_json)
        for name, before in dta.items():
            assert read(os.path.join(folder, "config", name)) == before, name
        ipv6 = read(os.path.join(folder, "config", "accounts-ipv6.txt")).decode()
        assert "2001:db8::/48\tanna" in ipv6 and "2001:db8:1::7\tBob" in ipv6, ipv6
    print("ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
