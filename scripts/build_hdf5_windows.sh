#!/usr/bin/env bash
# Cross-builds HDF5's C library as a static library for Windows x86_64 with
# mingw-w64, from Debian bookworm's own source package (1.10.8, the version the
# Linux build links), and installs its headers and libhdf5.a into DIR/install
# (DIR defaults to build-hdf5-win64). Debian has no mingw-w64 build of HDF5; the
# Windows worker that reads version 7.3 MAT-files links this one.
# Only the C library with the deflate filter (the static zlib of
# libz-mingw-w64-dev): no tools, tests, examples, high-level, C++ or Fortran
# libraries, no parallel or thread-safe build.
#
# HDF5 runs programs on the target: two generators at build time (H5detect,
# H5make_libsettings) and one configure check; they run under wine64. The
# other configure results come from cmake/hdf5-mingw-checks-x86_64.cmake, since
# running them under Wine takes minutes; --remake-checks configures without
# that file and writes it anew.
#
# A rerun returns at once when DIR/install holds a build made by this same
# script, checks file and toolchain; the downloaded source in DIR/source is
# kept. The Wine prefix is $WINEPREFIX when set, else DIR/wineprefix.
# Usage: scripts/build_hdf5_windows.sh [--remake-checks] [DIR]
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
source scripts/generator.sh

remake_checks=0
if [[ ${1:-} == --remake-checks ]]; then
  remake_checks=1
  shift
fi
dir=${1:-build-hdf5-win64}
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
jobs=2   # the machines have two cores
checks=$PWD/cmake/hdf5-mingw-checks-x86_64.cmake
toolchain=$PWD/cmake/mingw-w64-x86_64.cmake
install=$dir/install
build=$dir/build

build_stamp() {   # what the installed build was made from
  { cat "$PWD/scripts/build_hdf5_windows.sh" "$checks" "$toolchain" cmake/mingw-w64-common.cmake 2>/dev/null || true; } |
    sha256sum | cut -d' ' -f1
}
stamp=$(build_stamp)
if [[ $remake_checks -eq 0 && -f $install/lib/libhdf5.a && $(cat "$install/.build-stamp" 2>/dev/null) == "$stamp" ]]; then
  exit 0
fi

wine=$(command -v wine64 || true)
if [[ -z $wine && -x /usr/lib/wine/wine64 ]]; then
  wine=/usr/lib/wine/wine64   # Debian's wine64 package without the wine wrapper
fi
if [[ -z $wine ]] || ! command -v x86_64-w64-mingw32-gcc-posix >/dev/null; then
  echo "build_hdf5_windows.sh: wine64 or mingw-w64 is missing: run scripts/setup.sh" >&2
  exit 1
fi

# The source: Debian's package with its patches applied, downloaded once.
source_dir=$dir/source
src=$source_dir/hdf5
if [[ ! -f $src/.unpacked ]]; then
  rm -rf "$source_dir"
  mkdir -p "$source_dir"
  echo "=== $dir: downloading Debian's hdf5 source package"
  if ! (cd "$source_dir" && apt-get source --download-only hdf5) >"$dir/source.log" 2>&1; then
    cat "$dir/source.log" >&2
    echo "build_hdf5_windows.sh: apt-get source hdf5 failed; scripts/setup.sh adds the deb-src entry it needs" >&2
    exit 1
  fi
  dsc=$(ls -v "$source_dir"/hdf5_*.dsc | tail -n 1)
  (cd "$source_dir" && dpkg-source -x "$dsc" hdf5) >>"$dir/source.log" 2>&1 ||
    { cat "$dir/source.log" >&2; exit 1; }
  basename "$dsc" >"$src/.unpacked"
fi

export WINEPREFIX=${WINEPREFIX:-$dir/wineprefix} WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [[ ! -f $WINEPREFIX/system.reg ]]; then
  echo "=== creating the Wine prefix $WINEPREFIX"
  mkdir -p "$WINEPREFIX"
  "$wine" wineboot --init >/dev/null 2>&1 || true
fi

preload=(-C "$checks")
if [[ $remake_checks -eq 1 ]]; then
  preload=()
fi
rm -rf "$build" "$install"
mkdir -p "$build"
echo "=== $dir: configure and build HDF5 $(cat "$src/.unpacked")"
# From inside the build folder: the check that runs under Wine writes its
# answer into the current folder, where HDF5's CMake files look for it.
# DEFAULT_API_VERSION=v18 as Debian configures its libhdf5, so that the same
# code means the same functions on both systems. mingw-w64 has <unistd.h> but
# not the <sys/wait.h> that HDF5 includes with it; without it HDF5 takes the
# path of the other Windows compilers.
(cd "$build" && cmake -S "$src" -B . "${preload[@]}" \
  -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" \
  -DCMAKE_INSTALL_PREFIX="$install" \
  -DBUILD_SHARED_LIBS=OFF -DBUILD_STATIC_LIBS=ON -DONLY_SHARED_LIBS=OFF -DBUILD_TESTING=OFF \
  -DHDF5_BUILD_TOOLS=OFF -DHDF5_BUILD_UTILS=OFF -DHDF5_BUILD_EXAMPLES=OFF -DHDF5_BUILD_HL_LIB=OFF \
  -DHDF5_BUILD_CPP_LIB=OFF -DHDF5_BUILD_FORTRAN=OFF -DHDF5_BUILD_JAVA=OFF \
  -DHDF5_ENABLE_PARALLEL=OFF -DHDF5_ENABLE_THREADSAFE=OFF \
  -DHDF5_ENABLE_Z_LIB_SUPPORT=ON -DHDF5_ENABLE_SZIP_SUPPORT=OFF \
  -DDEFAULT_API_VERSION=v18 -DHDF5_NO_PACKAGES=ON \
  -DHDF5_ENABLE_ALL_WARNINGS=OFF -DHDF5_DISABLE_COMPILER_WARNINGS=ON \
  -DH5_HAVE_UNISTD_H:INTERNAL=0) >"$dir/configure.log" 2>&1 ||
  { cat "$dir/configure.log" >&2; exit 1; }
cmake --build "$build" -j"$jobs" >"$dir/build.log" 2>&1 || { tail -n 50 "$dir/build.log" >&2; exit 1; }
cmake --install "$build" >"$dir/install.log" 2>&1 || { cat "$dir/install.log" >&2; exit 1; }

if [[ $remake_checks -eq 1 ]]; then
  # Every result of a configure check, as cache entries; not the entries the
  # project sets itself, nor CMake's own, nor the leftovers of the check
  # that runs each time.
  {
    echo "# Configure results of HDF5 1.10.8 (Debian's source package) for"
    echo "# x86_64-w64-mingw32 with Debian's mingw-w64 -posix compilers, as CMake found"
    echo "# them compiling and, under wine64, running its test programs: preloaded by"
    echo "# scripts/build_hdf5_windows.sh so that a build runs none of them again."
    echo "# Made by: scripts/build_hdf5_windows.sh --remake-checks [DIR]"
    echo "# (after a change of HDF5 version or compiler); that run builds without"
    echo "# this file and writes it anew."
    grep -E '^[A-Za-z0-9_]+:INTERNAL=' "$build/CMakeCache.txt" |
      grep -vE '^(CMAKE_|_CMAKE_|FIND_PACKAGE_MESSAGE|HDF5_|COMPILE_RESULT_VAR|RUN_RESULT_VAR|PROG_RES|H5_HAVE_UNISTD_H)' |
      sort | sed -E 's/[\\"$]/\\&/g; s/^([A-Za-z0-9_]+):INTERNAL=(.*)$/set(\1 "\2" CACHE INTERNAL "")/'
  } >"$checks.new"
  mv "$checks.new" "$checks"
  echo "=== wrote $checks"
  stamp=$(build_stamp)
fi
echo "$stamp" >"$install/.build-stamp"
echo "=== $install: libhdf5.a $(stat -c %s "$install/lib/libhdf5.a") bytes"
