#!/usr/bin/env bash
# Installs what is missing, builds in build/ and runs every test suite, then
# does the same with AddressSanitizer and UndefinedBehaviorSanitizer in
# build-asan/. Exits non-zero on any failure. CI runs this (.ci/run).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

jobs=2   # the machines have two cores
bash scripts/setup.sh
source scripts/generator.sh

status=0
echo "=== the include edges between the layers"
bash scripts/check_layers.sh || status=1

run_suite() {   # run_suite BUILD_DIR [cmake options...]
  local dir=$1
  shift
  echo "=== $dir: configure and build (at $SECONDS s)"
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMATWCX_WERROR=ON "$@" >"$dir/configure.log" 2>&1 ||
    { cat "$dir/configure.log"; return 1; }
  cmake --build "$dir" -j"$jobs" || return 1
  echo "=== $dir: tests (at $SECONDS s)"
  (cd "$dir" && ctest --output-on-failure -j"$jobs") || return 1
}

mkdir -p build build-asan
run_suite build || status=1
# Benchmarks are not tests: the sanitizer build leaves them out.
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  run_suite build-asan -DMATWCX_SANITIZE=ON -DMATWCX_BENCH=OFF || status=1

# Release builds (-O3) with both compilers: optimisation brings warnings of its
# own, and a packager builds Release. Compiled, not run. The tests and the
# benchmarks are built with gcc above: here only clang builds them too.
for cc in gcc clang; do
  if [[ $cc == gcc ]]; then cxx=g++ tests=OFF; else cxx=clang++ tests=ON; fi
  dir=build-release-$cc
  mkdir -p "$dir"
  echo "=== $dir: configure and build (at $SECONDS s)"
  if ! { CC=$cc CXX=$cxx cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DMATWCX_WERROR=ON -DMATWCX_TESTS=$tests -DMATWCX_BENCH=$tests \
           >"$dir/configure.log" 2>&1 || { cat "$dir/configure.log"; false; }; } ||
     ! cmake --build "$dir" -j"$jobs"; then
    status=1
  fi
done

# A build without libhdf5 (a Windows build's default without an HDF5
# prefix): its stand-in for the version 7.3 side still links. Not run.
mkdir -p build-nohdf5
echo "=== build-nohdf5: the plug-ins and the command without libhdf5 (at $SECONDS s)"
if ! { cmake -S . -B build-nohdf5 -DCMAKE_BUILD_TYPE=Debug -DMATWCX_WERROR=ON -DMATWCX_HDF5=OFF -DMATWCX_TESTS=OFF \
         -DMATWCX_BENCH=OFF >build-nohdf5/configure.log 2>&1 || { cat build-nohdf5/configure.log; false; }; } ||
   ! cmake --build build-nohdf5 -j"$jobs"; then
  status=1
fi

# Two archives and two deletions from two threads at once, under
# ThreadSanitizer: only the plug-in and that one test are built.
mkdir -p build-tsan
echo "=== build-tsan: the concurrency test under ThreadSanitizer (at $SECONDS s)"
if cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMATWCX_TSAN=ON -DMATWCX_BENCH=OFF -DMATWCX_WERROR=ON \
     >build-tsan/configure.log 2>&1 &&
   cmake --build build-tsan -j"$jobs" --target matwcx_plugin matwcx test_concurrency; then
  (cd build-tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -R '^concurrency$') || status=1
else
  cat build-tsan/configure.log
  status=1
fi

# The Windows plug-ins, cross-built with mingw-w64; their tests run under
# 64-bit Wine (Debian's wine64 puts its loader in /usr/lib/wine).
echo "=== Windows builds (at $SECONDS s)"
if command -v wine64 >/dev/null 2>&1 || [[ -x /usr/lib/wine/wine64 ]]; then
  bash scripts/test_windows.sh || status=1
fi
echo "=== fuzz targets (at $SECONDS s)"
# Fuzz targets (clang, libFuzzer): past findings replayed, then a fixed count of inputs from one seed on the seed corpus, about 60 s each (30 s for the small parsers and the two version 7.3 targets; fuzz/README.md).
bash scripts/fuzz_smoke.sh || status=1

if [[ $status -ne 0 ]]; then
  echo "test.sh: FAILED" >&2
else
  echo "test.sh: all builds and tests passed (in $SECONDS s)"
fi
exit $status
