#!/usr/bin/env bash
# Variables out as CSV and NPY and NPY files in, beside the tools a user
# would otherwise use, in the same run: a 100 MB double matrix (3536 x 3536)
# to CSV (numpy.savetxt, pandas to_csv; stored plain, compressed and as
# version 7.3), to NPY
# (a byte copy of its 100 MB with fsync), and a 100 MB NPY packed into a
# MAT-file (scipy.io.savemat, compressed into a new file and plain into an
# existing one). Warm page cache; best of MATWCX_BENCH_REPS (default 3).
# Not a test.
# Usage: bench/export_bench.sh [BUILD]
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build}"
reps="${MATWCX_BENCH_REPS:-3}"
py=/usr/bin/python3
tool="$build/matwcx"
work="$(mktemp -d /tmp/matwcx-export-bench.XXXXXX)"
trap 'rm -rf "$work"' EXIT
ini="$work/wcx.ini"
"$tool" --ini "$ini" options --add on >/dev/null

$py - "$work" <<'PY'
import sys, numpy as np, scipy.io as sio
a = np.random.default_rng(0).standard_normal((3536, 3536))
sio.savemat(sys.argv[1] + '/m.mat', {'m': a})
sio.savemat(sys.argv[1] + '/mc.mat', {'m': a}, do_compression=True)
np.save(sys.argv[1] + '/big.npy', a)
try:   # its version 7.3 twin (compressed, as MATLAB saves it)
    import hdf5storage
    hdf5storage.savemat(sys.argv[1] + '/m73.mat', {'m': a}, format='7.3')
except ImportError:
    pass
PY

best() {   # best wall seconds of "$@" over $reps runs; peak MB in $rss
  local b="" t0 t1 s
  for _ in $(seq "$reps"); do
    sync   # earlier rows' files written back first: each fsync here waits for its own bytes only
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
m=$(best "$tool" extract "$work/m.mat" m -d "$work/o1" --as csv); row "100 MB double matrix to CSV" "matwcx extract --as csv" "$m"
savetxt() {   # best seconds of numpy.savetxt writing the MAT-file $1's m
  best $py -c "import sys,scipy.io as s,numpy as np; np.savetxt(sys.argv[2], s.loadmat(sys.argv[1])['m'], delimiter=',', fmt='%.17g')" "$1" "$work/s.csv"
}
s=$(savetxt "$work/m.mat")
row "" "numpy.savetxt (%.17g)" "$s"; echo "    savetxt / matwcx: $(ratio "$s" "$m")"
p=$(best $py -c "import sys,scipy.io as s,pandas as pd; pd.DataFrame(s.loadmat(sys.argv[1])['m']).to_csv(sys.argv[2], header=False, index=False)" "$work/m.mat" "$work/p.csv")
row "" "pandas to_csv" "$p"; echo "    to_csv / matwcx: $(ratio "$p" "$m")"
m=$(best "$tool" extract "$work/mc.mat" m -d "$work/o3" --as csv); row "the same matrix compressed, to CSV" "matwcx extract --as csv" "$m"
s=$(savetxt "$work/mc.mat")
row "" "numpy.savetxt (%.17g)" "$s"; echo "    savetxt / matwcx: $(ratio "$s" "$m")"

if [[ -f "$work/m73.mat" ]]; then
  t=$(best "$tool" extract "$work/m73.mat" m -d "$work/o5" --as csv); row "its version 7.3 twin, to CSV" "matwcx extract --as csv" "$t"
  echo "    version 7.3 / compressed version 7: $(ratio "$t" "$m")"
  t=$(best "$tool" extract "$work/m73.mat" m -d "$work/o6" --as npy); row "its version 7.3 twin, to NPY" "matwcx extract --as npy" "$t"
fi

m=$(best "$tool" extract "$work/m.mat" m -d "$work/o2" --as npy); row "100 MB double matrix to NPY" "matwcx extract --as npy" "$m"
c=$(best dd if="$work/m.mat" of="$work/copy" bs=4M conv=fsync status=none); row "" "dd conv=fsync (byte copy)" "$c"
echo "    matwcx / copy: $(ratio "$m" "$c")"

m=$(best bash -c "rm -f '$work/n.mat'; '$tool' --ini '$ini' add --yes '$work/n.mat' '$work/big.npy'"); row "100 MB NPY packed into a new MAT-file" "matwcx add (compressed)" "$m"
s=$(best $py -c "import sys,numpy as np,scipy.io as s; s.savemat(sys.argv[2], {'big': np.load(sys.argv[1])}, do_compression=True)" "$work/big.npy" "$work/s.mat")
row "" "scipy savemat (compressed)" "$s"; echo "    matwcx / savemat: $(ratio "$m" "$s")"
$py -c "import sys,scipy.io as s; s.savemat(sys.argv[1], {'a': 1.0})" "$work/e.mat"
m=$(best bash -c "cp '$work/e.mat' '$work/u.mat'; '$tool' --ini '$ini' add --yes '$work/u.mat' '$work/big.npy'"); row "100 MB NPY packed into an uncompressed file" "matwcx add" "$m"
s=$(best $py -c "import sys,numpy as np,scipy.io as s; s.savemat(sys.argv[2], {'big': np.load(sys.argv[1])})" "$work/big.npy" "$work/s2.mat")
row "" "scipy savemat" "$s"; echo "    matwcx / savemat: $(ratio "$m" "$s")"
echo "    matwcx / byte copy with fsync (above): $(ratio "$m" "$c")"
