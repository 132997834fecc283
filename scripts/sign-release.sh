#!/usr/bin/env bash
# Signs release files for the updater, which installs a downloaded program
# file only when FILE.sig (64 bytes, Ed25519) verifies against the release
# key compiled into the running program.
#
#   scripts/sign-release.sh --generate KEY.pem   make a new private key (owner-only)
#   scripts/sign-release.sh --public KEY.pem     print the public key for
#                                                -DQUILLON_UPDATE_PUBLIC_KEY=...
#   scripts/sign-release.sh KEY.pem FILE         write FILE.sig beside FILE
#
# Keep the private key off the build and web servers; publish FILE and
# FILE.sig side by side under the update server's updates/ folder.
set -euo pipefail

usage() {
  sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}

case "${1:-}" in
  --generate)
    [ $# -eq 2 ] || usage
    [ ! -e "$2" ] || { echo "$2 exists already" >&2; exit 1; }
    (umask 077 && openssl genpkey -algorithm ed25519 -out "$2")
    ;;
  --public)
    [ $# -eq 2 ] || usage
    # The raw key is the last 32 bytes of its DER form.
    openssl pkey -in "$2" -pubout -outform DER | tail -c 32 | od -An -v -tx1 | tr -d ' \n'
    echo
    ;;
  -*|"")
    usage
    ;;
  *)
    [ $# -eq 2 ] || usage
    openssl pkeyutl -sign -rawin -inkey "$1" -in "$2" -out "$2.sig"
    ;;
esac
