#!/usr/bin/env bash
# Runs the Windows build's command-line tests under Wine:
#
#   tests/windows/run_wine_tests.sh LINUX_BUILD WINDOWS_BUILD
#
# LINUX_BUILD holds tests/windows/pixbake_wine_tests (its target of that
# name), WINDOWS_BUILD pixbake.exe and tests/windows/run_command_line.exe
# (the targets pixbake and run_command_line). Wine gets a prefix of its own in
# a temporary folder, removed afterwards with its server. Nothing here needs
# a display, a console or a terminal; timeouts keep a stuck Wine from
# holding anything up.
set -euo pipefail

if [ $# -ne 2 ]; then
  echo "usage: $0 LINUX_BUILD WINDOWS_BUILD" >&2
  exit 2
fi
harness=$1/tests/windows/pixbake_wine_tests
windows_build=$(cd "$2" && pwd)
for file in "$harness" "$windows_build/pixbake.exe" "$windows_build/tests/windows/run_command_line.exe"; do
  [ -e "$file" ] || { echo "$0: $file is missing: build it first" >&2; exit 2; }
done
wine=$(command -v wine || command -v wine64 || true)
wineserver=$(command -v wineserver || command -v wineserver-stable || echo /usr/lib/wine/wineserver)
[ -n "$wine" ] || { echo "$0: Wine is not installed" >&2; exit 2; }

# Everything Wine keeps goes into one temporary folder: the prefix, the
# server's socket folder (under TMPDIR) and the log of setting them up.
root=$(mktemp -d "${TMPDIR:-/tmp}/pixbake-wine-XXXXXX")
export WINEPREFIX=$root/prefix TMPDIR=$root/tmp
mkdir "$WINEPREFIX" "$TMPDIR"
export WINEDEBUG=-all          # no Wine diagnostics among pixbake's own output
export WINEDLLOVERRIDES="mscoree,mshtml="  # no offer to install .NET or a browser engine
unset DISPLAY WAYLAND_DISPLAY
cleanup() {
  "$wineserver" -k >/dev/null 2>&1 || true
  rm -rf "$root"
}
trap cleanup EXIT

# One server for the whole run, started here with its output going to the
# log, so that no test's pipe is held open by it; then the prefix is made.
start=$SECONDS
"$wineserver" -p >"$root/setup.log" 2>&1
if ! setsid -w timeout -k 10 300 "$wine" wineboot --init </dev/null >>"$root/setup.log" 2>&1; then
  echo "$0: Wine could not set up its prefix:" >&2
  cat "$root/setup.log" >&2
  exit 1
fi
echo "Wine prefix ready in $((SECONDS - start)) s"

# No desktop process: with no display it can only fail to start, and a
# program on a console would wait seconds for that each time it ends.
export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;explorer.exe=d"
PIXBAKE_WINDOWS_BUILD=$windows_build PIXBAKE_WINE=$wine timeout -k 10 900 "$harness" </dev/null
