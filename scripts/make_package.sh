#!/usr/bin/env bash
# Makes the Windows install packages. matwcx-<version>.zip: both plug-ins
# (matwcx.wcx for 32-bit, matwcx.wcx64 for 64-bit hosts, debug information
# stripped), the worker that reads version 7.3 files for both
# (matwcx_v73.exe), pluginst.inf, so that opening the zip in Total Commander
# offers to install the plug-in, and readme.txt; matwcx-content-<version>.zip
# and matwcx-lister-<version>.zip the same for the content plug-in and the
# lister (one plug-in per zip). Builds the DLLs first when missing.
# Usage: scripts/make_package.sh [OUTPUT_DIR]   (default: build-win64)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

out=${1:-build-win64}
version=$(sed -n 's/^project(matwcx VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
if [[ -z $version ]]; then
  echo "make_package.sh: no version in CMakeLists.txt" >&2
  exit 1
fi
if [[ ! -f build-win64/matwcx.wcx64 || ! -f build-win32/matwcx.wcx || ! -f build-win64/matwcx_v73.exe ||
      ! -f build-win64/matwcx.wdx64 || ! -f build-win32/matwcx.wdx || ! -f build-win64/matwcx.wlx64 || ! -f build-win32/matwcx.wlx ]]; then
  bash scripts/build_windows.sh --no-tests
fi
bash scripts/check_windows_binaries.sh build-win64/matwcx.wcx64 build-win32/matwcx.wcx build-win64/matwcx_v73.exe \
  build-win64/matwcx.wdx64 build-win32/matwcx.wdx build-win64/matwcx.wlx64 build-win32/matwcx.wlx

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
x86_64-w64-mingw32-strip -o "$stage/matwcx.wcx64" build-win64/matwcx.wcx64
i686-w64-mingw32-strip -o "$stage/matwcx.wcx" build-win32/matwcx.wcx
x86_64-w64-mingw32-strip -o "$stage/matwcx_v73.exe" build-win64/matwcx_v73.exe

# Windows text files: CR LF line ends.
crlf() { sed 's/$/\r/'; }
crlf >"$stage/pluginst.inf" <<INF
[plugininstall]
description=matwcx $version: MATLAB MAT-files as archives - list, view, extract, export to CSV/TSV/NPY/JSON, add, delete and convert variables; a content plug-in adds search and column fields
type=wcx
file=matwcx.wcx
defaultdir=matwcx
defaultextension=mat
INF
crlf >"$stage/readme.txt" <<README
matwcx $version
===========

A packer plug-in for Total Commander and Double Commander that opens a MATLAB
MAT-file (version 4, version 5/7 compressed or not, and version 7.3) as if
it were an archive: one entry per variable.

- Ctrl+PgDn on a .mat file opens it as an archive: its variables with class
  and size. (Enter starts the program associated with .mat files, such as
  MATLAB: the plug-in hides its archives from Enter, as the file manager
  offers for formats that are not really archives.)
- View a variable (F3) to see its values as text.
- Copy a variable out (F5) to get a MAT-file holding only that variable.
- Delete variables in place (F8); the file is rewritten safely, so that a
  failure leaves the old file as it was.
- Structs and cells can be shown as directories (Configure in the pack
  dialog, or the MATlab section of the plug-in settings file).

Installation: open this zip file in Total Commander (version 6.5 or later)
and confirm the installation. Otherwise copy matwcx.wcx (32-bit),
matwcx.wcx64 (64-bit) and matwcx_v73.exe into one folder and add it under
Configuration > Options > Plugins > Packer plugins, for the extension "mat".

Files:
  matwcx.wcx      the plug-in for 32-bit Total Commander / Double Commander
  matwcx.wcx64    the plug-in for 64-bit Total Commander / Double Commander
  matwcx_v73.exe  reads version 7.3 (HDF5) MAT-files for both plug-ins, in a
                  process of its own (64-bit Windows only; keep it beside them)
  pluginst.inf    the installation instructions Total Commander reads
README

mkdir -p "$out"
zip_path=$(cd "$out" && pwd)/matwcx-$version.zip
rm -f "$zip_path"
(cd "$stage" && zip -q -X "$zip_path" pluginst.inf matwcx.wcx matwcx.wcx64 matwcx_v73.exe readme.txt)
echo "make_package.sh: $zip_path"
if command -v unzip >/dev/null; then unzip -l "$zip_path"; fi

# The content plug-in: a zip of its own, since pluginst.inf installs one
# plug-in (type=wdx). Its worker is the same program as the packer's.
cstage=$(mktemp -d)
lstage=$(mktemp -d)
trap 'rm -rf "$stage" "$cstage" "$lstage"' EXIT
x86_64-w64-mingw32-strip -o "$cstage/matwcx.wdx64" build-win64/matwcx.wdx64
i686-w64-mingw32-strip -o "$cstage/matwcx.wdx" build-win32/matwcx.wdx
cp "$stage/matwcx_v73.exe" "$cstage/"
crlf >"$cstage/pluginst.inf" <<INF
[plugininstall]
description=matwcx $version content plug-in: MAT-file columns (version, variables, classes, sizes, date), Find Files by variable, compare by values
type=wdx
file=matwcx.wdx
defaultdir=matwcx
INF
crlf >"$cstage/readme.txt" <<README
matwcx $version content plug-in
=============================

Fields of MATLAB MAT-files for custom columns, tooltips, Find Files
(plug-in conditions) and Synchronize dirs (compare by contents): MAT
version, Variables, Variable names, Classes, Largest variable, Data bytes,
Compressed, Holds objects, Damaged, Written by, Created, Has variable, and
the full text Variable list. Only the variables' headers are read.

Installation: open this zip in Total Commander and confirm; or copy
matwcx.wdx, matwcx.wdx64 and matwcx_v73.exe into one folder and add the
plug-in under Configuration > Options > Plugins > Content plugins.
README
content_zip=$(cd "$out" && pwd)/matwcx-content-$version.zip
rm -f "$content_zip"
(cd "$cstage" && zip -q -X "$content_zip" pluginst.inf matwcx.wdx matwcx.wdx64 matwcx_v73.exe readme.txt)
echo "make_package.sh: $content_zip"
if command -v unzip >/dev/null; then unzip -l "$content_zip"; fi

# The lister: a zip of its own too (type=wlx), with the same worker.
x86_64-w64-mingw32-strip -o "$lstage/matwcx.wlx64" build-win64/matwcx.wlx64
i686-w64-mingw32-strip -o "$lstage/matwcx.wlx" build-win32/matwcx.wlx
cp "$stage/matwcx_v73.exe" "$lstage/"
crlf >"$lstage/pluginst.inf" <<INF
[plugininstall]
description=matwcx $version lister: F3 and quick view of MAT-files - the variables as whos lists them, line plots, images with a colour bar, RGB pictures, a grid of the numbers, the text
type=wlx
file=matwcx.wlx
defaultdir=matwcx
INF
crlf >"$lstage/readme.txt" <<README
matwcx $version lister plug-in
============================

F3 (Lister) and Ctrl+Q (quick view) on a MATLAB MAT-file: its variables
as MATLAB's whos lists them (sortable), and the selected one as a line
plot (vectors and the columns of a matrix; every peak kept), an image
scaled like imagesc with a colour bar, an RGB picture (M-by-N-by-3), a
grid of its numbers that reads only the cells in sight, or the viewer's
text (structs, cells, objects; searchable). Tab goes from one view to the
next; Ctrl+C copies the text or the selected rows of the grid. Total
Commander's thumbnails show the picture or plot of the largest variable.

Installation: open this zip in Total Commander and confirm; or copy
matwcx.wlx, matwcx.wlx64 and matwcx_v73.exe into one folder and add the
plug-in under Configuration > Options > Plugins > Lister plugins.
README
lister_zip=$(cd "$out" && pwd)/matwcx-lister-$version.zip
rm -f "$lister_zip"
(cd "$lstage" && zip -q -X "$lister_zip" pluginst.inf matwcx.wlx matwcx.wlx64 matwcx_v73.exe readme.txt)
echo "make_package.sh: $lister_zip"
if command -v unzip >/dev/null; then unzip -l "$lister_zip"; fi
