#!/usr/bin/env bash
# Builds the benchmark drivers, writes the benchmark files and times the
# plug-in and its engine against libmatio, scipy.io and cp on the same files in
# the same run; prints a table. Not a test: nothing here passes or fails.
#
# Usage: bench/run_all.sh [--quick]
#   --quick             big variables at a tenth of their size (a few minutes)
#   MATWCX_BENCH_DIR    where the files go (default /tmp/matwcx-bench; several GB)
#   MATWCX_BENCH_BUILD  build folder (default build/)
#   MATWCX_BENCH_REPS   repetitions of the quick measurements (default 3; the best counts;
#                       listing many small variables: at least 5, the median counts)
#   MATWCX_BENCH_SLOW=1 also time matio's four deletions from the compressed file
#                       (re-encodes the file four times: many minutes)
# Times are of the measured work alone, warm page cache; peak memory is the
# process's maximum resident set (/usr/bin/time). Ratio: seconds / matwcx's seconds
# for the same task (above 1: slower than matwcx).
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${MATWCX_BENCH_BUILD:-$root/build}"
data="${MATWCX_BENCH_DIR:-/tmp/matwcx-bench}"
reps="${MATWCX_BENCH_REPS:-3}"
scale=1
if [[ "${1:-}" == "--quick" ]]; then
  scale=0.1
  data="$data-quick"
fi
python=/usr/bin/python3

bash "$root/scripts/setup.sh" || exit 1
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMATWCX_WERROR=ON >/dev/null || exit 1
# A driver that does not build shows as "failed" in the table; the others still run.
for target in matwcx_plugin matwcx bench_engine bench_plugin bench_matio tag_walk h5_list; do
  cmake --build "$build" -j2 --target "$target" >"$build/bench-$target.log" 2>&1 ||
    echo "bench: $target did not build (see $build/bench-$target.log)" >&2
done
plugin="$build/matwcx.wcx64"
engine="$build/bench/bench_engine"
host="$build/bench/bench_plugin"
matio="$build/bench/bench_matio"
scipy="$python $root/bench/bench_scipy.py"
walk="$build/bench/tag_walk"
h5list="$build/bench/h5_list"
command="$build/matwcx"

echo "bench: files in $data (scale $scale)"
$python "$root/bench/make_files.py" "$data" "$scale" || exit 1
work="$data/work"
rm -rf "$work"
mkdir -p "$work"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp" "$work"' EXIT

rows=()        # "task|reader|seconds|peakMB" in order
declare -A base   # task -> matwcx's seconds

# run_once: runs "$@" under /usr/bin/time; sets sec (from the driver's result
# line, or the wall time for commands without one) and rss (MB); 1 on failure.
run_once() {
  local t0 t1
  t0=$(date +%s.%N)
  /usr/bin/time -f "%M" -o "$tmp/rss" "$@" >/dev/null 2>"$tmp/err"
  local rc=$?
  t1=$(date +%s.%N)
  if [[ $rc -ne 0 ]]; then
    sec=""; rss=""
    tail -n 3 "$tmp/err" | sed 's/^/    /' >&2
    return 1
  fi
  sec=$(sed -n 's/^result seconds=\([0-9.]*\).*/\1/p' "$tmp/err" | tail -n 1)
  [[ -n "$sec" ]] || sec=$(awk -v a="$t1" -v b="$t0" 'BEGIN { printf "%.6f", a - b }')
  rss=$(( $(tail -n 1 "$tmp/rss") / 1024 ))
  return 0
}

# measure TASK READER N PREPARE -- COMMAND...: best of N runs of COMMAND
# (their median while pick=median), each after PREPARE (a shell snippet,
# untimed; ":" for none).
pick=best
measure() {
  local task=$1 reader=$2 n=$3 prepare=$4
  shift 5
  local best="" peak=0 i all=()
  for ((i = 0; i < n; i++)); do
    eval "$prepare"
    if ! run_once "$@"; then
      best="failed"
      break
    fi
    all+=("$sec")
    if [[ -z "$best" ]] || awk -v a="$sec" -v b="$best" 'BEGIN { exit !(a < b) }'; then best=$sec; fi
    ((rss > peak)) && peak=$rss
  done
  if [[ "$pick" == median && "$best" != failed ]]; then
    best=$(printf '%s\n' "${all[@]}" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
  fi
  last=$best
  rows+=("$task|$reader|$best|$peak")
  [[ "$reader" == "matwcx"* && -z "${base[$task]:-}" ]] && base[$task]=$best
  printf '  %-44s %-24s %12s s %8s MB\n' "$task" "$reader" "$best" "$peak" >&2
}

# check_left FILE N: warns unless FILE now holds N variables, as an
# independent header walker lists them (a benchmark of a wrong result is void).
check_left() {
  local n
  n=$($python "$root/scripts/testdata/describe_headers.py" --count "$1" 2>/dev/null)
  [[ "$n" == "$2" ]] || echo "  WARNING: $1 holds ${n:-no readable} variables after the deletion, not $2" >&2
}
f() { echo "$data/$1"; }
size_mb() { echo $(( $(stat -c %s "$1") / 1048576 )); }

echo "bench: (a) every variable's header"
for file in big20.mat big20_z.mat small10k_z.mat cells1k_z.mat; do
  task="headers $file ($(size_mb "$(f $file)") MB)"
  measure "$task" "matwcx engine" "$reps" : -- "$engine" headers "$(f $file)"
  measure "$task" "matio Mat_VarReadNextInfo" "$reps" : -- "$matio" headers "$(f $file)"
  measure "$task" "scipy whosmat" "$reps" : -- $scipy headers "$(f $file)"
done

echo "bench: (b) listing through the plug-in"
for file in big20.mat big20_z.mat small10k_z.mat cells1k_z.mat; do
  task="list $file"
  measure "$task" "matwcx plug-in" "$reps" : -- "$host" "$plugin" list "$(f $file)"
  measure "$task" "matio Mat_VarReadNextInfo" "$reps" : -- "$matio" headers "$(f $file)"
done

echo "bench: (c) extracting one $(awk -v s="$scale" 'BEGIN { print 200 * s }')-MB variable"
for file in one200.mat one200_z.mat; do
  task="extract 'big' from $file"
  out="$work/extract"
  measure "$task" "matwcx plug-in" 1 "rm -rf $out; mkdir -p $out" -- "$host" "$plugin" extract "$(f $file)" big "$out"
  written=""
  [[ "$last" != failed ]] && written=$(ls -S "$out"/*.mat 2>/dev/null | head -n 1)
  measure "$task" "matio VarRead+VarWrite" 1 "rm -f $work/m.mat" -- "$matio" extract "$(f $file)" big "$work/m.mat"
  measure "$task" "scipy loadmat+savemat" 1 "rm -f $work/s.mat" -- $scipy extract "$(f $file)" big "$work/s.mat"
  if [[ -n "$written" ]]; then
    measure "$task" "cp of the output ($(size_mb "$written") MB)" "$reps" "rm -f $work/c.mat" -- cp "$written" "$work/c.mat"
  elif [[ -f "$work/m.mat" ]]; then
    measure "$task" "cp of matio's output ($(size_mb "$work/m.mat") MB)" "$reps" "rm -f $work/c.mat" -- cp "$work/m.mat" "$work/c.mat"
  fi
  rm -rf "$out" "$work"/*.mat
done

echo "bench: (c2) extracting one $(awk -v s="$scale" 'BEGIN { print 50 * s }')-MB compressed variable, which is checked whole"
task="extract 'v10' from big20_z.mat"
out="$work/extract"
measure "$task" "matwcx plug-in" "$reps" "rm -rf $out; mkdir -p $out" -- "$host" "$plugin" extract "$(f big20_z.mat)" v10 "$out"
measure "$task" "zlib inflate of its element alone" "$reps" : -- "$engine" inflate "$(f big20_z.mat)" v10
rm -rf "$out"

echo "bench: (d) deleting from a file of 20 variables"
for file in big20.mat big20_z.mat; do
  src="$(f $file)"
  copy="cp $src $work/d.mat && sync"   # no dirty pages of the copy charged to the deletion
  task="delete v10 from $file ($(size_mb "$src") MB)"
  measure "$task" "matwcx plug-in" 1 "$copy" -- "$host" "$plugin" delete "$work/d.mat" v10
  check_left "$work/d.mat" 19
  measure "$task" "matio Mat_VarDelete" 1 "$copy" -- "$matio" delete "$work/d.mat" v10
  check_left "$work/d.mat" 19
  measure "$task" "cp of the file" "$reps" "rm -f $work/d.mat; sync" -- cp "$src" "$work/d.mat"
  measure "$task" "cp + sync of the file" 1 "rm -f $work/d.mat; sync" -- sh -c "cp '$src' '$work/d.mat' && sync '$work/d.mat'"
  # cp and the plug-in copy inside the kernel (copy_file_range); dd copies through a 1 MB buffer, as
  # the plug-in does where the system has no such copy (Windows).
  measure "$task" "dd + fsync (1 MB blocks)" 1 "rm -f $work/d.mat; sync" -- dd if="$src" of="$work/d.mat" bs=1M conv=fsync status=none
  task="delete v05 v08 v11 v14 from $file"
  measure "$task" "matwcx plug-in" 1 "$copy" -- "$host" "$plugin" delete "$work/d.mat" v05 v08 v11 v14
  check_left "$work/d.mat" 16
  if [[ "$file" != *_z.mat || -n "${MATWCX_BENCH_SLOW:-}" ]]; then
    measure "$task" "matio Mat_VarDelete x4" 1 "$copy" -- "$matio" delete "$work/d.mat" v05 v08 v11 v14
    check_left "$work/d.mat" 16
  else
    echo "  (matio's four deletions from $file skipped: about four times its one deletion; MATWCX_BENCH_SLOW=1 runs them)" >&2
  fi
  rm -f "$work/d.mat"
done

echo "bench: (d2) version 7.3 (HDF5) files: listing 10,000 and 100,000 variables, extracting one $(awk -v s="$scale" 'BEGIN { print 200 * s }')-MB variable"
task="list v73_10k.mat"
measure "$task" "matwcx plug-in" "$reps" : -- "$host" "$plugin" list "$(f v73_10k.mat)"
measure "$task" "matio Mat_VarReadNextInfo" "$reps" : -- "$matio" headers "$(f v73_10k.mat)"
# A listing of many small variables against the bare libhdf5 loop that a
# lister needs (median of 5 or more runs), and the reads each makes.
task="list v73_100k.mat"
n=$(( reps > 5 ? reps : 5 ))
pick=median
measure "$task" "h5_list (bare libhdf5 loop)" "$n" : -- "$h5list" "$(f v73_100k.mat)"
base[$task]=$last
measure "$task" "matwcx plug-in" "$n" : -- "$host" "$plugin" list "$(f v73_100k.mat)"
pick=best
if command -v strace >/dev/null; then
  # System calls that read the file (and, for the plug-in, its worker's pipe too: few, one per batch).
  reads() {
    strace -f -c -e trace=pread64,read -o "$tmp/strace" "$@" >/dev/null 2>&1
    awk '$NF == "pread64" || $NF == "read" { n += $4 } END { printf "%.2f", n / 100000 }' "$tmp/strace"
  }
  echo "  reads per variable: bare loop $(reads "$h5list" "$(f v73_100k.mat)"), plug-in and worker $(reads "$host" "$plugin" list "$(f v73_100k.mat)")" >&2
fi
task="extract 'big' from v73_one200.mat"
out="$work/extract"
# Times that wait for the disk vary from run to run: their median counts.
pick=median
n=$(( reps > 5 ? reps : 5 ))
measure "$task" "matwcx plug-in" "$n" "rm -rf $out; mkdir -p $out" -- "$host" "$plugin" extract "$(f v73_one200.mat)" big "$out"
measure "$task" "h5copy of the dataset" "$n" "rm -f $work/h.h5" -- h5copy -i "$(f v73_one200.mat)" -o "$work/h.h5" -s big -d big
# The plug-in syncs the new file before it renames it into place; h5copy does not.
measure "$task" "h5copy, then sync of its file" "$n" "rm -f $work/h.h5" -- \
  sh -c 'h5copy -i "$1" -o "$2" -s big -d big && sync "$2"' sh "$(f v73_one200.mat)" "$work/h.h5"
# What the disk takes to store that many bytes durably: the floor of any
# extraction that syncs (the whole file, a little more than the variable).
measure "$task" "dd of the file, then fsync" "$n" "rm -f $work/h.h5" -- \
  dd if="$(f v73_one200.mat)" of="$work/h.h5" bs=1M conv=fsync status=none
rm -rf "$out" "$work/h.h5"
pick=best

echo "bench: (d3) adding level-5 variables to version 7.3 files (converted by the worker)"
$python -c "import scipy.io, numpy; scipy.io.savemat('$work/one_small.mat', {'added': numpy.arange(10.0)})"
task="add one small variable to v73_one200.mat"
n=$(( reps > 3 ? reps : 3 ))
pick=median
measure "$task" "matwcx add" "$n" "cp $(f v73_one200.mat) $work/a.mat; sync" -- "$command" add --yes "$work/a.mat" "$work/one_small.mat"
measure "$task" "dd + fsync of the file" "$n" "rm -f $work/a.mat; sync" -- \
  dd if="$(f v73_one200.mat)" of="$work/a.mat" bs=1M conv=fsync status=none
pick=best
task="add small10k_z.mat's 10,000 variables to a new file"
measure "$task" "matwcx add" "$reps" "rm -f $work/n.mat" -- "$command" add --yes "$work/n.mat" "$(f small10k_z.mat)"
measure "$task" "scipy loadmat + savemat (v7, compressed)" "$reps" "rm -f $work/n.mat" -- $scipy resave "$(f small10k_z.mat)" "$work/n.mat"
rm -f "$work/n.mat"
task="add small10k_z.mat's 10,000 variables to an empty v7.3 file"
measure "$task" "matwcx add" "$reps" "$scipy empty73 $work/e.mat" -- "$command" add --yes "$work/e.mat" "$(f small10k_z.mat)"
measure "$task" "scipy loadmat + savemat (v7)" "$reps" "rm -f $work/e.mat" -- $scipy resave "$(f small10k_z.mat)" "$work/e.mat"
rm -f "$work/a.mat" "$work/e.mat" "$work/one_small.mat"

# Deleting from a version 7.3 file copies what the kept variables refer to
# once, however many of them share it: the new file should be the original
# less the deleted variables (the row's reader says the sizes).
echo "bench: (d4) deleting 2 of 7 cells (elements in #refs#, one empty shared by all) from a version 7.3 file"
$scipy refs73 "$work/r.mat"
task="delete c1 c4 from refs73.mat"
measure "$task" "matwcx delete" "$reps" "cp $work/r.mat $work/d.mat" -- "$command" delete --yes "$work/d.mat" c1 c4
check_left "$work/d.mat" 5
sizes=$(awk -v a="$(stat -c %s "$work/d.mat")" -v b="$(stat -c %s "$work/r.mat")" \
  'BEGIN { printf "%.3fx the size (%d of %d B)", a / b, a, b }')
IFS='|' read -r _ _ _ peak <<<"${rows[-1]}"
rows[-1]="$task|matwcx delete: $sizes|$last|$peak"
echo "  $sizes" >&2
rm -f "$work/r.mat" "$work/d.mat"

# Peak memory here is the index's: the plug-in (through bench_plugin, which keeps
# no entry names) should stay under 60 MB for 10^6 variables, the matwcx command
# (which prints the table as it lists) under 100 MB.
echo "bench: (e) listing many small variables, against a bare tag walk (median of $(( reps > 5 ? reps : 5 )) runs)"
pick=median
for file in scalars10k.mat scalars100k.mat scalars1m.mat; do
  task="list $file"
  n=$(( reps > 5 ? reps : 5 ))
  measure "$task" "tag walk (lseek+read)" "$n" : -- "$walk" "$(f $file)"
  base[$task]=$last
  measure "$task" "matwcx plug-in" "$n" : -- "$host" "$plugin" list "$(f $file)"
  measure "$task" "matwcx engine" "$n" : -- "$engine" headers "$(f $file)"
  measure "$task" "matwcx list (the command)" "$n" : -- "$command" list "$(f $file)"
done
pick=best

echo "bench: (f) what the plug-in costs a host: its load (dlopen, against libz's in the same run), and listing a"
echo "  1-variable file as a whole process through matwcx, against the tag walk's whole process (median of 9 runs)"
# Whole processes: a shell runs both (run_once would take the walk's own result line).
pick=median
task="load the plug-in"
measure "$task" "matwcx plug-in (dlopen)" 9 : -- "$host" "$plugin" load libz.so.1
echo "  the last load: $(sed -n 's/^load //p' "$tmp/err") (ratio: against libz)" >&2
task="list scalars1.mat (whole process)"
measure "$task" "tag walk (lseek+read)" 9 : -- sh -c '"$@" >/dev/null 2>&1' _ "$walk" "$(f scalars1.mat)"
base[$task]=$last
measure "$task" "matwcx list" 9 : -- sh -c '"$@" >/dev/null 2>&1' _ "$build/matwcx" list "$(f scalars1.mat)"
pick=best

# The viewer decodes only what its text shows: a compressed variable's text
# should cost at most twice its uncompressed twin's, and at most twice what
# zlib alone takes to inflate the bytes it shows (ratios here: against those).
echo "bench: (g) the viewer's text (ShowContents on, its 16 MB bound) of a 4000x$(awk -v s="$scale" 'BEGIN { print int(10000 * s) }') double"
task="view 'm': view4k_z.mat against view4k.mat"
measure "$task" "matwcx plug-in, uncompressed twin" "$reps" : -- env TMPDIR="$tmp" "$host" "$plugin" view "$(f view4k.mat)" m "$work"
base[$task]=$last
measure "$task" "matwcx plug-in, compressed" "$reps" : -- env TMPDIR="$tmp" "$host" "$plugin" view "$(f view4k_z.mat)" m "$work"
compressed=$last
# The text's last line says how many elements it does not show.
text=$(sed -n 's/^output \(.*\) [0-9]*$/\1/p' "$tmp/err" | tail -n 1)
shown=$(tail -n 1 "$text" 2>/dev/null | awk '$1 == "..." { print $4 - $2 }')
if [[ -n "$shown" ]]; then
  task="view 'm' of view4k_z.mat: $shown elements shown"
  measure "$task" "zlib inflate of their $((shown * 8)) bytes" "$reps" : -- "$engine" inflate "$(f view4k_z.mat)" m $((shown * 8))
  base[$task]=$last
  rows+=("$task|matwcx plug-in, compressed (above)|$compressed|-")
else
  echo "  (the viewer's text of view4k_z.mat does not end in a line of the elements not shown)" >&2
fi
rm -rf "$tmp"/_dc~~~

# A whole version 7.3 file as a new version 7 file (compressed, as MATLAB's
# default): the worker streams each variable, a few MB in flight; h5py and
# scipy hold each variable (and scipy all of them) whole.
echo "bench: (h) converting a $(awk -v s="$scale" 'BEGIN { print 1000 * s }')-MB version 7.3 file to version 7"
task="convert v73_1g.mat to version 7"
printf '[MATlab]\nPackEnabled=1\n' > "$tmp/convert.ini"
measure "$task" "matwcx convert --to 7" 1 "rm -f $work/c.mat" -- "$command" --ini "$tmp/convert.ini" convert "$(f v73_1g.mat)" "$work/c.mat" --to 7
measure "$task" "h5py + scipy savemat, compressed" 1 "rm -f $work/c.mat" -- $scipy convert73 "$(f v73_1g.mat)" "$work/c.mat" 1
measure "$task" "h5py + scipy savemat, uncompressed" 1 "rm -f $work/c.mat" -- $scipy convert73 "$(f v73_1g.mat)" "$work/c.mat" 0
rm -f "$work/c.mat"

{
echo
printf '%-44s %-34s %10s %9s %10s\n' "task" "reader" "seconds" "peak MB" "ratio"
printf '%s\n' "$(printf '%.0s-' {1..111})"
for row in "${rows[@]}"; do
  IFS='|' read -r task reader sec peak <<<"$row"
  ratio="-"
  b="${base[$task]:-}"
  if [[ "$sec" != "failed" && -n "$b" && "$b" != "failed" ]]; then
    ratio=$(awk -v a="$sec" -v b="$b" 'BEGIN { if (b > 0) printf "%.1fx", a / b; else print "-" }')
  fi
  [[ "$sec" != "failed" ]] && sec=$(printf '%.4f' "$sec")
  printf '%-44s %-34s %10s %9s %10s\n' "$task" "$reader" "$sec" "$peak" "$ratio"
done
echo "(seconds: best of the runs (e and the version 7.3 extraction: their median), measured work only, warm page cache; ratio: against matwcx"
echo " on the same task, in (e) against the tag walk, in (f) against the uncompressed twin's text and zlib alone: goal 2x at most)"
} | tee "$data/results.txt"
