#!/usr/bin/env bash
# A sparse matrix of 10^7 stored values (100000 x 100000, random doubles)
# to Matrix Market beside scipy in the same run: matwcx extract --as mtx
# against scipy.io.mmwrite of what scipy.io.loadmat reads (the user's other
# way), from a plain and from a compressed MAT-file; and to CSV. Prints the
# ratio. Warm page cache; matwcx best of MATWCX_BENCH_REPS (default 3),
# scipy once (it takes a minute or more). Not a test.
# Usage: bench/sparse_bench.sh [BUILD]
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build}"
reps="${MATWCX_BENCH_REPS:-3}"
py=/usr/bin/python3
tool="$build/matwcx"
work="$(mktemp -d /tmp/matwcx-sparse-bench.XXXXXX)"
trap 'rm -rf "$work"' EXIT

$py - "$work" <<'PY'
import sys, numpy as np, scipy.io as sio, scipy.sparse as sp
n, stored = 100000, 10 ** 7
rng = np.random.default_rng(0)
# 10^7 distinct places: a few more random flat indexes than needed, a
# random 10^7 of the distinct ones kept.
flat = np.unique(rng.integers(0, n * n, stored + stored // 100))
flat = np.sort(rng.choice(flat, stored, replace=False))
s = sp.csc_matrix((rng.standard_normal(stored), (flat % n, flat // n)), shape=(n, n))
assert s.nnz == stored
sio.savemat(sys.argv[1] + '/s.mat', {'s': s})
sio.savemat(sys.argv[1] + '/sc.mat', {'s': s}, do_compression=True)
PY

best() {   # best wall seconds of "$@" over $1 runs; peak MB in $work/peak
  local runs=$1 b="" t0 t1 s
  shift
  for _ in $(seq "$runs"); do
    sync
    t0=$(date +%s.%N)
    /usr/bin/time -f %M -o "$work/rss" "$@" >/dev/null 2>"$work/err" || { tail -3 "$work/err" >&2; echo fail; return; }
    t1=$(date +%s.%N)
    s=$(awk -v a="$t1" -v b="$t0" 'BEGIN { printf "%.3f", a - b }')
    if [[ -z "$b" ]] || awk -v s="$s" -v b="$b" 'BEGIN { exit !(s < b) }'; then b=$s; fi
  done
  echo $(( $(tail -n 1 "$work/rss") / 1024 )) >"$work/peak"
  echo "$b"
}
row() { printf '%-44s %-26s %8s s %6s MB\n' "$1" "$2" "$3" "$(cat "$work/peak")"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

echo "task                                         tool                        seconds   peak"
m=$(best "$reps" "$tool" extract "$work/s.mat" s -d "$work/o1" --as mtx)
row "10^7 stored values to Matrix Market" "matwcx extract --as mtx" "$m"
mc=$(best "$reps" "$tool" extract "$work/sc.mat" s -d "$work/o2" --as mtx)
row "the same, stored compressed" "matwcx extract --as mtx" "$mc"
c=$(best "$reps" "$tool" extract "$work/s.mat" s -d "$work/o3" --as csv)
row "the same to CSV (row,col,value)" "matwcx extract --as csv" "$c"
s=$(best 1 $py -c "import sys,scipy.io as s; s.mmwrite(sys.argv[2], s.loadmat(sys.argv[1])['s'])" "$work/s.mat" "$work/scipy.mtx")
row "" "scipy loadmat + mmwrite" "$s"
echo "    mmwrite / matwcx: $(ratio "$s" "$m") (compressed source: $(ratio "$s" "$mc"))"
# Both files hold the same places and values (scipy's 16 digits, ours the shortest exact).
$py - "$work/o1/s.mtx" "$work/scipy.mtx" <<'PY' || echo "    the two files differ"
import sys, numpy as np, scipy.io as sio
a, b = sio.mmread(sys.argv[1]).tocsc(), sio.mmread(sys.argv[2]).tocsc()
sys.exit(0 if a.shape == b.shape and abs(a - b).max() <= 1e-15 * abs(b).max() else 1)
PY
