#!/usr/bin/env bash
# What the lister's pictures cost. Not a test.
#
# ListLoad of a file into a parent widget (bench_lister): the seconds to the
# whos table, to the first picture (the plot or image is computed on a
# thread and shown as it grows) and to the whole picture, beside the floor
# of reading what the whole picture must read, in the same run:
#   - 10^4 small variables: their headers (matwcx list, the packer's listing);
#   - a vector of 10^8 doubles (800 MB), uncompressed: cat of the file;
#   - the same compressed: Python's zlib inflating its stored stream;
#   - a 5000x5000 matrix (200 MB): cat of the file.
# Each the best of three; "MB more": the peak memory the lister added to the
# process (the goal: at most 64 MB whatever the file).
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
folder = os.path.join(d, 'folder')
if not os.path.isdir(folder):
    os.makedirs(folder)
    for i in range(1000):
        sio.savemat(os.path.join(folder, 'run%04d.mat' % i), {'signal': np.sin(np.arange(2000) / (10.0 + i)), 'gain': float(i)})
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
lister_once() {   # "first whole table memory" of bench_lister on $1, the best (least whole) of three
  local best="" line
  for _ in 1 2 3; do
    line=$("$build/bench/bench_lister" "$build/matwcx.wlx64" "$1" 2>&1 | tr '\n' ' ')
    local first whole table base rss
    first=$(sed -n 's/.*result seconds=\([0-9.]*\).*/\1/p' <<<"$line")
    whole=$(sed -n 's/.*whole=\([0-9.]*\).*/\1/p' <<<"$line")
    table=$(sed -n 's/.*table=\([0-9.]*\).*/\1/p' <<<"$line")
    base=$(sed -n 's/.*base_kb=\([0-9]*\).*/\1/p' <<<"$line")
    rss=$(sed -n 's/.*rss_kb=\([0-9]*\).*/\1/p' <<<"$line")
    if [[ -z $whole ]]; then echo "bench_lister failed on $1: $line" >&2; return 1; fi
    if [[ -z $best ]] || (( $(echo "$whole < $(cut -d" " -f2 <<<"$best")" | bc -l) )); then
      best="$first $whole $table $(( (rss - base) / 1024 ))"
    fi
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

printf '%-28s %8s %8s %8s %8s %7s %8s\n' case table first whole floor ratio "MB more"
for case in "many.mat:list" "vector.mat:cat" "vector_z.mat:inflate" "matrix.mat:cat"; do
  file=$data/${case%%:*}
  floor=${case##*:}
  read -r first whole table memory <<<"$(lister_once "$file")" || continue
  case $floor in
    list) ref=$(best "$build/matwcx" list "$file") ;;
    cat) ref=$(best cat "$file") ;;
    inflate) ref=$(best inflate "$file") ;;
  esac
  printf '%-28s %8.3f %8.3f %8.3f %8.3f %7.2f %8s\n' "${case%%:*} ($floor)" "$table" "$first" "$whole" "$ref" \
    "$(echo "$whole / $ref" | bc -l)" "$memory"
done

# Quick view through a folder of 1,000 MAT-files (a 2,000-sample signal and
# a scalar each): ListLoadNext into the same window, each plot whole.
line=$("$build/bench/bench_lister" "$build/matwcx.wlx64" "$data/folder" 2>&1 | grep '^result')
seconds=$(sed -n 's/^result seconds=\([0-9.]*\).*/\1/p' <<<"$line")
printf "quick view of 1,000 files: %.3f s, %.2f ms a file\n" "$seconds" "$(echo "$seconds * 1000 / 1000" | bc -l)"
