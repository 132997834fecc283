#!/usr/bin/env bash
# Measures the staged server side by side with the established servers of
# the shared benchmark (BENCH_DIR, default ../shared/bench beside this
# checkout): our server in a temporary program folder on port 2121 with the
# benchmark's account (benchuser / benchpass, rooted at /home/benchuser, all
# rights), then the benchmark's run_all.sh with it as one more target.
# Extra arguments go to run_all.sh (default: --runs 3). With --tls among
# them our server gets a self-signed certificate for localhost and offers
# TLS (the benchmark's FTPS mode, against the peers' TLS variants). Loopback
# only.
# Usage: scripts/bench-peers.sh [dist folder] [run_all.sh arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
bench="${BENCH_DIR:-$(cd .. && pwd)/shared/bench}"
dist="$(cd "${1:-build/dist}" && pwd)"
shift || true
[ $# -gt 0 ] || set -- --runs 3
tls=0
for arg in "$@"; do [ "$arg" = --tls ] && tls=1; done
if [ ! -x "$bench/run_all.sh" ]; then
  echo "No benchmark in $bench: set BENCH_DIR to the folder of run_all.sh." >&2
  exit 1
fi
as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
# The peers, their client tools, benchuser and the test files, once per machine.
if [ ! -d /opt/ftpbench ] || ! id benchuser >/dev/null 2>&1; then as_root "$bench/peers.sh" setup; fi

folder="$(mktemp -d /tmp/quillon-bench-XXXXXX)"
chmod 755 "$folder"
cp "$dist/quillon-ftp-server" "$dist/quillon-setup" "$folder/"
cp -r "$dist/remoteadmin" "$folder/"
setup() { "$folder/quillon-setup" "$@" >/dev/null; }
admin_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
# The remote admin is turned off below; --no-tls keeps FTP as measured before
# (no certificate, no AUTH TLS offered).
setup init --ftp-port 2121 --admin-port "$admin_port" --no-tls
setup set mUseRA 0
setup set mMaxUsers 20000
setup set mUseMaxUsersPerIP 0
setup set mAntiHammering 0
setup account add benchuser --password benchpass --root /home/benchuser --rights rwmlcd
# The FTPS mode: a certificate, and TLS offered (made optional by generate).
[ "$tls" -eq 0 ] || setup tls generate localhost
# The benchmark checks that curl's data handshake ends after RETR or STOR;
# curl starts it at connect, and by default the server answers at once.
[ "$tls" -eq 0 ] || echo "tls_data_handshake = command" >> "$folder/config/quillon.conf"
# benchuser's home is not the server user's: keep the measured server as started.
echo "run_as_user = root" >> "$folder/config/quillon.conf"

if [ "$(id -u)" -eq 0 ]; then
  "$folder/quillon-ftp-server" -service >/dev/null 2>&1 &
else
  sudo "$folder/quillon-ftp-server" -service >/dev/null 2>&1 &
fi
for _ in $(seq 100); do
  (exec 3<>/dev/tcp/127.0.0.1/2121) 2>/dev/null && break
  sleep 0.1
done
pid=$(pgrep -f "^$folder/quillon-ftp-server -service" | head -n 1)
[ -n "$pid" ] || { echo "The server did not start; see $folder/logs/servicelog.txt." >&2; exit 1; }
echo "$pid" > "$folder/server.pid"
# The server saves and ends on SIGTERM; the folder goes with it.
trap 'as_root kill "$pid" 2>/dev/null || true; while kill -0 "$pid" 2>/dev/null; do sleep 0.1; done; rm -rf "$folder"' EXIT
"$bench/run_all.sh" --target "name=ours,port=2121,pidfile=$folder/server.pid" "$@"
