#!/usr/bin/env bash
# Builds the Windows plug-ins (scripts/build_windows.sh) and runs the x86_64
# test programs and the matwcx command under 64-bit Wine. Wine's exit status
# says nothing when a program cannot start, so each suite is judged by
# GoogleTest's own summary; any failure, or a suite without a summary, fails
# the script. The i686 build is compiled and checked, not run (no 32-bit Wine).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

wine=$(command -v wine64 || true)
if [[ -z $wine && -x /usr/lib/wine/wine64 ]]; then
  wine=/usr/lib/wine/wine64   # Debian's wine64 package without the wine wrapper
fi
if [[ -z $wine ]]; then
  echo "test_windows.sh: wine64 is not installed" >&2
  exit 1
fi

bash scripts/build_windows.sh

build=$PWD/build-win64
export WINEPREFIX=$build/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [[ ! -f $WINEPREFIX/system.reg ]]; then
  echo "=== creating the Wine prefix $WINEPREFIX"
  "$wine" wineboot --init >/dev/null 2>&1 || true
fi
# No display driver for the suites: a window (a message box of the plug-in)
# is then refused at once instead of waiting for a click (a driver left by
# an earlier run by hand is taken away).
"$wine" reg delete 'HKCU\Software\Wine\Drivers' /v Graphics /f >/dev/null 2>&1 || true
export MATWCX_LISTER=$build/matwcx.wlx64
export MATWCX_PLUGIN=$build/matwcx.wcx64 MATWCX_TOOL=$build/matwcx.exe MATWCX_TESTDATA=$build/testdata \
  MATWCX_SOURCE_DIR=$PWD MATWCX_PYTHON=/usr/bin/python3

echo "=== build-win64: tests under $wine"
status=0
(cd "$build" && ctest --output-on-failure -j1) || status=1

# The command on its own: starts, loads the plug-in, reports its flags.
caps=$("$wine" "$build/matwcx.exe" --plugin "$MATWCX_PLUGIN" --ini "$build/caps.ini" caps 2>&1 || true)
if ! grep -q '^GetPackerCaps: ' <<<"$caps"; then
  echo "test_windows.sh: matwcx.exe did not run under Wine: $caps" >&2
  status=1
fi

server=$(command -v wineserver || true)
[[ -z $server && -x /usr/lib/wine/wineserver64 ]] && server=/usr/lib/wine/wineserver64

# The lister's windows need a display driver, which the suites' prefix
# must not have. They run in a prefix of their own under Wine's null
# driver (windows drawn in memory), set while no program of that prefix
# runs: its desktop starts with the driver.
lister_prefix=$build/wineprefix-lister
if [[ ! -f $lister_prefix/system.reg ]]; then
  echo "=== creating the Wine prefix $lister_prefix"
  WINEPREFIX=$lister_prefix "$wine" wineboot --init >/dev/null 2>&1 || true
fi
WINEPREFIX=$lister_prefix "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1 || true
[[ -n $server ]] && WINEPREFIX=$lister_prefix "$server" -k >/dev/null 2>&1 || true
echo "=== build-win64: the lister's tests under Wine's null display driver"
lister=$(cd "$build" && WINEPREFIX=$lister_prefix timeout 900 "$wine" "$build/test_windows.exe" --gtest_brief=1 \
  --gtest_filter='WindowsLister.*' 2>&1 || true)
if ! grep -q '\[  PASSED  \] [1-9][0-9]* tests\?\.' <<<"$lister" || grep -q FAILED <<<"$lister"; then
  echo "test_windows.sh: the Windows lister's tests failed: $lister" >&2
  status=1
fi

# Wine's servers end with their last program; do not wait for them.
if [[ -n $server ]]; then
  "$server" -k >/dev/null 2>&1 || true
  WINEPREFIX=$lister_prefix "$server" -k >/dev/null 2>&1 || true
fi

if [[ $status -ne 0 ]]; then
  echo "test_windows.sh: FAILED" >&2
else
  echo "test_windows.sh: the Windows builds and their tests passed"
fi
exit $status
