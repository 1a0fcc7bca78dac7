#!/usr/bin/env bash
# The content plug-in over 1,000 MAT-files of 1 to 100 variables (scipy,
# half of them compressed): a column (one field, then four) against a stat
# and a 4 KB read per file, and `matwcx find` against `grep -l` on the raw
# files. Each timing: the best of MATWCX_BENCH_REPS runs (default 5), warm
# page cache, a fresh process each time (no cached summaries).
# Usage: bench/content_bench.sh [BUILD_DIR]
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build}"
reps="${MATWCX_BENCH_REPS:-5}"
data="${MATWCX_BENCH_DIR:-/tmp/matwcx-bench}/content"
cmake --build "$build" --target bench_content matwcx matwcx_content -j2 >/dev/null || exit 1
if [[ ! -f $data/done ]]; then
  mkdir -p "$data"
  /usr/bin/python3 - "$data" <<'PY'
import os, sys, numpy as np, scipy.io
rng = np.random.default_rng(7)
out = sys.argv[1]
for i in range(1000):
    n = int(rng.integers(1, 101))
    d = {}
    for k in range(n):
        name = "signal" if k == 0 and i % 10 == 0 else f"v{k}_{int(rng.integers(0, 1000))}"
        d[name] = rng.standard_normal(int(rng.integers(1, 200)))
    scipy.io.savemat(os.path.join(out, f"run{i:04d}.mat"), d, do_compression=bool(i % 2))
open(os.path.join(out, "done"), "w").close()
PY
fi
best() {   # best seconds of "result seconds=" lines, or of wall time for a command
  local best=""
  for _ in $(seq "$reps"); do
    local s
    s=$("$@" 2>&1 >/dev/null | sed -n 's/^result seconds=\([0-9.]*\).*/\1/p')
    if [[ -z $best ]] || awk "BEGIN{exit !($s < $best)}"; then best=$s; fi
  done
  echo "$best"
}
wall() {   # wall seconds of a command, stdout discarded
  local start end
  start=$(date +%s.%N); "$@" >/dev/null 2>&1; end=$(date +%s.%N)
  awk "BEGIN{print $end - $start}"
}
bestwall() {
  local best=""
  for _ in $(seq "$reps"); do
    local s; s=$(wall "$@")
    if [[ -z $best ]] || awk "BEGIN{exit !($s < $best)}"; then best=$s; fi
  done
  echo "$best"
}
stat4k=$(best "$build/bench/bench_content" stat4k "$data")
names=$(best "$build/bench/bench_content" names "$data")
created=$(best "$build/bench/bench_content" column "$build/matwcx.wdx64" "$data" "Created")
one=$(best "$build/bench/bench_content" column "$build/matwcx.wdx64" "$data" "Variables")
four=$(best "$build/bench/bench_content" column "$build/matwcx.wdx64" "$data" "MAT version" "Variables" "Classes" "Data bytes")
find=$(bestwall "$build/matwcx" find "$data" --var signal)
grep=$(bestwall grep -rl signal "$data")
# The second ratio: against the least any reader of the variables' names
# pays (bench_content names: zlib inflating each compressed variable's start).
printf '%-44s %10s %8s %8s\n' "1,000 MAT-files of 1-100 variables" seconds ratio "/names"
printf '%-44s %10.4f %8s\n' "stat + 4 KB read per file" "$stat4k" 1.00
printf '%-44s %10.4f %8.2f %8s\n' "names: one read, zlib for each name" "$names" "$(awk "BEGIN{print $names/$stat4k}")" 1.00
printf '%-44s %10.4f %8.2f\n' "column: Created (the header alone)" "$created" "$(awk "BEGIN{print $created/$stat4k}")"
printf '%-44s %10.4f %8.2f %8.2f\n' "column: Variables" "$one" "$(awk "BEGIN{print $one/$stat4k}")" "$(awk "BEGIN{print $one/$names}")"
printf '%-44s %10.4f %8.2f %8.2f\n' "columns: version, variables, classes, bytes" "$four" "$(awk "BEGIN{print $four/$stat4k}")" "$(awk "BEGIN{print $four/$names}")"
printf '%-44s %10.4f %8s\n' "grep -rl signal (raw files)" "$grep" 1.00
printf '%-44s %10.4f %8.2f\n' "matwcx find --var signal" "$find" "$(awk "BEGIN{print $find/$grep}")"
