"""Starts the e2e_server program for an interoperability test and stops it
again: `with Server(binary) as (port, folder): ...`. The account is
alice/wonder, rooted at <folder>/root. `conf` is the text of
config/quillon.conf, written before the server starts; `prepare`, when
given, is called with the program folder before the server starts."""
import os
import subprocess
import tempfile

USER = "alice"
PASSWORD = "wonder"


class Server:
    def __init__(self, binary, extra_args=(), conf="", prepare=None):
        self.binary = binary
        self.extra_args = list(extra_args)
        self.conf = conf
        self.prepare = prepare

    def __enter__(self):
        self.temp = tempfile.TemporaryDirectory()
        self.folder = self.temp.name
        if self.conf:
            os.makedirs(os.path.join(self.folder, "config"))
            with open(os.path.join(self.folder, "config", "quillon.conf"), "w") as f:
                f.write(self.conf)
        if self.prepare:
            self.prepare(self.folder)
        self.process = subprocess.Popen([self.binary, self.folder, USER, PASSWORD] + self.extra_args,
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        line = self.process.stdout.readline().strip()
        if not line.startswith("PORT "):
            self.__exit__(None, None, None)
            raise RuntimeError("server did not start: " + line)
        self.port = int(line.split()[1])
        self.root = os.path.join(self.folder, "root")
        return self

    def __exit__(self, *exc):
        self.process.stdin.close()
        try:
            self.process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.temp.cleanup()
        return False

    def url(self, path=""):
        return "ftp://%s:%s@127.0.0.1:%d/%s" % (USER, PASSWORD, self.port, path)


def make_certificate(folder):
    """A self-signed certificate and key (PEM) for localhost and 127.0.0.1 in
    `folder`, made with the openssl command; returns both paths."""
    certificate = os.path.join(folder, "certificate.pem")
    key = os.path.join(folder, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                    "-nodes", "-keyout", key, "-out", certificate, "-days", "2", "-subj", "/CN=localhost",
                    "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1"],
                   check=True, capture_output=True)
    return certificate, key
