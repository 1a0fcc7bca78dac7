#!/usr/bin/env bash
# Prints the #include edges between the product's folders and fails on any
# edge that the layering does not allow. The build enforces the same order
# (each layer's target sees only the layers it links); this check also
# catches an include that climbs out of its folder with "../".
# Usage: scripts/check_layers.sh
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

# Each folder and the folders it may include, from the bottom up.
declare -A allowed=(
  [wcx]=""
  [os]=""
  [host]="os wcx"
  [matlib]="os"
  [entry]="os"
  [export]="matlib os"
  [reader]="export entry matlib host os wcx"
  [import]="matlib os"
  [modify]="import entry matlib host os wcx"
  [settings]="os wcx"
  [about]="settings host os wcx"
  [plugin]="about modify reader settings entry matlib host os wcx"
  [content]="reader matlib os wcx"
  [tools]="about os wcx"
  [worker]="matlib os"
)

status=0
for folder in wcx os host matlib entry export import reader modify settings about plugin content tools worker; do
  edges=$(grep -rhoE '^#include "[^"]+"' "$folder" --include='*.h' --include='*.cpp' --include='*.rc' |
          sed -E 's/^#include "([^"]+)"/\1/' | { grep / || true; } | cut -d/ -f1 | sort -u |
          { grep -vx "$folder" || true; } | tr '\n' ' ')
  echo "$folder -> ${edges:-(nothing)}"
  for target in $edges; do
    if [[ " ${allowed[$folder]} " != *" $target "* ]]; then
      echo "check_layers: $folder/ includes $target/, which it may not" >&2
      status=1
    fi
  done
done
exit $status
