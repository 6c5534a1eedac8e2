#!/bin/bash
# The library exports exactly the names listed in its version script.
set -euo pipefail
lib=$1
map=$2
want=$(grep -E '^\s+[A-Za-z_][A-Za-z0-9_]*;' "$map" | tr -d ' ;' | sort)
have=$(nm -D --defined-only "$lib" | awk '{print $3}' | sed 's/@.*//' | sort)
if [ "$want" != "$have" ]; then
  echo "exported symbols differ from $map:"
  diff <(echo "$want") <(echo "$have") || true
  exit 1
fi
echo "exports: $(echo "$have" | wc -l) names, as listed"
