#!/usr/bin/env bash
# Installs, from Debian's packages only, everything the build, the tests and
# the benchmarks need. Idempotent and quiet; a rerun with everything present
# returns at once. Runs as root, or through sudo otherwise.
set -euo pipefail

packages=(
  # build
  build-essential cmake ninja-build pkg-config zlib1g-dev
  # the lister's window on Linux: Qt 5 widgets, the Qt Double Commander's Qt build runs on
  qtbase5-dev
  # the shortest digits of doubles in CSV and JSON (header-only: nothing to ship)
  libfmt-dev
  # tests
  libgtest-dev libgmock-dev googletest
  # sanitizer builds and fuzz targets (libFuzzer ships in clang's runtime)
  clang libclang-rt-14-dev
  # test oracles and third-party writers: scipy/numpy (run with /usr/bin/python3),
  # matio (library and matdump), GNU Octave (octave-cli); pandas reads the
  # CSV files extraction writes, Pillow the PNG files
  python3-scipy python3-numpy python3-pandas python3-pil libmatio-dev matio-tools octave
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
  # the static libhdf5 of the Windows worker, built from Debian's own source
  # package (Debian has no mingw-w64 build of HDF5): dpkg-source unpacks it,
  # Wine runs the programs HDF5's build runs on the target
  dpkg-dev
)

sudo=()
if [[ $(id -u) -ne 0 ]]; then
  sudo=(sudo)
fi

# `apt-get source hdf5` (scripts/build_hdf5_windows.sh) needs a deb-src entry
# for bookworm. Unless the machine has one, one is added with the mirror and
# key of its own bookworm entry (deb822 or one-line format).
bookworm_sources() {   # TYPE: "URIS<tab>SIGNED-BY" of each enabled bookworm entry of TYPE
  awk -v type="$1" 'BEGIN { RS = "" } {
      types = suites = uris = key = ""; enabled = 1
      n = split($0, lines, "\n")
      for (i = 1; i <= n; i++) {
        field = lines[i]; sub(/:.*/, "", field); value = lines[i]; sub(/^[^:]*:[ \t]*/, "", value)
        if (field == "Types") types = " " value " "
        else if (field == "Suites") suites = " " value " "
        else if (field == "URIs") uris = value
        else if (field == "Signed-By") key = value
        else if (field == "Enabled" && value == "no") enabled = 0
      }
      if (enabled && index(types, " " type " ") && index(suites, " bookworm ")) print uris "\t" key
    }' /etc/apt/sources.list.d/*.sources 2>/dev/null || true
  awk -v type="$1" '$1 == type {
      key = ""; i = 2
      if ($2 ~ /^\[/) { for (; i <= NF; i++) { if ($i ~ /^signed-by=/) { key = $i; sub(/^signed-by=/, "", key); sub(/\]$/, "", key) } if ($i ~ /\]$/) { i++; break } } }
      if ($(i + 1) == "bookworm") print $i "\t" key
    }' /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null || true
}
need_update=0
if [[ -z $(bookworm_sources deb-src) ]]; then
  entry=$(bookworm_sources deb | head -n 1)
  uris=${entry%%$'\t'*}
  key=${entry#*$'\t'}
  if [[ -z $entry ]]; then
    uris=http://deb.debian.org/debian key=/usr/share/keyrings/debian-archive-keyring.gpg
  fi
  entry=$(printf 'Types: deb-src\nURIs: %s\nSuites: bookworm\nComponents: main\n' "$uris")
  if [[ -n $key ]]; then
    entry+=$'\n'"Signed-By: $key"
  fi
  echo "setup: adding a deb-src entry for bookworm ($uris)"
  "${sudo[@]}" tee /etc/apt/sources.list.d/matwcx-deb-src.sources <<<"$entry" >/dev/null
  need_update=1
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg -s "$p" 2>/dev/null | grep -q '^Status: install ok installed'; then
    missing+=("$p")
  fi
done
if [[ ${#missing[@]} -eq 0 && $need_update -eq 0 ]]; then
  exit 0
fi

export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
if [[ ${#missing[@]} -eq 0 ]]; then
  exit 0
fi
echo "setup: installing ${missing[*]}"
# Octave recommends hundreds of megabytes of documentation and GUI packages
# that nothing here uses.
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null >/dev/null
