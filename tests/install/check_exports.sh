#!/usr/bin/env bash
# The libraries export their public classes and nothing of their internal helpers.
# Usage: check_exports.sh LIBMNET LIBMSUPT
set -euo pipefail
mnet=$1
msupt=$2
symbols_mnet=$(nm -DC --defined-only "$mnet")
symbols_msupt=$(nm -DC --defined-only "$msupt")
fail=0
for want in 'MirelNet::MirelConnection::receiveString' 'MirelNet::MirelBufferConnection::transfer' \
            'MirelSupport::MirelSmartPointer<MirelNet::MirelConnection>::getOwnership'; do
  grep -qF "$want" <<<"$symbols_mnet" || { echo "libmnet does not export $want"; fail=1; }
done
for want in 'MirelSupport::MirelLogging::getInstance' 'MirelSupport::MirelThread::start'; do
  grep -qF "$want" <<<"$symbols_msupt" || { echo "libmsupt does not export $want"; fail=1; }
done
if grep -E 'MirelNet::detail::|mnettest' <<<"$symbols_mnet"; then
  echo "libmnet exports internal helpers (above)"
  fail=1
fi
if grep -E '\(anonymous namespace\)' <<<"$symbols_mnet$symbols_msupt"; then
  echo "a library exports file-local symbols (above)"
  fail=1
fi
exit $fail
