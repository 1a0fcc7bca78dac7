#!/usr/bin/env bash
# Makes the Linux install package matwcx-<version>-linux-x86_64.zip for Double
# Commander 1.1 and later, which installs a plug-in from a zip holding
# pluginst.inf (its "add plug-in" command; on 64-bit it takes the file named
# in pluginst.inf with "64" appended: matwcx.wcx64, the ELF plug-in here).
# Builds the plug-in first when missing.
# Usage: scripts/make_linux_package.sh [OUTPUT_DIR]   (default: build)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
source scripts/generator.sh

out=${1:-build}
version=$(sed -n 's/^project(matwcx VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
if [[ -z $version ]]; then
  echo "make_linux_package.sh: no version in CMakeLists.txt" >&2
  exit 1
fi
# The plug-in and, beside it, the worker program that reads version 7.3 files.
if [[ ! -f build/matwcx.wcx64 || ! -f build/matwcx_v73 ]]; then
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build -j2 --target matwcx_plugin matwcx_v73
fi

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
strip -o "$stage/matwcx.wcx64" build/matwcx.wcx64
strip -o "$stage/matwcx_v73" build/matwcx_v73
cat >"$stage/pluginst.inf" <<INF
[plugininstall]
description=matwcx $version: MATLAB MAT-files as archives - list, view, extract, export to CSV/TSV/NPY/JSON, add, delete and convert variables; a content plug-in adds search and column fields
type=wcx
file=matwcx.wcx
defaultdir=matwcx
defaultextension=mat
INF
cat >"$stage/readme.txt" <<README
matwcx $version for Double Commander on Linux (x86-64)

Install: in Double Commander 1.1 or later, open this zip (Ctrl+PgDn) and
confirm the installation it offers, or add it under Configuration > Options >
Plugins > Packer plugins (WCX) > Add, choosing matwcx.wcx64 after unpacking
matwcx.wcx64 and matwcx_v73 into one folder (matwcx_v73 reads version 7.3
files for the plug-in, which looks for it beside itself).
Double Commander 1.0 installs by the same Add button only.

Ctrl+PgDn on a .mat file opens it as an archive (Enter starts the program
associated with .mat files): its variables with class and size; F3 views a
variable, F5 copies it out as a MAT-file of its own, F8 deletes variables.
README

mkdir -p "$out"
zip_path=$(cd "$out" && pwd)/matwcx-$version-linux-x86_64.zip
rm -f "$zip_path"
(cd "$stage" && zip -q -X "$zip_path" pluginst.inf matwcx.wcx64 matwcx_v73 readme.txt)
echo "make_linux_package.sh: $zip_path"
if command -v unzip >/dev/null; then unzip -l "$zip_path"; fi
