#!/usr/bin/env bash
# A build of the libraries alone, as a packager makes it: GoogleTest out of sight, no tool, no
# examples, a multiarch library directory. It must configure, build and install, and a client
# built against the installed copy with pkg-config and a run path to it must start without
# LD_LIBRARY_PATH. Usage: check_library_only.sh SOURCE_DIR CLIENT_DIR LIBDIR [GENERATOR]
set -euo pipefail
source=$1
here=$2
libdir=$3
generator=${4:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset LD_LIBRARY_PATH
fail() { echo "FAILED: $*"; exit 1; }

options=(-DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DMNET_BUILD_TOOLS=OFF -DMNET_BUILD_EXAMPLES=OFF
         -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_INSTALL_LIBDIR=$libdir")
[ -z "$generator" ] || options+=(-G "$generator")
cmake -S "$source" -B "$work/build" "${options[@]}" >"$work/configure.log" 2>&1 || {
  cat "$work/configure.log"
  fail "configure"
}
grep -q "GoogleTest not found: the tests are not built" "$work/configure.log" ||
  fail "configure did not say that the tests are left out"
cmake --build "$work/build" -j 2 >"$work/build.log" 2>&1 || { tail -n 30 "$work/build.log"; fail "build"; }
cmake --install "$work/build" --prefix "$work/prefix" >/dev/null

[ -e "$work/prefix/$libdir/libmnet.so.1" ] || fail "libmnet.so.1 is not in $libdir"
pc=$work/prefix/$libdir/pkgconfig/mnet.pc
[ -f "$pc" ] || fail "no pkg-config file in $libdir/pkgconfig"
[ -f "$work/prefix/$libdir/cmake/mnet/mnetConfig.cmake" ] || fail "no CMake package in $libdir/cmake"
export PKG_CONFIG_PATH=$(dirname "$pc")
[ "$(pkg-config --variable=libdir mnet)" -ef "$work/prefix/$libdir" ] || fail "the pc file's libdir: $(pkg-config --variable=libdir mnet)"
# shellcheck disable=SC2046
c++ -std=c++17 -o "$work/client" "$here/client/client.cpp" $(pkg-config --cflags --libs mnet) \
  "-Wl,-rpath,$work/prefix/$libdir"
"$work/client"

# The CMake package follows the directory too.
cmake -S "$here/client" -B "$work/client-build" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/client-build" >/dev/null
"$work/client-build/client"
