#!/usr/bin/env bash
# The log as the environment configures it, in fresh processes of log_probe: a level that is
# not 0 to 9 and a file that cannot be opened are each reported once on standard error (and
# the log goes on as the report says); two processes sharing a file are told apart by the
# process id in their records; a FIFO without a reader never holds a record; standard error
# closed at start is never written to, whatever takes its number later. Usage: log_environment.sh LOG_PROBE [EMULATOR]
set -uo pipefail
probe=$1
emulator=${2:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAILED: $*"; exit 1; }
time_re='[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}Z'

# run NAME TEXT: runs the probe with the environment given before the call; its standard
# error goes to $work/NAME.err, its process id to the variable pid.
run() {
  ${emulator:+"$emulator"} "$probe" "$2" 2>"$work/$1.err" &
  pid=$!
  wait $pid || fail "$1: the probe failed"
}

MIREL_LOG_LEVEL=loud run word a
[ "$(wc -l <"$work/word.err")" -eq 1 ] || { cat "$work/word.err"; fail "word: not one line on standard error"; }
grep -qx "MirelLogging: MIREL_LOG_LEVEL='loud' is not a level from 0 to 9; level 0 is used (nothing is logged)" \
  "$work/word.err" || { cat "$work/word.err"; fail "word: unexpected report"; }

# A value with a line break, and too long to be shown whole: shown escaped and cut, one line.
MIREL_LOG_LEVEL=$'1\n'$(printf '%0300d' 0) run long a
expected="MirelLogging: MIREL_LOG_LEVEL='1\\n$(printf '%0254d' 0)...' is not a level from 0 to 9; level 0 is used (nothing is logged)"
[ "$(cat "$work/long.err")" = "$expected" ] || { cat "$work/long.err"; fail "long: not shown escaped and cut"; }

MIREL_LOG_LEVEL=1 MIREL_LOG_FILE=/nonexistent-dir/x.log run nofile b
mapfile -t lines <"$work/nofile.err"
[ ${#lines[@]} -eq 2 ] || { cat "$work/nofile.err"; fail "nofile: not a report and one record"; }
[[ ${lines[0]} == "MirelLogging: MIREL_LOG_FILE='/nonexistent-dir/x.log' cannot be opened ("*"); the log goes to standard error" ]] ||
  fail "nofile: unexpected report: ${lines[0]}"
[[ ${lines[1]} =~ ^$time_re\ $pid\ \[1\]\ log_probe:\ b$ ]] || fail "nofile: unexpected record: ${lines[1]}"

# Two processes, one file: level 12 is reported and taken as 9, so each writes both records.
export MIREL_LOG_LEVEL=12 MIREL_LOG_FILE=$work/shared.log
run first c
first=$pid
run second c
second=$pid
unset MIREL_LOG_LEVEL MIREL_LOG_FILE
for name in first second; do
  grep -qx "MirelLogging: MIREL_LOG_LEVEL='12' is not a level from 0 to 9; level 9 is used" "$work/$name.err" ||
    { cat "$work/$name.err"; fail "$name: no report on level 12"; }
done
[ "$(wc -l <"$work/shared.log")" -eq 4 ] || { cat "$work/shared.log"; fail "shared: not four records"; }
for p in $first $second; do
  [ "$(grep -cE "^$time_re $p \[[19]\] log_probe: c$" "$work/shared.log")" -eq 2 ] ||
    { cat "$work/shared.log"; fail "shared: not two records of process $p"; }
done

# A FIFO that nobody reads: the open fails at once and is reported; the record goes on.
mkfifo "$work/fifo"
MIREL_LOG_LEVEL=1 MIREL_LOG_FILE=$work/fifo timeout 20 ${emulator:+"$emulator"} "$probe" e 2>"$work/fifo.err"
rc=$?
[ $rc -ne 124 ] || fail "fifo: the first record waited for a reader"
[ $rc -eq 0 ] || fail "fifo: the probe failed ($rc)"
grep -q "^MirelLogging: MIREL_LOG_FILE='$work/fifo' cannot be opened (" "$work/fifo.err" ||
  { cat "$work/fifo.err"; fail "fifo: no report"; }
grep -qE "log_probe: e$" "$work/fifo.err" || { cat "$work/fifo.err"; fail "fifo: the record was lost"; }

# Standard error closed at start: the socket pair that takes descriptor 2 receives no record.
MIREL_LOG_LEVEL=9 ${emulator:+"$emulator"} "$probe" f peer 2>&-
rc=$?
[ $rc -ne 3 ] || fail "closed: a record landed in the program's socket"
[ $rc -eq 0 ] || fail "closed: the probe failed ($rc)"

MIREL_LOG_LEVEL=1 MIREL_LOG_FILE=$work/good.log run good d
[ ! -s "$work/good.err" ] || { cat "$work/good.err"; fail "good: a valid configuration was reported"; }
echo "ok"
