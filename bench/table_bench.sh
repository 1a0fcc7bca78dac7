#!/usr/bin/env bash
# A table of ROWS (default 10^6) rows and 5 mixed variables (double, string,
# datetime, categorical, string) extracted as CSV, beside pandas' to_csv of
# the same DataFrame (timed inside Python, without reading it), and beside
# matwcx's own CSV of a ROWS x 5 double matrix (the time per field). The
# table is MATLAB's table of struct_table_datetime.mat grown to ROWS rows
# (bench/make_table.py). Warm page cache; best of MATWCX_BENCH_REPS
# (default 3). Not a test.
# Usage: bench/table_bench.sh [BUILD] [ROWS]
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build}"
rows="${2:-1000000}"
reps="${MATWCX_BENCH_REPS:-3}"
py=/usr/bin/python3
tool="$build/matwcx"
work="$(mktemp -d /tmp/matwcx-table-bench.XXXXXX)"
trap 'rm -rf "$work"' EXIT

$py "$root/bench/make_table.py" "$root/tests/objects/matlab/struct_table_datetime.mat" "$rows" "$work/t.mat" || exit 1
$py -c "import sys, numpy, scipy.io; scipy.io.savemat(sys.argv[1], {'m': numpy.random.default_rng(0).standard_normal(($rows, 5))})" "$work/m.mat"

best() {   # best wall seconds of "$@" over $reps runs; its processor seconds (user + system) in $work/cpu, its peak memory (MB) in $work/mem
  local b="" t0 t1 s
  for _ in $(seq "$reps"); do
    rm -rf "$work/out"   # each run writes a new file, not "name (2).csv" beside the last
    t0=$(date +%s.%N)
    /usr/bin/time -f "%U %S %M" -o "$work/time" "$@" >/dev/null 2>"$work/err" || { tail -3 "$work/err" >&2; echo fail; return; }
    t1=$(date +%s.%N)
    s=$(echo "$t1 - $t0" | bc -l)
    if [ -z "$b" ] || [ "$(echo "$s < $b" | bc -l)" = 1 ]; then
      b=$s
      awk '{ printf "%.3f", $1 + $2 }' "$work/time" >"$work/cpu"
      awk '{ printf "%.0f", $3 / 1024 }' "$work/time" >"$work/mem"
    fi
  done
  printf '%.3f' "$b"
}

matrix=$(best "$tool" extract "$work/m.mat" m --as csv -d "$work/out")
matrixCpu=$(cat "$work/cpu")
table=$(best "$tool" extract "$work/t.mat" testTable --as csv -d "$work/out")
tableCpu=$(cat "$work/cpu")
tableMem=$(cat "$work/mem")
subsystemMb=$(( $(stat -c %s "$work/t.mat") >> 20 ))
pandas=$($py - "$work" "$reps" <<'PY'
import sys, time, pandas
frame = pandas.read_pickle(sys.argv[1] + "/t.mat.pkl")
best = min((lambda t0: (frame.to_csv(sys.argv[1] + "/p.csv", index=False), time.perf_counter() - t0)[1])(time.perf_counter())
           for _ in range(int(sys.argv[2])))
print("%.3f" % best)
PY
)
# The table's CSV reads back as the DataFrame holds it (a check of the run, not a test).
$py - "$work" <<'PY' || echo "table_bench: the table's CSV differs from the DataFrame" >&2
import sys, pandas
got = pandas.read_csv(sys.argv[1] + "/out/testTable.csv")
want = pandas.read_pickle(sys.argv[1] + "/t.mat.pkl")
assert list(got.columns) == list(want.columns) and len(got) == len(want)
assert (got["FlightNum"] == want["FlightNum"]).all() and (got["Customer"] == want["Customer"]).all()
assert (got["Comment"] == want["Comment"]).all() and (got["Rating"] == want["Rating"].astype(str)).all()
assert (pandas.to_datetime(got["Date"], format="%d-%b-%Y %H:%M:%S") == want["Date"]).all()
PY
# The per-field comparison in processor time too: each export ends with
# fsync, and the matrix's CSV is twice the table's bytes, so its wall time
# is mostly the disk's.
printf '| task | seconds | processor seconds | ratio |\n|---|---|---|---|\n'
printf '| table of %s rows x 5 to CSV, matwcx | %s | %s | peak memory %s MB (the file: %s MB, nearly all subsystem data) |\n' \
  "$rows" "$table" "$tableCpu" "$tableMem" "$subsystemMb"
printf '| the same DataFrame, pandas to_csv | %s | | matwcx %.1fx faster |\n' "$pandas" "$(echo "$pandas / $table" | bc -l)"
printf '| %s x 5 double matrix to CSV, matwcx | %s | %s | table %.2fx the matrix per field (processor time %.2fx) |\n' \
  "$rows" "$matrix" "$matrixCpu" "$(echo "$table / $matrix" | bc -l)" "$(echo "$tableCpu / $matrixCpu" | bc -l)"
