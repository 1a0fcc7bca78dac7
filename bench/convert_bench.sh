#!/usr/bin/env bash
# What converting files that hold objects costs, both ways. Not a test.
#
# MATLAB's struct_table_datetime.mat (a struct of a table, datetimes and
# strings) and a file of a table of ROWS rows (bench/make_table.py: MATLAB's
# table grown; about 100 MB at the default), each converted by
# `matwcx convert` from version 7 to 7.3 and back. Beside them, in the same
# run, what the Python tools do where they can (neither writes MATLAB's
# objects): scipy's loadmat of the version 7 file, and h5py copying every
# member of the version 7.3 file (its variables, #refs# and #subsystem#)
# into a new file. Best of MATWCX_BENCH_REPS (default 3), wall seconds.
#
# Usage: bench/convert_bench.sh [BUILD] [ROWS]   (default build/, 1800000)
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build}"
rows="${2:-1800000}"
reps="${MATWCX_BENCH_REPS:-3}"
py=/usr/bin/python3
tool="$build/matwcx"
work="$(mktemp -d /tmp/matwcx-convert-bench.XXXXXX)"
trap 'rm -rf "$work"' EXIT
cmake --build "$build" -j2 --target matwcx matwcx_plugin matwcx_v73 >/dev/null || exit 1

$py "$root/bench/make_table.py" "$root/tests/objects/matlab/struct_table_datetime.mat" "$rows" "$work/tables.mat" >/dev/null || exit 1

best() {   # best wall seconds of "$@" over $reps runs, OUT removed before each
  local out=$1; shift
  local b="" t0 t1 s
  for _ in $(seq "$reps"); do
    rm -f "$out"
    t0=$(date +%s.%N)
    "$@" >/dev/null 2>&1 || { echo failed; return; }
    t1=$(date +%s.%N)
    s=$(awk "BEGIN{print $t1 - $t0}")
    if [[ -z $b ]] || awk "BEGIN{exit !($s < $b)}"; then b=$s; fi
  done
  echo "$b"
}
h5copy_all() {   # every member of $1 copied by h5py into $2, with the MAT-file's 512-byte header block
  $py - "$1" "$2" <<'PY'
import sys, h5py
with h5py.File(sys.argv[1], 'r') as src, h5py.File(sys.argv[2], 'w', userblock_size=512) as dst:
    for name in src:
        src.copy(src[name], dst, name=name)
PY
}
scipy_load() { $py -c "import sys, scipy.io; scipy.io.loadmat(sys.argv[1])" "$1"; }

echo "converting files that hold objects (seconds, best of $reps):"
for f in "$root/tests/objects/matlab/struct_table_datetime.mat" "$work/tables.mat"; do
  name=$(basename "$f"); size=$(stat -c %s "$f")
  to73=$(best "$work/out73.mat" "$tool" convert "$f" "$work/out73.mat" --to 7.3)
  rm -f "$work/in73.mat"
  "$tool" convert "$f" "$work/in73.mat" --to 7.3 >/dev/null 2>"$work/why" || { echo "  $name: convert --to 7.3 failed: $(cat "$work/why")"; continue; }
  to7=$(best "$work/out7.mat" "$tool" convert "$work/in73.mat" "$work/out7.mat" --to 7)
  load=$(best "$work/none" scipy_load "$f")
  copy=$(best "$work/h5.mat" h5copy_all "$work/in73.mat" "$work/h5.mat")
  printf '  %s (%d bytes):\n' "$name" "$size"
  printf '    %-40s %8s\n' "matwcx convert 7 -> 7.3" "$to73" "matwcx convert 7.3 -> 7" "$to7" \
    "scipy loadmat of the version 7 file" "$load" "h5py copy of the version 7.3 file" "$copy"
done
