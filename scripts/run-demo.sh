#!/usr/bin/env bash
# Runs the staged server in the foreground in service mode until Ctrl-C, or
# with "desktop" as second argument, as the desktop program.
# On the first run it creates a demo configuration with quillon-setup: FTP on
# port 2121 (21 as root), the remote admin on 7088 over HTTPS with init's
# self-signed certificate and a generated password (left in
# config/admin-password.txt, never printed), and an anonymous read-only
# account rooted at <dist>/pub.
# QUILLON_FTP_PORT and QUILLON_ADMIN_PORT choose other ports for that first run.
# A demo folder configured without a certificate gets a self-signed one, so
# FTP offers TLS and the remote admin speaks HTTPS.
set -euo pipefail
dist="${1:-build/dist}"
mode="${2:-service}"
cd "$dist"

if [ ! -f config/settings.dta ]; then
  if [ "$(id -u)" -eq 0 ]; then default_ftp_port=21; else default_ftp_port=2121; fi
  ./quillon-setup init --ftp-port "${QUILLON_FTP_PORT:-$default_ftp_port}" \
    --admin-port "${QUILLON_ADMIN_PORT:-7088}" >/dev/null
  mkdir -p pub
  cat > pub/README.txt <<'TEXT'
Welcome to the Quillon FTP Server demo.

This folder is the root of the anonymous, read-only account. Add accounts
with quillon-setup or in the remote admin.
TEXT
  ./quillon-setup account add anonymous --root "$PWD/pub" --rights rl >/dev/null
  # Started as root, the server serves as its own user (made by init) once
  # its ports are open. A checkout that user cannot reach (a home folder of
  # mode 0700, say) keeps the demo running as root instead, and says so.
  serving_user="$(./quillon-setup get run_as_user)"
  if [ "$(id -u)" -eq 0 ] && ! runuser -u "$serving_user" -- test -r "$PWD/pub/README.txt" 2>/dev/null; then
    ./quillon-setup set run_as_user root >/dev/null
    echo "Note: the user $serving_user cannot reach $PWD; the demo server keeps running as root." >&2
  fi
fi

# TLS out of the box: init makes a self-signed certificate for FTP (AUTH TLS,
# optional for clients) and the remote admin (HTTPS only). A demo folder set
# up without one (an older init, or init --no-tls) gets one here.
if [ -z "$(./quillon-setup get tls_certificate)" ]; then
  ./quillon-setup tls generate localhost >/dev/null
  ./quillon-setup set admin_tls on >/dev/null
fi

echo "FTP server:    ftp://127.0.0.1:$(./quillon-setup get mPort)/  (anonymous, read-only: $PWD/pub)"
if [ "$(./quillon-setup get tls)" != off ]; then
  echo "FTP over TLS:  explicit (AUTH TLS), certificate $(./quillon-setup get tls_certificate)"
fi
if [ "$(./quillon-setup get admin_tls)" = on ]; then admin_scheme=https; else admin_scheme=http; fi
echo "Remote admin:  $admin_scheme://127.0.0.1:$(./quillon-setup get mRAPort)/"
# The password is never printed: init leaves the one it made in a file only
# its user can read.
if [ -f config/admin-password.txt ]; then
  echo "               password: in $PWD/config/admin-password.txt (read it once, then delete the file)"
else
  echo "               password: as set before (quillon-setup set mRAPass NEW changes it)"
fi
if [ "$admin_scheme" = https ]; then
  echo "               (the certificate is self-signed: the browser asks once to accept it)"
fi
if [ "$mode" = desktop ]; then
  if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    echo "The desktop program needs a display (DISPLAY is not set); use make run without one." >&2
    exit 1
  fi
  echo "Close the window (or press Escape) to stop."
  exec ./quillon-ftp-server
fi
echo "Service log:   $PWD/logs/servicelog.txt"
echo "Press Ctrl-C to stop."
# Not exec'd: when the server cannot start or stops with a failure, the
# terminal is told so, after the server's own reason on standard error.
status=0
./quillon-ftp-server -service || status=$?
if [ "$status" -ne 0 ]; then
  echo "The server stopped with exit status $status; its reason is above and in $PWD/logs/servicelog.txt." >&2
  exit "$status"
fi
