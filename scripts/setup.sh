#!/usr/bin/env bash
# Installs, from Debian's packages only, everything the build, the tests and
# the benchmarks need. Idempotent and quiet; a rerun with everything present
# returns at once. Runs as root, or through sudo otherwise.
set -euo pipefail

packages=(
  # build
  build-essential cmake ninja-build pkg-config zlib1g-dev
  # tests
  libgtest-dev libgmock-dev googletest
  # sanitizer builds and fuzz targets (libFuzzer ships in clang's runtime)
  clang libclang-rt-14-dev
  # test oracles and third-party writers: scipy/numpy (run with /usr/bin/python3),
  # matio (library and matdump), GNU Octave (octave-cli)
  python3-scipy python3-numpy libmatio-dev matio-tools octave
  # version 7.3 MAT-files: libhdf5 (the C library, serial build) for the engine;
  # h5py and hdf5storage write and judge such files in the tests, h5dump and
  # h5copy help by hand
  libhdf5-dev hdf5-tools python3-h5py python3-hdf5storage
  # benchmarks and memory checks
  hyperfine valgrind time
  # ---- Windows cross-build (mingw-w64, wine64): added here by its maintainer ----
  # (the -posix compilers: C++ threads and GoogleTest; static zlib for the DLLs;
  # 64-bit Wine runs the tests; zip makes the install package)
  mingw-w64 g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix libz-mingw-w64-dev wine64 zip
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg -s "$p" 2>/dev/null | grep -q '^Status: install ok installed'; then
    missing+=("$p")
  fi
done
if [[ ${#missing[@]} -eq 0 ]]; then
  exit 0
fi

sudo=()
if [[ $(id -u) -ne 0 ]]; then
  sudo=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
echo "setup: installing ${missing[*]}"
"${sudo[@]}" apt-get update -qq
# Octave recommends hundreds of megabytes of documentation and GUI packages
# that nothing here uses.
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null >/dev/null
