"""A local update server for the updater's program tests: serves named files
from memory over HTTP/1.1 on loopback, each answer with its Content-Length,
optionally in small pieces with pauses so a download can be watched."""
import http.server
import threading
import time


class UpdateServer:
    def __init__(self, piece=None, pause=0.0):
        self.files = {}
        self.requests = []
        served = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def do_GET(self):
                served.requests.append(self.path)
                body = served.files.get(self.path)
                if body is None:
                    self.send_response(404)
                    self.send_header("Content-Length", "0")
                    self.end_headers()
                    return
                self.send_response(200)
                self.send_header("Content-Length", str(len(body)))
                self.send_header("Connection", "close")
                self.end_headers()
                step = piece or len(body) or 1
                for at in range(0, len(body), step):
                    self.wfile.write(body[at:at + step])
                    self.wfile.flush()
                    if pause:
                        time.sleep(pause)
                self.close_connection = True

            def log_message(self, *args):
                pass

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    @property
    def url(self):
        return "http://127.0.0.1:%d/" % self.httpd.server_address[1]

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()
