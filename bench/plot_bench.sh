#!/usr/bin/env bash
# A line plot of a long double vector (10^8 values, 800 MB; stored plain and
# compressed) drawn to SVG in one pass, beside reading the same values out
# (`--as npy`: inflated and written) and, for the compressed one, beside
# inflating its element alone (Python's zlib, in 16 MB pieces, nothing
# written). Goal: the plot within 1.5x of the inflation. Warm page cache;
# best of MATWCX_BENCH_REPS (default 3). Not a test.
# Usage: bench/plot_bench.sh [BUILD] [VALUES]   (VALUES: 10^8 by default)
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build}"
values="${2:-100000000}"
reps="${MATWCX_BENCH_REPS:-3}"
py=/usr/bin/python3
tool="$build/matwcx"
work="$(mktemp -d /tmp/matwcx-plot-bench.XXXXXX)"
trap 'rm -rf "$work"' EXIT
ini="$work/wcx.ini"
: >"$ini"

# A noisy signal with one spike: compressible about as measured data is.
$py - "$work" "$values" <<'PY'
import sys, numpy as np, scipy.io as sio
n = int(sys.argv[2])
v = np.round(np.sin(np.arange(n) / 5000.0) * 1000 + np.random.default_rng(0).standard_normal(n), 2)
v[n // 3] = 1e4
sio.savemat(sys.argv[1] + '/v.mat', {'v': v})
sio.savemat(sys.argv[1] + '/vc.mat', {'v': v}, do_compression=True)
PY

best() {   # best wall seconds of "$@" over $reps runs; peak MB in $work/peak
  local b="" t0 t1 s
  for _ in $(seq "$reps"); do
    rm -rf "$work/o"
    t0=$(date +%s.%N)
    /usr/bin/time -f %M -o "$work/rss" "$@" >/dev/null 2>"$work/err" || { tail -3 "$work/err" >&2; echo fail; return; }
    t1=$(date +%s.%N)
    s=$(awk -v a="$t1" -v b="$t0" 'BEGIN { printf "%.3f", a - b }')
    if [[ -z "$b" ]] || awk -v s="$s" -v b="$b" 'BEGIN { exit !(s < b) }'; then b=$s; fi
  done
  echo $(( $(tail -n 1 "$work/rss") / 1024 )) >"$work/peak"
  echo "$b"
}
row() { printf '%-40s %-30s %8s s %6s MB\n' "$1" "$2" "$3" "$(cat "$work/peak")"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

inflate='import sys, zlib, struct
with open(sys.argv[1], "rb") as f:
    f.seek(128)
    kind, size = struct.unpack("<II", f.read(8))
    d = zlib.decompressobj()
    left = size
    while left:
        piece = f.read(min(left, 16 << 20))
        left -= len(piece)
        d.decompress(piece)'

echo "task ($values doubles)                     tool                            seconds   peak"
for file in v vc; do
  label=$([[ $file == v ]] && echo "vector stored plain, to SVG" || echo "vector compressed, to SVG")
  svg=$(best "$tool" --ini "$ini" extract "$work/$file.mat" v -d "$work/o" --as svg); row "$label" "matwcx extract --as svg" "$svg"
  npy=$(best "$tool" --ini "$ini" extract "$work/$file.mat" v -d "$work/o" --as npy); row "" "matwcx extract --as npy" "$npy"
  echo "    svg / npy: $(ratio "$svg" "$npy")"
  if [[ $file == vc ]]; then
    z=$(best $py -c "$inflate" "$work/vc.mat"); row "" "zlib inflate of its element" "$z"
    echo "    svg / inflate: $(ratio "$svg" "$z") (goal: at most 1.50)"
  fi
done
