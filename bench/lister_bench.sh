#!/usr/bin/env bash
# What the lister's first picture costs. Not a test.
#
# ListLoad of a file into a parent widget (bench_lister: the whos table
# filled and the first plot or image computed, as F3 shows them), beside the
# floor of reading what it must read, in the same run:
#   - 10^4 small variables: their headers (matwcx list, the packer's listing);
#   - a vector of 10^8 doubles (800 MB), uncompressed: cat of the file;
#   - the same compressed: Python's zlib inflating its stored stream;
#   - a 5000x5000 matrix (200 MB): cat of the file.
# Each the best of three; peak memory of the lister beside the process's own.
#
# Usage: bench/lister_bench.sh
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${MATWCX_BENCH_BUILD:-$root/build}"
data="${MATWCX_BENCH_DIR:-/tmp/matwcx-bench}/lister"
mkdir -p "$data"
cmake --build "$build" -j2 --target bench_lister matwcx_lister matwcx >/dev/null || exit 1

/usr/bin/python3 - "$data" <<'PY' || exit 1
import os, sys
import numpy as np, scipy.io as sio
d = sys.argv[1]
def make(name, variables, compress):
    path = os.path.join(d, name)
    if not os.path.exists(path):
        sio.savemat(path, variables, do_compression=compress)
make('many.mat', {'v%05d' % i: np.array([[float(i)]]) for i in range(10000)}, False)
signal = np.sin(np.arange(10**8) / 1000.0)
make('vector.mat', {'signal': signal.reshape(1, -1)}, False)
make('vector_z.mat', {'signal': signal.reshape(1, -1)}, True)
x = np.linspace(-3, 3, 5000)
make('matrix.mat', {'Z': np.outer(np.sin(x), np.cos(x))}, False)
PY

best() {   # best of three seconds of "$@"
  local best=""
  for _ in 1 2 3; do
    local start end took
    start=$(date +%s.%N)
    "$@" >/dev/null 2>&1
    end=$(date +%s.%N)
    took=$(echo "$end - $start" | bc -l)
    if [[ -z $best ]] || (( $(echo "$took < $best" | bc -l) )); then best=$took; fi
  done
  echo "$best"
}
lister_best() {   # best of three "result seconds=" of bench_lister on $1; memory of the last
  local best="" line
  for _ in 1 2 3; do
    line=$("$build/bench/bench_lister" "$build/matwcx.wlx64" "$1" 2>&1)
    local took=$(sed -n 's/^result seconds=\([0-9.]*\).*/\1/p' <<<"$line")
    memory=$(grep -o 'base_kb=.*' <<<"$line")
    if [[ -z $best ]] || (( $(echo "$took < $best" | bc -l) )); then best=$took; fi
  done
  echo "$best"
}
inflate() {   # the compressed variable's stream inflated, nothing else
  /usr/bin/python3 - "$1" <<'PY'
import sys, zlib, struct
data = open(sys.argv[1], 'rb').read()
size = struct.unpack('<I', data[132:136])[0]
zlib.decompress(data[136:136 + size])
PY
}

printf '%-28s %10s %10s %7s  %s\n' case lister floor ratio memory
for case in "many.mat:list" "vector.mat:cat" "vector_z.mat:inflate" "matrix.mat:cat"; do
  file=$data/${case%%:*}
  floor=${case##*:}
  memory=""
  took=$(lister_best "$file")
  case $floor in
    list) ref=$(best "$build/matwcx" list "$file") ;;
    cat) ref=$(best cat "$file") ;;
    inflate) ref=$(best inflate "$file") ;;
  esac
  printf '%-28s %10.3f %10.3f %7.2f  %s\n' "${case%%:*} (floor: $floor)" "$took" "$ref" "$(echo "$took / $ref" | bc -l)" "$memory"
done
