#!/usr/bin/env bash
# Writes the MAT-files that other programs make (scipy.io, matio, GNU Octave,
# and the MATLAB-written files that Debian's scipy ships for its own tests)
# into OUTDIR, for the test suites. scripts/testdata/README.md lists every file.
#
# Usage: scripts/make_testdata.sh OUTDIR [MATIO_WRITER]
#   MATIO_WRITER: the built matio_writer program (default: OUTDIR/../matio_writer).
# Each folder is written afresh beside itself and swapped in, so a rerun gives
# the same files and a failed run leaves no half-written folder behind.
set -euo pipefail

if [[ $# -lt 1 ]]; then
  echo "usage: $0 OUTDIR [MATIO_WRITER]" >&2
  exit 2
fi
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
mkdir -p "$1"
out="$(cd "$1" && pwd)"
writer="${2:-$out/../matio_writer}"
python=/usr/bin/python3
scipy_tests=/usr/lib/python3/dist-packages/scipy/io/matlab/tests/data

# fresh FOLDER: an empty staging folder for OUTDIR/FOLDER
fresh() { rm -rf "$out/$1.new"; mkdir -p "$out/$1.new"; echo "$out/$1.new"; }
# publish FOLDER: swap the staging folder in
publish() { rm -rf "$out/$1"; mv "$out/$1.new" "$out/$1"; echo "testdata: $1: $(ls "$out/$1" | grep -c '\.mat$') files"; }
# describe FOLDER: header listing (.json) beside each file
describe() { "$python" "$here/testdata/describe_headers.py" --values "$out/$1.new"/*.mat; }

# scipy.io (required: the Debian packages python3-scipy and python3-numpy)
dir="$(fresh scipy)"
"$python" "$here/testdata/scipy_writer.py" "$dir"
publish scipy

# hdf5storage (version 7.3) beside scipy.io (level 5), the same values
# (required: python3-hdf5storage and python3-h5py)
dir="$(fresh hdf5storage)"
"$python" "$here/testdata/hdf5storage_writer.py" "$dir"
describe hdf5storage
publish hdf5storage

# matio, through the small C program that CMake builds when it finds libmatio
if [[ -x "$writer" ]]; then
  dir="$(fresh matio)"
  "$writer" "$dir"
  describe matio
  publish matio
else
  rm -rf "$out/matio"
  echo "testdata: matio: skipped (no matio_writer at $writer; install libmatio-dev and rebuild)"
fi

# GNU Octave
if command -v octave-cli >/dev/null 2>&1; then
  dir="$(fresh octave)"
  # Octave 7 prints a harmless "ignoring const execution_exception" line at exit.
  octave-cli --no-gui --norc --quiet "$here/testdata/octave_writer.m" "$dir" </dev/null 2>"$out/octave.log" || {
    cat "$out/octave.log" >&2
    exit 1
  }
  describe octave
  publish octave
else
  rm -rf "$out/octave"
  echo "testdata: octave: skipped (octave-cli not installed)"
fi

# The samples committed here (MATLAB's object files), copied afresh for
# each run: a suite never hands the product a file of the source tree,
# which a faulty build could overwrite.
for sample in objects:tests/objects/matlab; do
  dir="$(fresh "${sample%%:*}")"
  cp "$here/../${sample#*:}"/*.mat "$dir"/
  publish "${sample%%:*}"
done

# MATLAB's object files above as version 7.3 files (v73.mat) beside
# themselves (v5.mat): their objects' values in #subsystem#
for pair in classdefs:user_defined_classdefs tables:struct_table_datetime; do
  dir="$(fresh "objects73-${pair%%:*}")"
  "$python" "$here/testdata/objects73_writer.py" "$here/../tests/objects/matlab/${pair#*:}.mat" "$dir"
  publish "objects73-${pair%%:*}"
done

# MATLAB's own version 7.3 files, each beside the level-5 file MATLAB wrote
# with the same values: matlab73-NAME/v73.mat and v5.mat
for v73 in "$here/../tests/interop/matlab73"/*.v73.mat; do
  name="$(basename "$v73" .v73.mat)"
  dir="$(fresh "matlab73-$name")"
  cp "$v73" "$dir/v73.mat"
  cp "${v73%.v73.mat}.v5.mat" "$dir/v5.mat"
  publish "matlab73-$name"
done

# MATLAB's version 7.3 files whose variables refer to #refs#, and one of
# seven variables that share their #refs# entries as MATLAB's files of many
# variables do (#refs#/a, the empty placeholder): empty_cells' variable
# copied by h5py within the file. Deletion must leave each smaller.
dir="$(fresh v73refs)"
for name in cell empty_cells function_handles string struct struct_table_datetime; do
  cp "$here/../tests/data/matlab-files/v7.3/$name.mat" "$dir/"
done
cp "$dir/empty_cells.mat" "$dir/shared_refs.mat"
"$python" - "$dir/shared_refs.mat" <<'PYTHON'
import sys, h5py
with h5py.File(sys.argv[1], "r+") as f:
    for n in range(2, 8):
        f.copy("empty_cells", "empty_cells%d" % n)
PYTHON
describe v73refs
publish v73refs

# Files written by MATLAB itself (and a few damaged ones) that scipy ships
if [[ -d "$scipy_tests" ]]; then
  dir="$(fresh matlab)"
  cp "$scipy_tests"/*.mat "$dir"/
  describe matlab
  publish matlab
else
  rm -rf "$out/matlab"
  echo "testdata: matlab: skipped ($scipy_tests not found)"
fi
