#!/usr/bin/env bash
# Cross-builds the Windows plug-ins with Debian's mingw-w64, after the static
# libhdf5 that reads version 7.3 files there (scripts/build_hdf5_windows.sh
# into build-hdf5-win64/install; a rerun of it costs nothing):
#   build-win64/matwcx.wcx64  (x86_64, with the matwcx command and the tests)
#   build-win32/matwcx.wcx    (i686; compiled and checked, not run: no 32-bit Wine here)
#   build-win64/matwcx.wdx64, build-win32/matwcx.wdx   the content plug-in, likewise
#   build-win64/matwcx.wlx64, build-win32/matwcx.wlx   the lister, likewise
# then checks both DLLs' imports and exports (scripts/check_windows_binaries.sh).
# Usage: scripts/build_windows.sh [--no-tests]
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
source scripts/generator.sh

jobs=2   # the machines have two cores
tests=ON
if [[ ${1:-} == --no-tests ]]; then
  tests=OFF
fi

build() {   # build DIR TOOLCHAIN TESTS
  local dir=$1 toolchain=$2 with_tests=$3
  mkdir -p "$dir"
  echo "=== $dir: configure and build"
  cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/$toolchain" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMATWCX_WERROR=ON \
    -DMATWCX_TESTS="$with_tests" -DMATWCX_BENCH=OFF -DMATWCX_HDF5_PREFIX="$hdf5_prefix" >"$dir/configure.log" 2>&1 ||
    { cat "$dir/configure.log"; return 1; }
  cmake --build "$dir" -j"$jobs"
}

# Its build runs programs under Wine, in the prefix the tests use.
WINEPREFIX=${WINEPREFIX:-$PWD/build-win64/wineprefix} bash scripts/build_hdf5_windows.sh build-hdf5-win64
hdf5_prefix=$PWD/build-hdf5-win64/install

build build-win64 mingw-w64-x86_64.cmake "$tests"
build build-win32 mingw-w64-i686.cmake OFF
bash scripts/check_windows_binaries.sh build-win64/matwcx.wcx64 build-win32/matwcx.wcx build-win64/matwcx.wdx64 \
  build-win32/matwcx.wdx build-win64/matwcx.wlx64 build-win32/matwcx.wlx build-win64/matwcx.exe build-win64/matwcx_v73.exe
