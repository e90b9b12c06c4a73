#!/usr/bin/env bash
# Installs the build into a temporary prefix and builds a small client against it twice:
# with pkg-config and with find_package(mnet). Usage: check_install.sh BUILD_DIR CLIENT_DIR CXX
set -euo pipefail
build=$1
here=$2
cxx=${3:-c++}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
for f in lib/libmsupt.so.1 lib/libmnet.so.1 lib/libmnet.so lib/pkgconfig/mnet.pc \
         include/mnet/MirelBufferConnection.hpp include/mnet/inline/MirelConnection.inl \
         lib/cmake/mnet/mnetConfig.cmake; do
  [ -e "$prefix/$f" ] || { echo "missing after install: $f"; exit 1; }
done

echo "== pkg-config"
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
# shellcheck disable=SC2046
"$cxx" -std=c++17 -o "$work/client-pc" "$here/client/client.cpp" $(pkg-config --cflags --libs mnet)
LD_LIBRARY_PATH=$prefix/lib "$work/client-pc"

echo "== find_package"
cmake -S "$here/client" -B "$work/client-build" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_COMPILER="$cxx" >/dev/null
cmake --build "$work/client-build" >/dev/null
LD_LIBRARY_PATH=$prefix/lib "$work/client-build/client"
