#!/usr/bin/env bash
# Makes the Debian packages of the build with CPack, unpacks them (dpkg-deb -x) into one
# temporary tree, and builds the small client against that tree with its pkg-config file and a
# run path into it, then runs the client and the packaged tool. Also checks what each package
# holds and depends on. Exits 77 (skipped) where dpkg-deb is missing.
# Usage: check_deb.sh BUILD_DIR CLIENT_DIR CXX [EMULATOR]
# EMULATOR runs the packaged tool of a cross build (qemu-i386 for the 32-bit one).
set -euo pipefail
build=$1
here=$2
cxx=${3:-c++}
emulator=${4:-}
if ! command -v dpkg-deb >/dev/null 2>&1; then
  echo "skipped: dpkg-deb is missing (Debian's dpkg), so no .deb can be made or unpacked"
  exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset LD_LIBRARY_PATH
fail() { echo "FAILED: $*"; exit 1; }

(cd "$build" && cpack -G DEB -B "$work/packages" >"$work/cpack.log" 2>&1) || {
  cat "$work/cpack.log"
  fail "cpack -G DEB"
}
shopt -s nullglob
debs=("$work"/packages/*.deb)
[ ${#debs[@]} -ge 2 ] || fail "cpack made ${#debs[@]} packages"
tree=$work/tree
for deb in "${debs[@]}"; do
  echo "== $(basename "$deb"): $(dpkg-deb -f "$deb" Depends)"
  dpkg-deb -x "$deb" "$tree"
done

runtime=("$work"/packages/libmnet1_*.deb)
dev=("$work"/packages/libmnet-dev_*.deb)
[ ${#runtime[@]} -eq 1 ] && [ ${#dev[@]} -eq 1 ] || fail "no libmnet1 and libmnet-dev packages"
dpkg-deb -f "${dev[0]}" Depends | grep -q "libmnet1 (= " || fail "libmnet-dev does not depend on libmnet1"
dpkg-deb --ctrl-tarfile "${runtime[0]}" | tar -t | grep -q postinst || fail "libmnet1 has no postinst"
libdir=$(dirname "$(find "$tree" -name libmnet.so.1 | head -n 1)")
[ -n "$libdir" ] && [ -e "$libdir/libmsupt.so.1" ] || fail "the libraries are not in the package"
[ -f "$tree/usr/lib/tmpfiles.d/mnet.conf" ] || fail "no tmpfiles.d entry"
[ -f "$tree/usr/lib/sysusers.d/mnet.conf" ] || fail "no sysusers.d entry"

echo "== a client against the unpacked tree"
pc=$(find "$tree" -name mnet.pc | head -n 1)
[ -n "$pc" ] || fail "no pkg-config file"
export PKG_CONFIG_PATH=$(dirname "$pc")
# shellcheck disable=SC2046
"$cxx" -std=c++17 -o "$work/client" "$here/client/client.cpp" $(pkg-config --cflags --libs mnet) \
  "-Wl,-rpath,$libdir"
"$work/client"

if [ -x "$tree/usr/bin/mnet" ]; then
  echo "== the packaged tool"
  ${emulator:+"$emulator"} "$tree/usr/bin/mnet" --version
  [ -f "$tree/usr/share/man/man1/mnet.1" ] || fail "no manual page"
  [ -f "$tree/usr/share/bash-completion/completions/mnet" ] || fail "no bash completion"
fi
