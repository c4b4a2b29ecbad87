#!/usr/bin/env bash
# What a new machine would lack: lists every program and file that the CMake
# caches under build/ found, with the Debian package that owns it, and fails
# when a package is neither installed by tools/install-deps.sh (nor pulled in
# by one of those as a dependency) nor part of the base image.
#   tools/check-new-machine.sh [BASE_IMAGE_LIST]
# BASE_IMAGE_LIST: the base image's packages, one "apt<TAB>name<TAB>version"
# a line (default: the workplace's list when present, else the copy kept in
# tools/base-image-packages.txt). Run it after ./test.sh, before submitting.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

base_list=${1:-}
if [ -z "$base_list" ]; then
  base_list=$root/../.library/env/packages/installed-cpp.txt
  [ -r "$base_list" ] || base_list=$root/tools/base-image-packages.txt
fi
[ -r "$base_list" ] || { echo "no base image list: $base_list" >&2; exit 2; }

caches=$(find build -name CMakeCache.txt 2>/dev/null | sort)
[ -n "$caches" ] || { echo "no CMake caches under build/: build first (./test.sh)" >&2; exit 2; }

native=$(dpkg --print-architecture)
# One spelling for a package: the native architecture's qualifier dropped.
normalise() { sed -e "s/:$native\$//" -e 's/[[:space:]]//g'; }

# The allowed packages: the base image, the list of install-deps.sh and,
# recursively, what those depend on (as installed here).
allowed=$(mktemp) && trap 'rm -f "$allowed"' EXIT
awk -F'\t' '$1 == "apt" { print $2 }' "$base_list" | normalise >"$allowed"
mapfile -t ours < <(tools/install-deps.sh --packages)
printf '%s\n' "${ours[@]}" | normalise >>"$allowed"
apt-cache depends --installed --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
  --no-replaces --no-enhances "${ours[@]}" 2>/dev/null | grep -v '^ ' | tr -d '<>' | normalise >>"$allowed"
sort -u -o "$allowed" "$allowed"

# Every absolute path outside the project that a cache holds, once.
mapfile -t paths < <(
  for c in $caches; do
    sed -n 's/^[A-Za-z0-9_.+-]*:[A-Z]*=//p' "$c" | tr ';' '\n'
  done | grep '^/' | grep -v "^$root\(/\|$\)" | sort -u)

owner() {  # the packages owning a path (or the file it resolves to), one a line
  local p=$1 real q
  real=$(realpath -e "$p" 2>/dev/null) || return 0
  # With the merged /usr a package may list /bin/x for /usr/bin/x.
  for q in "$p" "$real" "${p#/usr}" "${real#/usr}"; do
    dpkg -S "$q" 2>/dev/null && break
  done |
    sed -n 's/^\(.*\): [^:]*$/\1/p' | tr ',' '\n' | normalise | sort -u
}

bad=0
printf '%-60s %s\n' "path" "package"
for p in "${paths[@]}"; do
  [ -e "$p" ] || continue
  mapfile -t pkgs < <(owner "$p")
  if [ ${#pkgs[@]} -eq 0 ]; then
    # Folders that only hold what packages put there (the compiler's own
    # search folders) belong to no package; a file that belongs to none was
    # put there by hand.
    if [ -d "$p" ]; then continue; fi
    printf '%-60s %s\n' "$p" "NO PACKAGE (installed by hand?)"
    bad=1
    continue
  fi
  # A folder that several packages share is there when any one of them is.
  ok=
  for k in "${pkgs[@]}"; do grep -qxF "$k" "$allowed" && { ok=$k; break; }; done
  if [ -n "$ok" ]; then
    if [ ${#pkgs[@]} -gt 1 ]; then ok="$ok (and $((${#pkgs[@]} - 1)) other packages)"; fi
    printf '%-60s %s\n' "$p" "$ok"
  else
    printf '%-60s %s\n' "$p" "${pkgs[*]}  <-- NOT INSTALLED ON A NEW MACHINE"
    bad=1
  fi
done
if [ $bad -ne 0 ]; then
  echo "FAILED: a new machine would lack what is marked above (add its package to tools/install-deps.sh)"
  exit 1
fi
echo "every program and file the build found comes with the base image or tools/install-deps.sh"
