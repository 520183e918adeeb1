#!/usr/bin/env bash
# Runs one Windows program under Wine in a given prefix and passes its exit code through.
#   scripts/wine-run.sh PREFIX PROGRAM [ARGS...]
# The prefix is created on first use (under a lock, so parallel test runs do not race
# to create it) and its wineserver is kept persistent: a service registered with `sc`
# only survives between two Wine processes while the server lives.
set -uo pipefail

if [ $# -lt 2 ]; then
  echo "usage: $0 PREFIX PROGRAM [ARGS...]" >&2
  exit 2
fi
prefix="$1"
shift

mkdir -p "$(dirname "$prefix")"
WINEPREFIX="$(cd "$(dirname "$prefix")" && pwd)/$(basename "$prefix")"
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko installer dialogs: nothing here needs .NET or a browser engine.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

# Debian's `wine` wrapper warns about a missing 32-bit loader on every start; the
# 64-bit loader is all our x86-64 programs need.
if command -v wine64 >/dev/null 2>&1; then
  wine_bin=wine64
elif [ -x /usr/lib/wine/wine64 ]; then
  wine_bin=/usr/lib/wine/wine64
else
  wine_bin=wine
fi

(
  flock 9
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot -i >/dev/null 2>&1 9>&-
    # wineboot leaves a short-lived server behind; let it finish writing the
    # registry before the persistent one takes over.
    wineserver -w 9>&-
  fi
  # Fails harmlessly when a server for this prefix is already running. The lock's
  # descriptor must not leak into the server, or the lock would be held forever.
  wineserver -p </dev/null >/dev/null 2>&1 9>&- || true
  # The first program of a server session boots Wine's system processes (services.exe,
  # winedevice.exe), and they inherit its standard streams and outlive it. Boot them
  # here with nothing attached, or a caller reading our output (ctest) would wait
  # for an end of stream that never comes. When they already run this costs little.
  "$wine_bin" cmd /c exit 0 </dev/null >/dev/null 2>&1 9>&- || true
) 9>"$WINEPREFIX.lock"

"$wine_bin" "$@"
exit $?
