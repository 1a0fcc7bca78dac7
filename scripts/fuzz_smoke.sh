#!/usr/bin/env bash
# Builds the fuzz targets (fuzz/) in build-fuzz/ with clang, libFuzzer,
# AddressSanitizer and UndefinedBehaviorSanitizer, replays every input that
# ever made a target fail (fuzz/findings/<target>/), then runs each target
# for a bounded time on the seed corpus (fuzz/make_corpus.sh). Exits
# non-zero on any finding: a crash, a sanitizer report, a leak, a broken
# property, an input slower than the timeout or one over the memory limit.
#
#   scripts/fuzz_smoke.sh                    CI smoke run: a fixed count of inputs per target
#   FUZZ_SECONDS=1800 scripts/fuzz_smoke.sh  the longer campaign: 30 minutes each
#   FUZZ_TARGETS="engine_fuzz" ...           only some targets
# The smoke run is meant to be the same everywhere: one random seed, the inputs
# counted (what its time below runs on CI's machines, stopped at twice that
# time), the seed corpus alone to start from, the corpus folder not read
# again while it runs (-reload=0: what it held at each second changed the
# search) and, where the system allows it, the same addresses from run to
# run (setarch -R: libhdf5 orders some of its tables by address). Two runs
# on one machine then mostly search alike; across machines the environment
# and the load still part them at times. A finding in CI is then mostly one
# that a run here finds too, and a
# fault that only a lucky search reaches (libhdf5's own, mostly) is the
# campaign's to find, not a coin toss in every CI run. The campaign searches
# freely: its own seed each time, on from the inputs earlier runs kept.
# The two small parsers (settings, subsystem data) get half the time: their
# coverage stops growing within the first 20 s of a smoke run; so do the two
# version 7.3 targets: v73_reader_fuzz (libhdf5's side in-process, a few
# hundred inputs a second) and v73_fuzz, which keeps the worker and its
# protocol (a process per input, about 13 a second) and so reaches libhdf5
# only through it.
#
# One fuzzer process per core: the targets run in two lanes, one after
# another in each; nothing else runs meanwhile in CI, and each target still
# gets its whole time. The campaign's new inputs that widen coverage collect
# in build-fuzz/fuzz-run/<target>/ and are kept from run to run; a failing input
# is written to build-fuzz/fuzz-artifacts/ (copy it to fuzz/findings/<target>/
# and turn it into a regression test once it is fixed).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
source scripts/generator.sh

build=build-fuzz
seconds=${FUZZ_SECONDS:-60}
campaign=${FUZZ_SECONDS:+yes}
# The smoke run's inputs per target: about its time of each, as CI measured.
declare -A smoke_runs=([engine_fuzz]=1500 [plugin_fuzz]=2500 [subsystem_fuzz]=200000 [v73_fuzz]=40
  [settings_fuzz]=6000 [v73_reader_fuzz]=3500)
# In lane order (the first to lane 1, the second to lane 2, ...): two lanes of 120 s.
targets=${FUZZ_TARGETS:-"engine_fuzz plugin_fuzz subsystem_fuzz v73_fuzz settings_fuzz v73_reader_fuzz"}
jobs=2   # the machines have two cores
# libFuzzer's own limits for the smoke run: an input that takes longer than
# this (seconds) is a hang; a process above this (MB) allocates without bound.
timeout_seconds=10
rss_limit_mb=2048

echo "=== $build: configure and build the fuzz targets"
mkdir -p "$build"
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMATWCX_WERROR=ON -DMATWCX_FUZZ=ON \
  -DMATWCX_SANITIZE=ON -DMATWCX_TESTS=OFF -DMATWCX_BENCH=OFF >"$build/configure.log" 2>&1 ||
  { cat "$build/configure.log"; exit 1; }
# shellcheck disable=SC2086
cmake --build "$build" -j"$jobs" --target $targets make_seeds

echo "=== seed corpus"
# The third-party writers' files, when the normal test run has made them.
if [[ -z ${MATWCX_TESTDATA:-} && -d build/testdata ]]; then export MATWCX_TESTDATA=$PWD/build/testdata; fi
bash fuzz/make_corpus.sh "$build/corpus" "$build/fuzz/make_seeds"

# The targets write a few small files per input: on a memory file system the
# flushes that deletion makes cost nothing.
if [[ -d /dev/shm && -w /dev/shm ]]; then export TMPDIR=/dev/shm; fi
# A crashing input leaves its target's working folder behind: all of them
# live in one folder of this run, removed at the end.
fuzz_tmp=$(mktemp -d "${TMPDIR:-/tmp}/matwcx-fuzz-run-XXXXXX")
trap 'rm -rf "$fuzz_tmp"' EXIT
export TMPDIR=$fuzz_tmp
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

artifacts=$build/fuzz-artifacts
mkdir -p "$artifacts"

# Replays the target's past findings, then fuzzes it; prints what it did and
# fails on any finding.
fuzz_one() {
  local target=$1
  local bin=$build/fuzz/$target short=${target%_fuzz} seeds=$build/corpus/mat
  [[ $target == settings_fuzz ]] && seeds=$build/corpus/settings
  [[ $target == subsystem_fuzz ]] && seeds=$build/corpus/subsystem
  [[ $target == v73_fuzz || $target == v73_reader_fuzz ]] && seeds=$build/corpus/v73
  local run=$build/fuzz-run/$target log=$build/fuzz-$target.log
  if [[ -z $campaign ]]; then run=$build/fuzz-smoke/$target; rm -rf "$run"; fi
  mkdir -p "$run"
  # libhdf5 mallocs what a damaged file's metadata says (gigabytes, never
  # touched: the read into it fails); the resident set is still bounded.
  # Its own leaks on error paths (suppressed in the target) would set off
  # libFuzzer's leak check, the input run again and the whole heap scanned,
  # on one input in fifty: 40-70 ms each, more than the other inputs' time.
  # The leak check runs once, at exit, instead: a leak of ours fails the run
  # there, with the stack that allocated it (fuzz/README.md).
  local limits=()
  [[ $target == v73_reader_fuzz ]] && limits=(-malloc_limit_mb=1048576 -detect_leaks=0)
  # Every target that opens version 7.3 data starts the worker (v73_fuzz a
  # process per input; engine_fuzz and plugin_fuzz for the HDF5 inputs of
  # the corpus), and a worker given up (3 s of stall) is asked again of a
  # fresh one, up to four an input: a second's work alone, but on a loaded
  # machine (four busy processes beside the run) one such input of the seed
  # corpus took over 15 s of wall-clock time. A hang in the worker is the
  # product's watch's to catch; this process's own hang still meets
  # libFuzzer's timeout.
  local timeout=$timeout_seconds
  [[ $target == v73_fuzz || $target == engine_fuzz || $target == plugin_fuzz ]] && timeout=60

  local findings=(fuzz/findings/"$short"/*)
  if [[ -e ${findings[0]} ]]; then
    echo "=== $target: replaying ${#findings[@]} past findings"
    "$bin" -close_fd_mask=1 -rss_limit_mb=$rss_limit_mb -timeout=$timeout "${limits[@]}" "${findings[@]}" \
      >"$build/replay-$target.log" 2>&1 ||
      { tail -40 "$build/replay-$target.log"; echo "fuzz_smoke: $target: a past finding fails again" >&2; return 1; }
  fi

  local time=$seconds bound=() same=()
  [[ $target == settings_fuzz || $target == subsystem_fuzz || $target == v73_* ]] && time=$((seconds / 2))
  if [[ -n $campaign ]]; then
    echo "=== $target: fuzzing for $time s"
  else
    time=$((2 * time))
    bound=(-seed=1 -runs="${smoke_runs[$target]:-1000}" -reload=0)
    if setarch -R true 2>/dev/null; then same=(setarch -R); fi
    echo "=== $target: fuzzing ${smoke_runs[$target]:-1000} inputs from seed 1 (at most $time s)"
  fi
  if "${same[@]}" "$bin" -max_total_time="$time" "${bound[@]}" -rss_limit_mb=$rss_limit_mb -timeout=$timeout "${limits[@]}" \
    -close_fd_mask=1 -print_final_stats=1 -artifact_prefix="$artifacts/$target-" "$run" "$seeds" >"$log" 2>&1; then
    grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1 || true
    grep -E 'stat::number_of_executed_units' "$log" || true
  else
    tail -60 "$log"
    echo "fuzz_smoke: $target: FINDING (input in $artifacts, log in $log)" >&2
    return 1
  fi
}

# In `jobs` lanes, each running its targets one after another; the reports
# are printed when all have ended.
status=0
read -r -a queue <<<"$targets"
pids=()
for ((lane = 0; lane < jobs; ++lane)); do
  (
    failed=0
    for ((k = lane; k < ${#queue[@]}; k += jobs)); do
      fuzz_one "${queue[k]}" >"$build/summary-${queue[k]}.txt" 2>&1 || failed=1
    done
    exit $failed
  ) &
  pids+=($!)
done
for pid in "${pids[@]}"; do
  wait "$pid" || status=1
done
for target in "${queue[@]}"; do
  cat "$build/summary-$target.txt"
done

if [[ $status -ne 0 ]]; then
  echo "fuzz_smoke.sh: FAILED" >&2
else
  echo "fuzz_smoke.sh: no findings"
fi
exit $status
