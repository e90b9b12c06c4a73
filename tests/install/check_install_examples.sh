#!/usr/bin/env bash
# Installs the build into a temporary prefix, runs the installed mnet tool, then builds the
# examples against the prefix twice, with pkg-config and with find_package(mnet), and runs
# them. Every program finds the libraries through its run path, never LD_LIBRARY_PATH.
# Usage: check_install_examples.sh BUILD_DIR EXAMPLES_DIR CXX
set -euo pipefail
build=$1
examples=$2
cxx=${3:-c++}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
unset LD_LIBRARY_PATH
# The sinks of the examples use TCP, which every machine has.
export QVINTF_CALLB_CONN_TYPE=socket

cmake --install "$build" --prefix "$prefix" >/dev/null
[ -x "$prefix/bin/mnet" ] || { echo "missing after install: bin/mnet"; exit 1; }

echo "== installed tool"
version=$("$prefix/bin/mnet" --version)
echo "$version"
case $version in
  "mnet "[0-9]*" (libmnet "[0-9]*")") ;;
  *) echo "unexpected version line: $version"; exit 1 ;;
esac

echo "== pkg-config"
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
for example in notification_round_trip request_response; do
  # shellcheck disable=SC2046
  "$cxx" -std=c++17 -o "$work/$example-pc" "$examples/$example.cpp" $(pkg-config --cflags --libs mnet) \
    "-Wl,-rpath,$prefix/lib"
  "$work/$example-pc"
done

echo "== find_package"
cmake -S "$examples" -B "$work/examples-build" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_COMPILER="$cxx" >/dev/null
cmake --build "$work/examples-build" >/dev/null
for example in notification_round_trip request_response; do
  "$work/examples-build/$example"
done
