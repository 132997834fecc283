#!/usr/bin/env python3
"""curl and Python's urllib against the remote admin's HTTP transport:
static files, url-encoded and multipart forms, and redirects followed.
Usage: http_clients_test.py <e2e_http_server binary>"""
import os
import subprocess
import sys
import tempfile
import urllib.parse
import urllib.request

def main():
    with tempfile.TemporaryDirectory() as folder:
        server = subprocess.Popen([sys.argv[1], folder], stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, text=True)
        try:
            line = server.stdout.readline().strip()
            assert line.startswith("PORT "), line
            base = "http://127.0.0.1:%d" % int(line.split()[1])
            page = b"<html><body>hello admin</body></html>"
            with open(os.path.join(folder, "remoteadmin", "index.html"), "wb") as f:
                f.write(page)

            # urllib: a static file, a form, a redirect after POST (a refresh
            # page) and after GET (followed).
            with urllib.request.urlopen(base + "/", timeout=10) as reply:
                assert reply.status == 200 and reply.read() == page
                assert reply.headers["Content-Type"] == "text/html"
            form = urllib.parse.urlencode({"user": "bob smith", "note": "a+b & c"}).encode()
            with urllib.request.urlopen(base + "/_echo?q=x+y", data=form, timeout=10) as reply:
                assert reply.read().decode() == "user=bob smith\nnote=a+b & c\nq=x y\n"
            with urllib.request.urlopen(base + "/_go", timeout=10) as reply:
                assert reply.geturl().endswith("/index.html") and reply.read() == page

            # curl: multipart upload, url-encoded post, redirects followed.
            upload = os.path.join(folder, "notes.txt")
            with open(upload, "w") as f:
                f.write("line one\nline two")
            out = subprocess.run(["curl", "-s", "-F", "title=Report", "-F", "doc=@" + upload,
                                  base + "/_echo"], check=True, capture_output=True, text=True).stdout
            assert out == "part title ()=Report\npart doc (notes.txt)=line one\nline two\n", out
            out = subprocess.run(["curl", "-s", "--data-urlencode", "user=al ice", base + "/_echo"],
                                 check=True, capture_output=True, text=True).stdout
            assert out == "user=al ice\n", out
            out = subprocess.run(["curl", "-s", "-L", base + "/_go"], check=True,
                                 capture_output=True).stdout
            assert out == page, out
            redirect = subprocess.run(["curl", "-s", "-D", "-", "-o", "/dev/null", base + "/_go"],
                                      check=True, capture_output=True, text=True).stdout
            assert redirect.startswith("HTTP/1.1 307 "), redirect
            head = subprocess.run(["curl", "-s", "-I", base + "/index.html"], check=True,
                                  capture_output=True, text=True).stdout
            assert "Content-Length: %d" % len(page) in head, head
            assert os.listdir(os.path.join(folder, "temp")) == []
        finally:
            server.stdin.close()
            server.wait(timeout=30)
    print("HTTP clients: ok")


if __name__ == "__main__":
    main()
