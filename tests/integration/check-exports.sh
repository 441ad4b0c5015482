#!/usr/bin/env bash
# A shared object exports exactly the named functions and nothing else.
#   check-exports.sh LIBRARY NAME...
set -euo pipefail
lib=$1
shift
want=$(printf '%s\n' "$@" | sort)
have=$(nm -D --defined-only "$lib" | awk '{print $3}' | sort)
if [ "$have" != "$want" ]; then
  echo "FAIL $lib exports:"
  diff <(echo "$want") <(echo "$have") || true
  exit 1
fi
echo "ok   $lib exports exactly: $(echo $want)"
