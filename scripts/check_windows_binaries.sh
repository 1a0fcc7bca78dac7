#!/usr/bin/env bash
# Checks built Windows binaries with objdump: every imported DLL is one that a
# plain Windows install has (no mingw runtime, no zlib1.dll), and a plug-in's
# exports are exactly the hosts' functions, undecorated (no "OpenArchive@4").
# Programs (.exe) get the import check only.
# Usage: scripts/check_windows_binaries.sh FILE...
set -euo pipefail

# System DLLs of every Windows since XP.
allowed='^(KERNEL32|USER32|GDI32|SHELL32|ADVAPI32|COMCTL32|COMDLG32|OLE32|OLEAUT32|SHLWAPI|VERSION|msvcrt|ucrtbase|api-ms-win-crt-[a-z0-9-]+)\.dll$'
# The hosts' functions: the names listed in wcx/exports.def (packer, .wcx
# and .wcx64), wcx/content_exports.def (content plug-in, .wdx and .wdx64)
# and wcx/lister_exports.def (lister, .wlx and .wlx64).
packer_exports=$(sed -n 's/^    \([A-Za-z]*\)$/\1/p' "$(dirname "$0")/../wcx/exports.def")
content_exports=$(sed -n 's/^    \([A-Za-z]*\)$/\1/p' "$(dirname "$0")/../wcx/content_exports.def")
lister_exports=$(sed -n 's/^    \([A-Za-z]*\)$/\1/p' "$(dirname "$0")/../wcx/lister_exports.def")

status=0
for dll in "$@"; do
  if [[ ! -f $dll ]]; then
    echo "check: $dll: missing" >&2
    status=1
    continue
  fi
  dump=$(x86_64-w64-mingw32-objdump -p "$dll")   # reads both PE32 and PE32+
  imports=$(sed -n 's/^\s*DLL Name: //p' <<<"$dump")
  while read -r name; do
    if ! grep -qiE "$allowed" <<<"$name"; then
      echo "check: $dll imports $name, which a plain Windows lacks" >&2
      status=1
    fi
  done <<<"$imports"
  if [[ $dll == *.exe ]]; then
    echo "check: $dll: imports $(tr '\n' ' ' <<<"$imports")"
    continue
  fi
  expected_exports=$packer_exports
  if [[ $dll == *.wdx || $dll == *.wdx64 ]]; then expected_exports=$content_exports; fi
  if [[ $dll == *.wlx || $dll == *.wlx64 ]]; then expected_exports=$lister_exports; fi
  # The name table: lines "[   n] Name" after "[Ordinal/Name Pointer] Table".
  exports=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" | sed -n 's/^\s*\[ *[0-9]*\] \(.*\)$/\1/p' | sort)
  if [[ $exports != "$(sort <<<"$expected_exports")" ]]; then
    echo "check: $dll exports differ from the hosts' functions:" >&2
    diff <(sort <<<"$expected_exports") <(echo "$exports") >&2 || true
    status=1
  fi
  echo "check: $dll: imports $(tr '\n' ' ' <<<"$imports"); $(grep -c . <<<"$exports") exports, undecorated"
done
exit $status
