#!/usr/bin/env bash
# A struct array of ELEMENTS (default 10^5) elements to JSON beside Python in
# the same run: matwcx extract --as json against json.dumps of what
# scipy.io.loadmat(simplify_cells=True) reads (its arrays as lists), both
# written to a file. Each element holds a number, a name, a 1x3 vector, a
# logical and a nested struct, as settings and results are kept. Checks
# that both files hold the same values. Warm page cache; best of
# MATWCX_BENCH_REPS (default 3). Not a test.
# Usage: bench/json_bench.sh [BUILD] [ELEMENTS]
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build}"
elements="${2:-100000}"
reps="${MATWCX_BENCH_REPS:-3}"
py=/usr/bin/python3
tool="$build/matwcx"
work="$(mktemp -d /tmp/matwcx-json-bench.XXXXXX)"
trap 'rm -rf "$work"' EXIT
: >"$work/wcx.ini"

$py - "$work/runs.mat" "$elements" <<'PY' || exit 1
import sys, numpy as np, scipy.io as sio
n = int(sys.argv[2])
rng = np.random.default_rng(0)
inner = np.dtype([('gain', 'O'), ('unit', 'O')])
runs = np.empty((1, n), dtype=[('id', 'O'), ('name', 'O'), ('values', 'O'), ('ok', 'O'), ('setup', 'O')])
for i in range(n):
    setup = np.empty((1, 1), dtype=inner)
    setup[0, 0] = (float(rng.integers(1, 100)), 'mV')
    runs[0, i] = (float(i + 1), 'run%06d' % i, np.round(rng.standard_normal((1, 3)), 3), bool(i % 2), setup)
sio.savemat(sys.argv[1], {'runs': runs})
PY

best() {   # best wall seconds of "$@" over $reps runs
  local b="" t0 t1 s
  for _ in $(seq "$reps"); do
    rm -rf "$work/out"
    t0=$(date +%s.%N)
    "$@" >/dev/null 2>"$work/err" || { tail -3 "$work/err" >&2; echo fail; return; }
    t1=$(date +%s.%N)
    s=$(awk -v a="$t1" -v b="$t0" 'BEGIN { printf "%.3f", a - b }')
    if [[ -z "$b" ]] || awk -v s="$s" -v b="$b" 'BEGIN { exit !(s < b) }'; then b=$s; fi
  done
  echo "$b"
}

python_json='import sys, json, numpy as np, scipy.io as sio
def plain(value):
    if isinstance(value, np.ndarray):
        return value.tolist()
    if isinstance(value, np.generic):
        return value.item()
    raise TypeError(type(value))
runs = sio.loadmat(sys.argv[1], simplify_cells=True)["runs"]
with open(sys.argv[2], "w") as f:
    f.write(json.dumps(runs, default=plain))'

ours=$(best "$tool" --ini "$work/wcx.ini" extract "$work/runs.mat" runs --as json -d "$work/out")
cp "$work/out/runs.json" "$work/ours.json" 2>/dev/null
theirs=$(best $py -c "$python_json" "$work/runs.mat" "$work/python.json")
peak() {   # peak memory (MB) of one run of "$@"
  rm -rf "$work/out"
  /usr/bin/time -f "%M" -o "$work/mem" "$@" >/dev/null 2>&1 && awk '{ printf "%.0f", $1 / 1024 }' "$work/mem"
}
oursMem=$(peak "$tool" --ini "$work/wcx.ini" extract "$work/runs.mat" runs --as json -d "$work/out")
theirsMem=$(peak $py -c "$python_json" "$work/runs.mat" "$work/python.json")
printf '| task | seconds | ratio |\n|---|---|---|\n'
printf '| 1x%s struct array to JSON, matwcx | %s | |\n' "$elements" "$ours"
printf '| loadmat(simplify_cells=True) + json.dumps | %s | matwcx %.1fx faster |\n' "$theirs" \
  "$(awk -v a="$theirs" -v b="$ours" 'BEGIN { printf "%.2f", a / b }')"
printf '| peak memory, MB | matwcx %s | Python %s |\n' "$oursMem" "$theirsMem"
# The same values in both (a check of the run, not a test).
$py - "$work/ours.json" "$work/python.json" <<'PY' || echo "json_bench: the two files differ" >&2
import sys, json
ours, theirs = json.load(open(sys.argv[1])), json.load(open(sys.argv[2]))
assert len(ours) == len(theirs)
for a, b in zip(ours, theirs):
    assert a["id"] == b["id"] and a["name"] == b["name"] and a["values"] == b["values"]
    assert a["ok"] == b["ok"] and a["setup"]["gain"] == b["setup"]["gain"] and a["setup"]["unit"] == b["setup"]["unit"]
PY
