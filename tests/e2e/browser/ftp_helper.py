"""FTP clients for the browser test, driven line by line over stdin.

Usage: ftp_helper.py <port> <user> <password>
Commands (one per line) and the line each answers:
  greet                connect and leave: "GREETING <welcome>" or "REFUSED <error>"
  login [user pass]    keep a logged-in client: "READY" or "REFUSED <error>"
  stor <name>          the kept client stores 256 KiB: "STORED" or "REFUSED <error>"
  retr <name>          the kept client fetches a file: "RETRIEVED <bytes>"
  await_end            wait for the server to end that client: "ENDED <reply>"
  upload <mb> <name>   store a file of <mb> MiB: "UPLOADED"
  download <name>      start a download and stop reading it, so it stays in
                       progress: "DOWNLOADING"
  stream <name>        a client of its own downloads the file, reading all
                       the while (as fast as the server sends): "STREAMING"
Every wait is bounded; a failure is answered "ERROR <text>".
"""
import ftplib
import io
import sys
import threading

HOST = "127.0.0.1"
TIMEOUT = 20


def connect(port, user, password):
    client = ftplib.FTP()
    client.connect(HOST, port, timeout=TIMEOUT)
    client.login(user, password)
    return client


def main():
    port, user, password = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    kept = None
    downloads = []
    for line in sys.stdin:
        command, _, rest = line.rstrip("\n").partition(" ")
        try:
            if command == "greet":
                client = ftplib.FTP()
                try:
                    welcome = client.connect(HOST, port, timeout=TIMEOUT)
                    answer = "GREETING " + welcome
                    client.close()
                except ftplib.all_errors as error:
                    answer = "REFUSED " + str(error)
            elif command == "login":
                who = rest.split(" ") if rest else [user, password]
                try:
                    kept = connect(port, who[0], who[1])
                    answer = "READY"
                except ftplib.error_perm as error:
                    answer = "REFUSED " + str(error)
            elif command == "stor":
                try:
                    kept.storbinary("STOR " + rest, io.BytesIO(b"s" * (256 << 10)))
                    answer = "STORED"
                except ftplib.error_perm as error:
                    answer = "REFUSED " + str(error)
            elif command == "retr":
                received = bytearray()
                kept.retrbinary("RETR " + rest, received.extend)
                answer = "RETRIEVED %d" % len(received)
            elif command == "await_end":
                try:
                    answer = "ENDED " + kept.getresp()
                except ftplib.all_errors as error:
                    answer = "ENDED " + str(error)
            elif command == "upload":
                size, _, name = rest.partition(" ")
                size = int(size)
                client = connect(port, user, password)
                chunk = b"q" * (1 << 20)

                class Source:
                    left = size

                    def read(self, _):
                        if self.left == 0:
                            return b""
                        self.left -= 1
                        return chunk

                client.storbinary("STOR " + name, Source())
                client.quit()
                answer = "UPLOADED"
            elif command == "stream":
                client = connect(port, user, password)
                data = client.transfercmd("RETR " + rest)

                def drain(data=data):
                    try:
                        while data.recv(65536):
                            pass
                    except OSError:
                        pass

                threading.Thread(target=drain, daemon=True).start()
                downloads.append((client, data))
                answer = "STREAMING"
            elif command == "download":
                client = connect(port, user, password)
                data = client.transfercmd("RETR " + rest)
                data.recv(1024)
                downloads.append((client, data))
                answer = "DOWNLOADING"
            else:
                answer = "ERROR unknown command " + command
        except ftplib.all_errors as error:
            answer = "ERROR " + str(error)
        print(answer, flush=True)
    for client, data in downloads:
        data.close()
        client.close()


if __name__ == "__main__":
    main()
