#!/usr/bin/env bash
# scripts/check-layers.sh on copies of the source tree: the copy as it is
# passes, and each planted break of a rule fails with a line that names it.
# Usage: tests/scripts/check_layers_test.sh [repository folder]
set -uo pipefail
repo=$(cd "${1:-$(dirname "$0")/../..}" && pwd)
check="$repo/scripts/check-layers.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failed=0
fail() {
  echo "FAIL: $1"
  failed=1
}

# A fresh copy of src/ in $work/src.
fresh_copy() {
  rm -rf "$work/src"
  cp -r "$repo/src" "$work/src" || { echo "FAIL: cannot copy $repo/src"; exit 1; }
}

# expect_failure <case> <text the report must hold>: the check of the copy
# fails and reports the planted break.
expect_failure() {
  local out
  if out=$(bash "$check" "$work/src" 2>&1); then
    fail "$1: the check passed"
  elif ! grep -q -F -- "$2" <<<"$out"; then
    fail "$1: the report does not say \"$2\":"$'\n'"$out"
  fi
}

fresh_copy
out=$(bash "$check" "$work/src" 2>&1) || fail "the unchanged tree: $out"

# A folder includes a folder it does not declare, though that folder is
# built before it.
fresh_copy
echo '#include "ftp/ftp_server.h"' >> "$work/src/update/updater.cpp"
expect_failure "update includes ftp" "update/updater.cpp:"
expect_failure "update includes ftp" "update does not declare that it uses ftp"

# A lower folder includes a higher one.
fresh_copy
echo '#include "admin/admin_handler.h"' >> "$work/src/fileutil/paths.h"
expect_failure "fileutil includes admin" "fileutil does not declare that it uses admin"

# Dropping a used folder from the link line makes the includes of it illegal.
fresh_copy
sed -i -E 's/(target_link_libraries\(quillon_update PUBLIC) quillon_fileutil/\1/' \
  "$work/src/update/CMakeLists.txt"
expect_failure "update no longer links fileutil" "update does not declare that it uses fileutil"

# A link to something that is no folder.
fresh_copy
sed -i -E 's/(target_link_libraries\(quillon_fileutil PUBLIC)/\1 quillon_nowhere/' \
  "$work/src/fileutil/CMakeLists.txt"
expect_failure "fileutil links an unknown library" "links quillon_nowhere, which is no folder"

# Uses that go round in a cycle.
fresh_copy
sed -i -E 's/(target_link_libraries\(quillon_runtime PUBLIC)/\1 quillon_accounts/' \
  "$work/src/runtime/CMakeLists.txt"
expect_failure "runtime and accounts use each other" "form a cycle"

# A POSIX header outside src/platform.
fresh_copy
echo '#include <sys/stat.h>' >> "$work/src/settings/log_file.cpp"
expect_failure "settings includes a POSIX header" "settings/log_file.cpp:"

# OpenSSL outside src/platform, in the desktop folder too.
fresh_copy
echo '#include <openssl/evp.h>' >> "$work/src/update/signature.cpp"
echo '#include <openssl/ssl.h>' >> "$work/src/ui/artwork.cpp"
expect_failure "update includes OpenSSL" "update/signature.cpp:"
expect_failure "ui includes OpenSSL" "ui/artwork.cpp:"

# A folder without its CMakeLists.txt declares nothing.
fresh_copy
mkdir "$work/src/stray"
echo '#include "fileutil/paths.h"' > "$work/src/stray/stray.cpp"
expect_failure "a folder without CMakeLists.txt" "no CMakeLists.txt declares"

if [[ $failed -ne 0 ]]; then exit 1; fi
echo "check-layers self-test: every planted break was reported"
