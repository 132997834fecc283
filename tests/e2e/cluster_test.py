#!/usr/bin/env python3
"""Two servers keeping their accounts in one PostgreSQL database, behind
HAProxy sending the PROXY protocol: an account made on one logs in on the
other at once; a session limit and a credit balance hold across both; an
address that hammers one is refused by the other; the sessions of a server
that died stop counting once their lease runs out; both logs name the
client, never the balancer; and a server that loses the database refuses
new logins, keeps its sessions, and takes logins again once it is back.
Clients connect from 127.0.0.2 (and 127.0.0.3), the balancer from 127.0.0.1.
Usage: cluster_test.py <e2e_server binary> <quillon-setup binary> <remoteadmin folder>
Exits 77 (skipped) without PostgreSQL or HAProxy, unless CI is set."""
import contextlib
import ftplib
import http.client
import io
import os
import signal
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor

import cluster
from cluster import try_login, wait_for

PASSWORD = "cluster-pw"
UPLOAD = os.urandom(64 * 1024)  # 64 KB: credits_per_upload_kb each


class Cluster:
    """What every step uses: the database, nodes a and b, the balancer, and
    the folder the accounts are rooted in."""

    def __init__(self, db, a, b, balancer, served):
        self.db, self.a, self.b, self.balancer, self.served = db, a, b, balancer, served
        self.to_a, self.to_b = balancer.only["a"], balancer.only["b"]

    def create_account(self, node, name, **fields):
        home = os.path.join(self.served, name)
        os.makedirs(home)
        body = {"name": name, "password": PASSWORD, "root_folder": home, "rights": "rwmlcd", **fields}
        status, answer = node.api.call("POST", "/accounts", body)
        assert status == 201, (status, answer)
        return home


def login(port, user, source="127.0.0.2", timeout=10):
    """A session of `user` through the balancer's `port`, retried for
    `timeout` seconds while the change that allows it reaches the server."""
    refusals = []

    def attempt():
        ftp, refusal = try_login(port, user, PASSWORD, source)
        refusals.append(refusal)
        return ftp

    try:
        return wait_for(attempt, timeout, "a login of %s on port %d" % (user, port))
    except AssertionError as error:
        raise AssertionError("%s: %s" % (error, refusals[-3:])) from None


def found(node, path):
    """The body of a GET that the node answers with 200, else None."""
    status, body = node.api.call("GET", path)
    return body if status == 200 else None


def refused(port, user, password=PASSWORD, source="127.0.0.2"):
    """The reply refusing a login that must be refused."""
    ftp, refusal = try_login(port, user, password, source)
    if ftp is not None:
        ftp.close()
        raise AssertionError("%s logged in on port %d from %s" % (user, port, source))
    return refusal


def account_made_on_a_logs_in_on_b(c):
    home = c.create_account(c.a, "nomad")
    body = wait_for(lambda: found(c.b, "/accounts/nomad"), 10, "b to know the account")
    assert body["name"] == "nomad" and body["root_folder"].rstrip("/") == home, body
    ftp = login(c.to_b, "nomad")
    ftp.storbinary("STOR from-b.bin", io.BytesIO(UPLOAD))  # a data connection straight to b, from the client
    assert "from-b.bin" in ftp.nlst()
    ftp.quit()
    with open(os.path.join(home, "from-b.bin"), "rb") as f:
        assert f.read() == UPLOAD
    # The balanced frontend takes turns: one login reaches each server.
    for _ in range(2):
        ftp = login(c.balancer.port, "nomad")
        assert "from-b.bin" in ftp.nlst()
        ftp.quit()


def session_limit_spans_both(c):
    c.create_account(c.b, "pair", max_sessions=2)
    first = login(c.to_a, "pair")
    second = login(c.to_b, "pair")
    for port in (c.to_a, c.to_b):
        refusal = refused(port, "pair")
        assert refusal.startswith("5"), refusal
    first.quit()
    third = login(c.to_a, "pair")
    second.quit()
    third.quit()


def credits_of_parallel_uploads_add_up(c):
    start, per_kb = 1000, 2
    home = c.create_account(c.a, "saver", credits_enabled=True, credits=start, credits_per_upload_kb=per_kb,
                            credits_per_download_kb=-1)
    expected = start + 40 * per_kb * len(UPLOAD) // 1024

    def upload(port, name):
        ftp = login(port, "saver")
        ftp.storbinary("STOR %s" % name, io.BytesIO(UPLOAD))
        ftp.quit()

    with ThreadPoolExecutor(max_workers=40) as pool:
        jobs = [pool.submit(upload, port, "%s-%d.bin" % (side, i))
                for side, port in (("a", c.to_a), ("b", c.to_b)) for i in range(20)]
        for job in jobs:
            job.result()
    names = sorted(os.listdir(home))
    assert len(names) == 40 and all(os.path.getsize(os.path.join(home, n)) == len(UPLOAD) for n in names), names

    def balance_reached(node):
        status, body = node.api.call("GET", "/accounts/saver")
        assert status == 200, (status, body)
        # Uploads only add: a balance beyond the sum counted some twice.
        assert body["credits"] <= expected, (node.name, body["credits"], expected)
        return body["credits"] == expected

    for node in (c.a, c.b):
        wait_for(lambda: balance_reached(node), 30, "the balance %d on %s" % (expected, node.name))


def balance_spent_on_b_reaches_a_live_session(c):
    home = c.create_account(c.a, "spender", credits_enabled=True, credits=100, credits_per_upload_kb=0,
                            credits_per_download_kb=-1)
    with open(os.path.join(home, "file.bin"), "wb") as f:
        f.write(UPLOAD)  # 64 KB: 64 credits
    on_a = login(c.to_a, "spender")  # A's live balance: 100
    on_b = login(c.to_b, "spender")
    on_b.retrbinary("RETR file.bin", lambda _: None)
    on_b.quit()

    def live_on_a():
        status, body = c.a.api.call("GET", "/accounts/spender")
        assert status == 200, (status, body)
        stored = int(c.db.psql("SELECT credits FROM quillon_records WHERE kind = 'a' AND key = '%s'"
                               % "spender".encode().hex(), url=c.db.url))
        # About 64 credits spent: fewer than the next download needs.
        return stored < 40 and body["credits"] == stored

    # B's charge moves the balance of A's logged-in account, which A would
    # otherwise spend a second time.
    wait_for(live_on_a, 15, "A's live balance to show B's charge")
    try:
        on_a.retrbinary("RETR file.bin", lambda _: None)
        raise AssertionError("A let B's spent credits buy a second download")
    except (ftplib.error_perm, ftplib.error_temp) as refusal:
        # Stopped when the balance ran out, partway (451), or refused at once.
        assert "credits" in str(refusal), refusal
    on_a.quit()


def hammering_on_a_is_refused_on_b(c):
    for node in (c.a, c.b):
        status, body = node.api.call("PATCH", "/settings", {"mAntiHammering": True})
        assert status == 200 and body["mAntiHammering"] == "1", (status, body)
    login(c.to_b, "nomad", source="127.0.0.3").quit()  # the address is welcome before it hammers

    def wrong_password(_):
        return refused(c.to_a, "nomad", "wrong", source="127.0.0.3")

    with ThreadPoolExecutor(max_workers=5) as pool:
        for refusal in pool.map(wrong_password, range(5)):
            assert refusal.startswith("530"), refusal

    def refused_on_b():
        ftp, refusal = try_login(c.to_b, "nomad", PASSWORD, source="127.0.0.3")
        if ftp is not None:
            ftp.quit()
        return refusal

    refusal = wait_for(refused_on_b, 15, "b to refuse 127.0.0.3")
    assert "too many login failures" in refusal and refusal[0] in "45", refusal
    login(c.to_b, "nomad", timeout=0).quit()  # another address still logs in
    # Later steps are refused on purpose, from 127.0.0.2: those must not count.
    for node in (c.a, c.b):
        status, body = node.api.call("PATCH", "/settings", {"mAntiHammering": False})
        assert status == 200 and body["mAntiHammering"] == "0", (status, body)


def sessions_of_a_dead_server_expire(c):
    held = [login(c.to_a, "pair"), login(c.to_a, "pair")]
    refusal = refused(c.to_b, "pair")
    assert refusal.startswith("5"), refusal
    c.a.kill()
    for ftp in held:
        ftp.close()
    # The lease is 5 seconds; a refused login itself takes 3.
    taken = [login(c.to_b, "pair", timeout=30)]
    taken.append(login(c.to_b, "pair", timeout=10))
    refusal = refused(c.to_b, "pair")
    assert refusal.startswith("5"), refusal
    for ftp in taken:
        ftp.quit()


def database_loss_and_return(c):
    kept = login(c.to_b, "nomad", timeout=0)
    c.db.stop("immediate")
    refusals = []

    def refused_for_database():
        ftp, refusal = try_login(c.to_b, "nomad", PASSWORD)
        if ftp is not None:
            ftp.quit()
            return None
        refusals.append(refusal)
        return refusal if "account database" in refusal.lower() else None

    try:
        refusal = wait_for(refused_for_database, 30, "a login refused for the lost database")
    except AssertionError as error:
        raise AssertionError("%s: %s" % (error, refusals[-3:])) from None
    assert refusal.startswith("5"), refusal
    lost = wait_for(lambda: [i for i, m in enumerate(c.b.log_messages()) if m.startswith("Account Database Lost")],
                    10, "the log line of the lost database")
    # A session that logged in before goes on.
    kept.voidcmd("NOOP")
    listing = []
    kept.retrlines("LIST", listing.append)
    assert any("from-b.bin" in line for line in listing), listing
    c.db.start()
    # The server tries again 1 s after the loss, then twice as long each
    # time: it is back within about as long again as the database was away.
    login(c.to_b, "nomad", timeout=45).quit()
    wait_for(lambda: any(m.startswith("Account Database Connected") for m in c.b.log_messages()[lost[-1]:]),
             10, "the log line of the database back")
    kept.voidcmd("NOOP")
    kept.quit()


def admin_port_takes_the_header_only(c):
    # Straight from the trusted balancer's address, without a header: refused.
    direct = cluster.Api(c.b.admin_port, c.b.token, source="127.0.0.1")
    try:
        status, _ = direct.call("GET", "/accounts/nomad")
        raise AssertionError("a request without a PROXY header was answered %d" % status)
    except (ConnectionError, http.client.HTTPException):
        pass
    refusal = "127.0.0.1 -> PROXY Header Refused: Reason=[no PROXY protocol header]"
    wait_for(lambda: refusal in c.b.log_messages("remoteadmin"), 10, "the admin log's refusal")


def logs_name_the_client(c):
    # Each account logged in on both servers (nomad once on a through the
    # balanced frontend).
    for node in (c.a, c.b):
        messages = node.log_messages()
        for user in ("nomad", "pair", "saver"):
            assert any(m.startswith("127.0.0.2 -> %s -> Logged In" % user) for m in messages), (node.name, user)
        # Every connection came through the balancer, whose header named the client.
        from_balancer = [m for m in messages if m.startswith("127.0.0.1 -> ")]
        assert not from_balancer, (node.name, from_balancer[:5])
        # So did the JSON interface's requests.
        admin = node.log_messages("remoteadmin")
        assert any(m == "127.0.0.2 -> Connection Accepted." for m in admin), (node.name, admin[:5])
        assert not [m for m in admin if m.startswith("127.0.0.1 -> Connection Accepted.")], (node.name, admin[:5])


def main():
    server_binary, setup_binary, pages = sys.argv[1:4]
    missing = cluster.missing_tools()
    if missing:
        print("missing: %s (Debian packages postgresql and haproxy)" % ", ".join(missing))
        return 1 if os.environ.get("CI") else 77
    # A stop from outside still stops the database, which runs on its own.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    with contextlib.ExitStack() as stack:
        db = stack.enter_context(cluster.Postgres())
        served = stack.enter_context(tempfile.TemporaryDirectory(prefix="quillon-served-"))
        a = stack.enter_context(cluster.Node("a", server_binary, setup_binary, pages, db.url))
        b = stack.enter_context(cluster.Node("b", server_binary, setup_binary, pages, db.url))
        balancer = stack.enter_context(cluster.Balancer({"a": a.port, "b": b.port},
                                                        {"a": a.admin_port, "b": b.admin_port}))
        for node in (a, b):
            node.api = cluster.Api(balancer.admin[node.name], node.token)
        c = Cluster(db, a, b, balancer, served)
        for step in (account_made_on_a_logs_in_on_b, session_limit_spans_both, credits_of_parallel_uploads_add_up,
                     balance_spent_on_b_reaches_a_live_session,
                     hammering_on_a_is_refused_on_b, sessions_of_a_dead_server_expire, database_loss_and_return,
                     admin_port_takes_the_header_only, logs_name_the_client):
            print(step.__name__, flush=True)
            step(c)
    print("ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
