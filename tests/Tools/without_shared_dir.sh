#!/usr/bin/env bash
# mnet where the shared-service directory is missing and cannot be created. The demo must say
# so, skip the pipe transport, run TCP and UDP and still exit 0; a pipe listener must fail
# with one line on standard error and exit 1. The directory is hidden in a private mount
# namespace under a read-only empty file system, so nothing outside changes.
# Exits 77 (skipped) where such a namespace cannot be made. Usage: without_shared_dir.sh MNET
set -uo pipefail
mnet=$1
parent=/opt/mirel/pelnix/var/lib/corvane
if ! unshare -m true 2>/dev/null && ! unshare -rm true 2>/dev/null; then
  echo "skipped: no private mount namespace here"
  exit 77
fi
# As root, or as a user mapped to root in a user namespace of its own.
flags=-m
unshare -m true 2>/dev/null || flags=-rm
# Hide the nearest existing directory above the shared-service directory, so that it is missing.
while [ ! -d "$parent" ]; do
  parent=$(dirname "$parent")
done
# Runs MNET with the given arguments in the namespace, for at most 50 seconds; standard error
# goes to $work/err.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
hidden() {
  timeout 50 unshare $flags sh -c '
    mount -t tmpfs -o ro tmpfs "$1" || exit 77
    shift
    exec "$@"' sh "$parent" "$mnet" "$@" 2>"$work/err"
}
output=$(hidden demo --count 20 --timeout 500)
rc=$?
cat "$work/err"
echo "$output"
if [ $rc -eq 77 ]; then
  echo "skipped: cannot mount in the private namespace"
  exit 77
fi
fail() { echo "FAILED: $*"; exit 1; }
[ $rc -eq 0 ] || fail "exit code $rc"
grep -q "shrsvc is missing and cannot be created here" <<<"$output" || fail "no note on the missing directory"
grep -q "sudo install -d -o root -g mirel -m 3770 " <<<"$output" || fail "no word on how to make the directory"
grep -q "The pipe transport is skipped" <<<"$output" || fail "no word on the skipped pipe transport"
grep -Eq "^pipe +- +0 +0 " <<<"$output" || fail "no skipped pipe row"
grep -Eq "^socket +socket:127\.0\.0\.1:[0-9]+ +20 +20 " <<<"$output" || fail "TCP row incomplete"
grep -Eq "^udp +udp:127\.0\.0\.1:[0-9]+ +20 +20 " <<<"$output" || fail "UDP row incomplete"
grep -q "^all 40 notifications delivered" <<<"$output" || fail "no success line"

output=$(hidden listen --type pipe)
rc=$?
cat "$work/err"
[ $rc -eq 1 ] || fail "pipe listener: exit code $rc"
[ -z "$output" ] || fail "pipe listener printed: $output"
[ "$(wc -l <"$work/err")" -eq 1 ] || fail "pipe listener: not exactly one line on standard error"
grep -q "^mnet listen: cannot start the sink: MirelPipeServer::init: failed to prepare pipe. (code 2: " "$work/err" ||
  fail "pipe listener: unexpected message"
# It names the directory and says how to make it, or how to do without.
grep -Fq "; the shared-service directory /opt/mirel/pelnix/var/lib/corvane/shrsvc is missing: create it with 'sudo groupadd -f --system mirel && sudo install -d -o root -g mirel -m 3770 /opt/mirel/pelnix/var/lib/corvane/shrsvc', or listen with --type socket or --type udp" "$work/err" ||
  fail "pipe listener: no word on the missing directory"
echo "ok"
