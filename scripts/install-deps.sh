#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing,
# and the browser driver of the remote-admin browser test from npm.
# As root it installs the packages with apt-get; otherwise it names what is
# missing.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake ninja-build g++ make libgtest-dev libgmock-dev python3 curl lftp wget chromium
          libwxgtk3.2-dev xvfb xdotool libssl-dev libcrypt-dev openssl prometheus rclone
          libpq-dev postgresql haproxy "$@")
command -v node >/dev/null 2>&1 || packages+=(nodejs npm)

install_browser_driver() {
  [ -d tests/e2e/browser/node_modules/playwright-core ] && return 0
  if ! command -v npm >/dev/null 2>&1; then
    echo "npm is missing: the browser test will be skipped" >&2
    return 0
  fi
  (cd tests/e2e/browser && npm ci --no-audit --no-fund --loglevel=error)
}

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  install_browser_driver
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages: ${missing[*]}" >&2
  echo "Run as root, or install them with: sudo apt-get install ${missing[*]}" >&2
  exit 1
fi

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
install_browser_driver
