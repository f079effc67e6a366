#!/usr/bin/env bash
# check_exports.sh MODULE NAME...: fails unless MODULE's dynamic symbol table defines exactly
# the names given. A NAME with a * is a pattern (quote it): symbols it matches may be
# exported, none has to be. A plain NAME must be exported. Any exported symbol no NAME
# matches fails the check, so a symbol that leaks out of a module's insides (a missing
# `static`, a new export, a slip in dev/exports.map) is caught by ctest.
set -euo pipefail
module=$1
shift
exported=$(nm -D --defined-only "$module" | awk '{print $NF}' | sort -u)
status=0
for name in "$@"; do
  case $name in *'*'*) continue ;; esac
  grep -qxF -- "$name" <<<"$exported" || { echo "not exported: $name"; status=1; }
done
while read -r symbol; do
  [ -n "$symbol" ] || continue
  allowed=0
  for name in "$@"; do
    # shellcheck disable=SC2053  # the name is a pattern on purpose
    [[ $symbol == $name ]] && { allowed=1; break; }
  done
  [ $allowed = 1 ] || { echo "exported but not listed: $symbol"; status=1; }
done <<<"$exported"
[ $status = 0 ] && echo "$(basename "$module"): $(wc -l <<<"$exported") symbols, as listed"
exit $status
