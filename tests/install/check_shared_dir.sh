#!/usr/bin/env bash
# The shared-service directory as it is made, never open to other users:
#  1. the installed sysusers.d and tmpfiles.d entries, applied to a scratch root, make the group
#     mirel and the directory root's, group mirel, mode 3770 (also tightening a 1777 one);
#  2. in a private mount namespace where the directory is missing, 'mnet demo' makes it 3770
#     and runs its pipe transport through it;
#  3. in another, scripts/ensure-shared-dir makes it 3770 with a given group, and the endpoint
#     security tests pass there: other users enter through that group, every endpoint takes it,
#     and two members reach each other's sinks (only the test of a user outside the endpoint's
#     group has no such user there and skips).
# Parts that need what is missing here (root, a private mount namespace, systemd's tools) are
# skipped with a message; exits 77 when all of them are.
# Usage: check_shared_dir.sh SOURCE_DIR MNET ENDPOINT_SECURITY_TEST [EMULATOR]
set -uo pipefail
source=$1
mnet=$2
security=$3
emulator=${4:-}
dir=/opt/mirel/pelnix/var/lib/corvane/shrsvc
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAILED: $*"; exit 1; }
ran=0

echo "== the tmpfiles.d and sysusers.d entries"
if command -v systemd-tmpfiles >/dev/null 2>&1 && command -v systemd-sysusers >/dev/null 2>&1; then
  root=$work/root
  mkdir -p "$root/etc" "$root$dir"
  chmod 1777 "$root$dir"  # as scripts made it before: the entry must tighten it
  systemd-sysusers --root="$root" "$source/packaging/mnet-sysusers.conf" || fail "systemd-sysusers"
  gid=$(awk -F: '$1 == "mirel" { print $3 }' "$root/etc/group")
  [ -n "$gid" ] || fail "no group mirel in the scratch root"
  systemd-tmpfiles --root="$root" --create "$source/packaging/mnet-tmpfiles.conf" || fail "systemd-tmpfiles"
  [ "$(stat -c '%a %u %g' "$root$dir")" = "3770 0 $gid" ] ||
    fail "the entry made $(stat -c '%a %u %g' "$root$dir"), not 3770 0 $gid"
  ran=1
else
  echo "skipped: systemd-tmpfiles or systemd-sysusers is missing"
fi

if [ "$(id -u)" -ne 0 ] || ! unshare -m true 2>/dev/null; then
  echo "skipped: the namespace parts need root and a private mount namespace"
  [ $ran -eq 1 ] && exit 0 || exit 77
fi
parent=$(dirname "$dir")
while [ ! -d "$parent" ]; do
  parent=$(dirname "$parent")
done
# private COMMAND...: runs the command where the shared-service directory is missing (in a
# mount namespace of its own, an empty file system over its nearest existing parent), then
# prints the directory's mode, owner and group on a last line "dir: MODE UID GROUP".
private() {
  timeout 100 unshare -m sh -c '
    mount -t tmpfs -o mode=0755 tmpfs "$1" || exit 97
    dir=$2
    shift 2
    "$@"
    rc=$?
    echo "dir: $(stat -c "%a %u %G" "$dir" 2>&1)"
    exit $rc' sh "$parent" "$dir" "$@"
}

echo "== mnet demo makes the directory"
private ${emulator:+"$emulator"} "$mnet" demo --count 5 --timeout 2000 >"$work/demo.out" 2>&1
rc=$?
cat "$work/demo.out"
[ $rc -ne 97 ] || fail "cannot mount in the private namespace"
[ $rc -eq 0 ] || fail "mnet demo: exit code $rc"
grep -Eq "^pipe +pipe:qvintf[0-9a-f]+ +5 +5 " "$work/demo.out" || fail "the demo did not run the pipe transport"
grep -Eq "^dir: 3770 0 " "$work/demo.out" || fail "mnet demo did not make the directory root's with mode 3770"

echo "== scripts/ensure-shared-dir, and other users reaching endpoints through its group"
# A group that nobody is not in, so that only the directory's group lets nobody in.
nobody_gid=$(id -g nobody 2>/dev/null || echo -1)
group=
for candidate in daemon bin sys adm; do
  gid=$(getent group "$candidate" | cut -d: -f3)
  if [ -n "$gid" ] && [ "$gid" != "$nobody_gid" ] && ! id -nG nobody 2>/dev/null | grep -qw "$candidate"; then
    group=$candidate
    break
  fi
done
[ -n "$group" ] || fail "no group to give the directory"
private sh -c 'MNET_SHARED_DIR_GROUP=$1 "$2" && shift 2 && exec "$@"' sh "$group" \
  "$source/scripts/ensure-shared-dir" ${emulator:+"$emulator"} "$security" >"$work/security.out" 2>&1
rc=$?
cat "$work/security.out"
[ $rc -eq 0 ] || fail "exit code $rc"
grep -Eq "^dir: 3770 0 $group$" "$work/security.out" || fail "ensure-shared-dir did not make it 3770 root:$group"
grep -q "^\[  FAILED  \]" "$work/security.out" && fail "an endpoint security test failed"
# In a set-group-id directory every endpoint takes its group, so the one test about a user
# outside the endpoint's group has nobody to try; every other test runs.
# Under an emulator that does not pass SO_PEERGROUPS on, the two tests of group members skip.
allowed="UserOutsideOwnerAndGroupIsRefused"
if [ -n "$emulator" ]; then
  allowed="$allowed|PipeSinkPolicyDecidesWhetherAnotherMemberOfTheGroupDelivers|TwoMembersOfTheDirectorysGroupReachEachOthersSinks"
fi
[ -n "$emulator" ] ||
  grep -q "^\[       OK \] EndpointSecurity.TwoMembersOfTheDirectorysGroupReachEachOthersSinks" \
    "$work/security.out" || fail "two members of the group did not reach each other"
! grep "^\[  SKIPPED \] EndpointSecurity\." "$work/security.out" |
  grep -Evq "$allowed" || fail "an endpoint security test was skipped"
echo "ok"
