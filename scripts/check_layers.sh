#!/usr/bin/env bash
# Prints the #include edges between the product's folders and fails on any
# edge that the layering does not allow. The build enforces the same order
# (each layer's target sees only the layers it links); this check also
# catches an include that climbs out of its folder with "../".
# Usage: scripts/check_layers.sh
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

# The MAT-file engine's layers, from the bottom: each may include the
# layers below it (and os/), never one above.
engine=(codec v73client matlib update objects)

# Each folder and the folders it may include, from the bottom up.
declare -A allowed=(
  [wcx]=""
  [os]=""
  [host]="os wcx"
  [codec]="os"
  [v73client]="codec os"
  [matlib]="v73client codec os"
  [update]="matlib v73client codec os"
  [objects]="update matlib v73client codec os"
  [entry]="os"
  [picture]=""
  [export]="picture objects matlib os"
  [reader]="export picture entry objects matlib codec host os wcx"
  [import]="matlib os"
  [modify]="import entry matlib host os wcx"
  [settings]="os wcx"
  [about]="settings host os wcx"
  [plugin]="about modify reader settings entry matlib host os wcx"
  [content]="reader matlib os wcx"
  [lister]="reader picture matlib os wcx"
  [tools]="about picture os wcx"
  [worker]="v73client codec os"
)

echo "engine layers, bottom up: ${engine[*]}"
status=0
for folder in wcx os host "${engine[@]}" entry picture export import reader modify settings about plugin content lister tools worker; do
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
# Every engine layer lists only layers below it: one above would be a cycle.
for ((i = 0; i < ${#engine[@]}; ++i)); do
  for ((j = i + 1; j < ${#engine[@]}; ++j)); do
    if [[ " ${allowed[${engine[i]}]} " == *" ${engine[j]} "* ]]; then
      echo "check_layers: ${engine[i]}/ may include ${engine[j]}/, a layer above it" >&2
      status=1
    fi
  done
done
# The same order in what the engine's libraries call, when a build holds
# them (CHECK_LAYERS_BUILD, else build/): a call upwards through a
# declaration of its own compiles, and a static link may still resolve it.
lib_dir=${CHECK_LAYERS_BUILD:-build}
if [[ -f $lib_dir/libmatwcx_codec.a ]]; then
  above=""
  for ((i = ${#engine[@]} - 1; i >= 0; --i)); do
    lib=$lib_dir/libmatwcx_${engine[i]}.a
    if [[ -n $above ]]; then
      calls=$(comm -12 <(nm -g --undefined-only "$lib" 2>/dev/null | awk 'NF == 2 {print $2}' | sort -u) \
                       <(echo "$above" | grep -v '^$' | sort -u) | tr '\n' ' ')
      if [[ -n $calls ]]; then
        echo "check_layers: ${engine[i]} calls a layer above it: $calls" >&2
        status=1
      fi
    fi
    above+=$(nm -g --defined-only "$lib" 2>/dev/null | awk 'NF == 3 && $2 ~ /[TDRBVW]/ {print $3}')$'\n'
  done
  [[ $status -ne 0 ]] || echo "engine libraries ($lib_dir): no call upwards"
fi
exit $status
