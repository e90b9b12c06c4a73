#!/usr/bin/env bash
# Makes the binary tarball of the build with CPack (cpack -G TGZ), unpacks it into a temporary
# tree, and builds the small client against that tree with its pkg-config file and a run path
# into it, then runs the client and the packed tool. Also checks that the tarball holds the
# libraries, the tool's manual page and completion, and the tmpfiles.d and sysusers.d entries.
# Usage: check_tarball.sh BUILD_DIR CLIENT_DIR CXX [EMULATOR]
# EMULATOR runs the packed tool of a cross build (qemu-i386 for the 32-bit one).
set -euo pipefail
build=$1
here=$2
cxx=${3:-c++}
emulator=${4:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset LD_LIBRARY_PATH
fail() { echo "FAILED: $*"; exit 1; }

(cd "$build" && cpack -G TGZ -B "$work/packages" >"$work/cpack.log" 2>&1) || {
  cat "$work/cpack.log"
  fail "cpack -G TGZ"
}
shopt -s nullglob
tarballs=("$work"/packages/*.tar.gz)
[ ${#tarballs[@]} -eq 1 ] || fail "cpack made ${#tarballs[@]} tarballs"
tree=$work/tree
mkdir "$tree"
tar -xzf "${tarballs[0]}" -C "$tree" --strip-components=1
echo "== $(basename "${tarballs[0]}")"

libdir=$(dirname "$(find "$tree" -name libmnet.so.1 | head -n 1)")
[ -n "$libdir" ] && [ -e "$libdir/libmsupt.so.1" ] || fail "the libraries are not in the tarball"
[ -f "$tree/lib/tmpfiles.d/mnet.conf" ] || fail "no tmpfiles.d entry"
[ -f "$tree/lib/sysusers.d/mnet.conf" ] || fail "no sysusers.d entry"

echo "== a client against the unpacked tree"
pc=$(find "$tree" -name mnet.pc | head -n 1)
[ -n "$pc" ] || fail "no pkg-config file"
export PKG_CONFIG_PATH=$(dirname "$pc")
# shellcheck disable=SC2046
"$cxx" -std=c++17 -o "$work/client" "$here/client/client.cpp" $(pkg-config --cflags --libs mnet) \
  "-Wl,-rpath,$libdir"
"$work/client"

if [ -x "$tree/bin/mnet" ]; then
  echo "== the packed tool"
  ${emulator:+"$emulator"} "$tree/bin/mnet" --version
  [ -f "$tree/share/man/man1/mnet.1" ] || fail "no manual page"
  [ -f "$tree/share/bash-completion/completions/mnet" ] || fail "no bash completion"
fi
