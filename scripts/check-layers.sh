#!/usr/bin/env bash
# Checks the include rules of the source tree and prints every line that
# breaks one of them:
#  - fences: a folder of src/ includes headers of its own folder and of the
#    folders it declares it uses, nothing else. The declaration is the
#    target_link_libraries() call of the folder's library, quillon_<folder>,
#    in <folder>/CMakeLists.txt: every quillon_<other> it names is a folder
#    it may include, so the link line and the include rule are one list.
#    The declared uses may not go round in a cycle;
#  - system headers: only src/platform (and src/ui, for the toolkit) include
#    POSIX or toolkit headers, and only src/platform includes OpenSSL and libpq.
# Usage: scripts/check-layers.sh [source folder]   (default: src)
set -uo pipefail
cd "$(dirname "$0")/.."
src="${1:-src}"
[[ -d "$src" ]] || { echo "check-layers: no folder $src"; exit 2; }

failures=0
report() {
  echo "$1"
  failures=$((failures + 1))
}

folders=()
for dir in "$src"/*/; do
  dir=${dir%/}
  folders+=("${dir##*/}")
done
declare -A is_folder
for folder in "${folders[@]}"; do is_folder[$folder]=1; done

# The folders each folder declares it uses: the quillon_* arguments of its
# library's target_link_libraries(), over any number of lines, comments left
# out.
declare -A uses
for folder in "${folders[@]}"; do
  cmake="$src/$folder/CMakeLists.txt"
  if [[ ! -f "$cmake" ]]; then
    report "$src/$folder: no CMakeLists.txt declares what the folder uses"
    continue
  fi
  text=""
  while IFS= read -r line || [[ -n "$line" ]]; do text+=" ${line%%#*}"; done <"$cmake"
  list=""
  if [[ "$text" =~ target_link_libraries\([[:space:]]*quillon_$folder[[:space:]]([^\)]*)\) ]]; then
    for word in ${BASH_REMATCH[1]}; do
      [[ "$word" =~ ^quillon_([a-z0-9_]+)$ ]] || continue
      used=${BASH_REMATCH[1]}
      if [[ -z "${is_folder[$used]+x}" ]]; then
        report "$cmake: quillon_$folder links $word, which is no folder of $src"
        continue
      fi
      list+=" $used"
    done
  fi
  uses[$folder]="$list"
done

# No cycle: peel off the folders whose uses are all peeled off already; the
# folders left over use themselves through the others (or build on such).
declare -A peeled
remaining=("${folders[@]}")
while [[ ${#remaining[@]} -gt 0 ]]; do
  next=()
  for folder in "${remaining[@]}"; do
    ready=1
    for used in ${uses[$folder]:-}; do
      [[ -n "${peeled[$used]+x}" ]] || { ready=0; break; }
    done
    if [[ $ready -eq 1 ]]; then peeled[$folder]=1; else next+=("$folder"); fi
  done
  if [[ ${#next[@]} -eq ${#remaining[@]} ]]; then
    report "the declared uses of these folders form a cycle or build on one: ${remaining[*]}"
    break
  fi
  remaining=("${next[@]}")
done

# The folder of a path under $src.
folder_of() {
  local rest=${1#"$src"/}
  folder=${rest%%/*}
}

sources=()
while IFS= read -r -d '' file; do sources+=("$file"); done \
  < <(find "$src" -type f \( -name '*.h' -o -name '*.cpp' \) -print0 | sort -z)
[[ ${#sources[@]} -gt 0 ]] || { echo "check-layers: no sources in $src"; exit 2; }

include='^#include "([^/"]+)/'
while IFS= read -r hit; do
  [[ "$hit" =~ ^(.*):([0-9]+):(.*)$ ]] || continue
  file=${BASH_REMATCH[1]}
  line=${BASH_REMATCH[2]}
  text=${BASH_REMATCH[3]}
  [[ "$text" =~ $include ]] || continue  # no folder part
  included=${BASH_REMATCH[1]}
  [[ -n "${is_folder[$included]+x}" ]] || continue  # not one of ours
  folder_of "$file"
  [[ -n "${uses[$folder]+x}" ]] || continue
  if [[ "$included" != "$folder" && " ${uses[$folder]} " != *" $included "* ]]; then
    report "$file:$line: $folder does not declare that it uses $included: $text"
  fi
done < <(grep -n -H -E '^#include "' "${sources[@]}")

posix='#include <(unistd|fcntl|pthread|dirent|poll|signal|pwd|grp|netdb|termios|dlfcn|spawn|syslog|sched|semaphore|ifaddrs|paths|utime|fnmatch|glob|libgen)\.h>|#include <(sys|netinet|arpa|linux|net|wx|gtk|gdk|glib|X11)/'
while IFS= read -r hit; do
  [[ "$hit" =~ ^(.*):([0-9]+):(.*)$ ]] || continue
  folder_of "${BASH_REMATCH[1]}"
  [[ "$folder" == platform || "$folder" == ui ]] && continue
  report "${BASH_REMATCH[1]}:${BASH_REMATCH[2]}: system header outside src/platform: ${BASH_REMATCH[3]}"
done < <(grep -n -H -E "$posix" "${sources[@]}")

while IFS= read -r hit; do
  [[ "$hit" =~ ^(.*):([0-9]+):(.*)$ ]] || continue
  folder_of "${BASH_REMATCH[1]}"
  [[ "$folder" == platform ]] && continue
  report "${BASH_REMATCH[1]}:${BASH_REMATCH[2]}: OpenSSL or libpq header outside src/platform: ${BASH_REMATCH[3]}"
done < <(grep -n -H -E '#include <(openssl/|libpq-fe\.h|libpq/)' "${sources[@]}")

if [[ $failures -gt 0 ]]; then
  echo "check-layers: $failures problem(s)"
  exit 1
fi
echo "check-layers: every include keeps to its folder's declared uses"
