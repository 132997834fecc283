#!/usr/bin/env bash
# Checks the two include rules of the source tree and prints every line that
# breaks one of them:
#  - layers: a folder of src/ includes headers of its own folder and of the
#    folders below it only (LAYERS, bottom-up, the order of src/CMakeLists.txt);
#  - system headers: only src/platform (and src/ui, for the toolkit) include
#    POSIX or toolkit headers.
# Usage: scripts/check-layers.sh [source folder]   (default: src)
set -uo pipefail
cd "$(dirname "$0")/.."
src="${1:-src}"

LAYERS=(platform runtime vfs accounts settings accountfs access ftp admin update app ui)

declare -A rank
for i in "${!LAYERS[@]}"; do rank[${LAYERS[$i]}]=$i; done

failures=0
report() {
  echo "$1"
  failures=$((failures + 1))
}

# Every folder of the tree has a place in the order.
for dir in "$src"/*/; do
  folder=$(basename "$dir")
  [[ -n "${rank[$folder]+x}" ]] || report "$dir: not in the layer list of scripts/check-layers.sh"
done

posix='#include <(unistd|fcntl|pthread|dirent|poll|signal|pwd|grp|netdb|termios|dlfcn|spawn|syslog|sched|semaphore|ifaddrs|paths|utime|fnmatch|glob|libgen)\.h>|#include <(sys|netinet|arpa|linux|net|wx|gtk|gdk|glib|X11)/'

while IFS= read -r -d '' file; do
  folder=${file#"$src"/}
  folder=${folder%%/*}
  own=${rank[$folder]:-}
  [[ -n "$own" ]] || continue
  while IFS= read -r hit; do
    line=${hit%%:*}
    text=${hit#*:}
    included=$(sed -E 's/^#include "([^/"]+)\/.*/\1/' <<<"$text")
    [[ "$included" == "$text" ]] && continue  # no folder part
    other=${rank[$included]:-}
    if [[ -n "$other" && "$other" -gt "$own" ]]; then
      report "$file:$line: $folder includes the higher layer $included: $text"
    fi
  done < <(grep -n -E '^#include "' "$file" | sed -E 's/^([0-9]+):/\1:/')
  if [[ "$folder" != platform && "$folder" != ui ]]; then
    while IFS= read -r hit; do
      report "$file:${hit%%:*}: system header outside src/platform: ${hit#*:}"
    done < <(grep -n -E "$posix" "$file")
  fi
done < <(find "$src" -type f \( -name '*.h' -o -name '*.cpp' \) -print0 | sort -z)

if [[ $failures -gt 0 ]]; then
  echo "check-layers: $failures problem(s)"
  exit 1
fi
echo "check-layers: every include keeps to its layer"
