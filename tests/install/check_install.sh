#!/usr/bin/env bash
# Installs the build into a temporary prefix and builds a small client against it twice:
# with pkg-config and with find_package(mnet COMPONENTS mnet msupt). Each client finds the
# libraries through a run path to the prefix alone (never LD_LIBRARY_PATH), and libmnet finds
# libmsupt beside itself through its own run path. A component that does not exist fails with
# a message naming it. Usage: check_install.sh BUILD_DIR CLIENT_DIR CXX
set -euo pipefail
build=$1
here=$2
cxx=${3:-c++}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
unset LD_LIBRARY_PATH

cmake --install "$build" --prefix "$prefix" >/dev/null
for f in lib/libmsupt.so.1 lib/libmnet.so.1 lib/libmnet.so lib/pkgconfig/mnet.pc \
         include/mnet/MirelBufferConnection.hpp include/mnet/inline/MirelConnection.inl \
         include/mnet/MnetVersion.hpp lib/cmake/mnet/mnetConfig.cmake; do
  [ -e "$prefix/$f" ] || { echo "missing after install: $f"; exit 1; }
done
runpath=$(objdump -p "$prefix/lib/libmnet.so.1" | awk '$1 == "RUNPATH" || $1 == "RPATH" { print $2 }')
[ "$runpath" = '$ORIGIN' ] || { echo "libmnet.so.1 has the run path '$runpath', not \$ORIGIN"; exit 1; }

echo "== pkg-config"
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
# shellcheck disable=SC2046
"$cxx" -std=c++17 -o "$work/client-pc" "$here/client/client.cpp" $(pkg-config --cflags --libs mnet) \
  "-Wl,-rpath,$prefix/lib"
"$work/client-pc"

echo "== find_package"
cmake -S "$here/client" -B "$work/client-build" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_COMPILER="$cxx" >/dev/null
cmake --build "$work/client-build" >/dev/null
"$work/client-build/client"

echo "== a component that does not exist"
mkdir "$work/bogus"
cat >"$work/bogus/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(bogus LANGUAGES NONE)
find_package(mnet CONFIG REQUIRED COMPONENTS mnet frobnicate)
CMAKE
if cmake -S "$work/bogus" -B "$work/bogus/build" -DCMAKE_PREFIX_PATH="$prefix" >"$work/bogus.log" 2>&1; then
  echo "find_package(mnet COMPONENTS frobnicate) succeeded"
  exit 1
fi
grep -q "no component frobnicate in mnet; its components are mnet and msupt" "$work/bogus.log" || {
  cat "$work/bogus.log"
  echo "no word on the unknown component"
  exit 1
}
