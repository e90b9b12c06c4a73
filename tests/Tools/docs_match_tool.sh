#!/usr/bin/env bash
# The bash completion and the manual page keep up with the tool: for each subcommand, the
# options that 'mnet SUBCOMMAND --help' lists are the ones the completion offers, and each is
# in the manual page; the completion offers the subcommands and the --type values. Every
# environment variable the tool and the library read is in the manual page, which refers on.
# Usage: docs_match_tool.sh MNET TOOL_SOURCE_DIR [EMULATOR]
set -uo pipefail
mnet=$1
tool=$2
emulator=${3:-}
fail() { echo "FAILED: $*"; exit 1; }
# shellcheck disable=SC1091
source "$tool/mnet.bash-completion"

# completions WORD...: what the completion offers after "mnet WORD...", sorted, one line.
completions() {
  COMP_WORDS=(mnet "$@")
  COMP_CWORD=$#
  COMPREPLY=()
  _mnet
  printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' '
}

manual=$(sed 's/\\-/-/g' "$tool/mnet.1")
[ "$(completions '')" = "--help --quiet --verbose --version -q -v demo help listen notify " ] ||
  fail "subcommands offered: $(completions '')"
[ "$(completions listen --type '')" = "pipe socket tcp udp " ] || fail "--type values: $(completions listen --type '')"
for command in listen notify demo; do
  help=$(${emulator:+"$emulator"} "$mnet" "$command" --help) || fail "mnet $command --help"
  from_help=$( (grep -oE -- '(^| )--[a-z]+' <<<"$help" | tr -d ' '; echo --help) | sort -u | tr '\n' ' ')
  offered=$(completions "$command" --)
  [ "$from_help" = "$offered" ] || fail "$command: the help lists '$from_help', the completion offers '$offered'"
  for option in $from_help; do
    grep -q -- "$option" <<<"$manual" || fail "$command: $option is not in the manual page"
  done
done
for variable in QVINTF_CALLB_CONN_TYPE MIREL_NOTIFY_TIMEOUT_MS MIREL_LOG_LEVEL MIREL_LOG_FILE \
  MIREL_SINK_ALLOW MIREL_SINK_ADDRESS; do
  grep -q -- "^\.B $variable\$" "$tool/mnet.1" || fail "$variable is not under ENVIRONMENT in the manual page"
done
grep -q '^\.SH SEE ALSO' "$tool/mnet.1" || fail "the manual page has no SEE ALSO"
echo "ok"
