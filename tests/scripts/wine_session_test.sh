#!/usr/bin/env bash
# A whole engine session with the Windows build under Wine: the service registered
# and started with `sc`, the stand-in engine as engine.exe and netsim's route.exe,
# netsh.exe and powershell.exe beside it, the client installed under Program Files.
#   wine_session_test.sh PREFIX BIN_DIR SOURCE_DIR
# BIN_DIR holds brenmoor-service-fixture.exe (the service accepting the stand-in
# wintun.dll), brenmoor-ctl.exe, brenmoor-test-engine.exe, netsim.exe,
# th_service_probe_win.exe, wintun.dll and geodata/.
set -uo pipefail
prefix="$1"; bin="$2"; source_dir="$3"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
wine_run() { "$here/../../scripts/wine-run.sh" "$prefix" "$@"; }
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
check_eq() { if [ "$2" = "$3" ]; then echo "ok: $1"; else fail "$1: expected [$3], got [$2]"; fi; }
check_has() { if printf '%s' "$2" | grep -qF -- "$3"; then echo "ok: $1"; else fail "$1: [$3] not in [$2]"; fi; }
strip_cr() { tr -d '\r'; }
json_field() { sed -n "s/.*\"$1\":\"\\{0,1\\}\\([^\",}]*\\).*/\\1/p"; }

name=BrenmoorFullDevice
server=5.180.20.10   # only ever a string in the simulated network
export BRENMOOR_NETSIM='C:\netsim\net.json'
export BRENMOOR_CTL_TOKEN_FILE='C:\netsim\token'
wine_run cmd /c exit 0 >/dev/null 2>&1   # creates the prefix and its persistent server
# A service gets the system environment, not ours: put the state file's name there,
# then restart the server so the service manager starts afresh with it.
wine_run reg add 'HKLM\System\CurrentControlSet\Control\Session Manager\Environment' \
  /v BRENMOOR_NETSIM /d "$BRENMOOR_NETSIM" /f >/dev/null 2>&1
abs_prefix="$(cd "$prefix" && pwd)"
WINEPREFIX="$abs_prefix" wineserver -k >/dev/null 2>&1
WINEPREFIX="$abs_prefix" wineserver -w >/dev/null 2>&1
wine_run cmd /c exit 0 >/dev/null 2>&1

drive_c="$prefix/drive_c"
svc="$drive_c/brenmoor"
rm -rf "$svc" "$drive_c/netsim"
mkdir -p "$svc/geodata" "$drive_c/netsim" "$drive_c/Program Files/Pellamy"
cp "$bin/brenmoor-service-fixture.exe" "$svc/brenmoor-service.exe"
cp "$bin/brenmoor-test-engine.exe" "$svc/engine.exe"
cp "$bin/wintun.dll" "$svc/wintun.dll"
cp "$bin/geodata/geoip.dat" "$bin/geodata/geosite.dat" "$svc/geodata/"
cp "$bin/th_service_probe_win.exe" "$svc/probe.exe"
# The service's own folder comes first in the Windows search order, ahead of Wine's tools.
for tool in route.exe netsh.exe powershell.exe netsim.exe; do cp "$bin/netsim.exe" "$svc/$tool"; done
cp "$bin/brenmoor-ctl.exe" "$drive_c/Program Files/Pellamy/brenmoor-win.exe"
sed "s/vpn\.example\.net/$server/g" "$source_dir/samples/config.json" >"$svc/config.json"

netsim() { wine_run 'C:\brenmoor\netsim.exe' "$@"; }
ctl() { wine_run 'C:\Program Files\Pellamy\brenmoor-win.exe' --json "$@" 2>&1 | strip_cr; }
# Wine's tasklist prints nothing; its wmic lists processes (in UTF-16).
engines() { wine_run wmic process get name 2>/dev/null | iconv -f UTF-16LE -t UTF-8 | strip_cr | grep -ci '^engine.exe'; }

netsim init-typical >/dev/null || fail "netsim init-typical"
netsim dump >"$drive_c/netsim/before.txt"

wine_run sc stop "$name" >/dev/null 2>&1
wine_run sc delete "$name" >/dev/null 2>&1
wine_run sc create "$name" binPath= 'C:\brenmoor\brenmoor-service.exe' type= own start= demand >/dev/null
started=0
for _ in $(seq 1 30); do
  out="$(wine_run sc start "$name" 2>&1 | strip_cr)"
  if printf '%s' "$out" | grep -q 1055; then sleep 1; continue; fi   # the manager is still starting up
  started=1; break
done
[ "$started" = 1 ] || fail "sc start kept failing with 1055"
check_eq "service running" "$(wine_run 'C:\brenmoor\probe.exe' wait-state "$name" 4 | strip_cr)" "4 5 0 0"

# --- start, status, stop
out="$(ctl start --config 'C:\brenmoor\config.json' --server "$server" --lease 120)"
check_has "start answers active" "$out" '"state":"active"'
token="$(printf '%s' "$out" | json_field session_token)"
check_eq "session token length" "${#token}" "36"
during="$(netsim dump | strip_cr)"
for expected in "10.88.91.1/30" "fd00:ae91::1/64" "$server/32" "0.0.0.0/1" "128.0.0.0/1" "8000::/1" "1.1.1.1"; do
  check_has "network during the session has $expected" "$during" "$expected"
done
check_eq "one engine running" "$(engines)" "1"
check_has "status is active" "$(ctl status)" '"state":"active"'
check_has "stop answers idle" "$(ctl stop)" '"state":"idle"'
check_eq "no engine after stop" "$(engines)" "0"
netsim diff 'C:\netsim\before.txt' >/dev/null && echo "ok: network restored after stop" || fail "network differs after stop: $(netsim diff 'C:\netsim\before.txt' | strip_cr)"

# --- sc stop during an active session
out="$(ctl start --config 'C:\brenmoor\config.json' --server "$server" --lease 120)"
check_has "second start answers active" "$out" '"state":"active"'
check_eq "engine running again" "$(engines)" "1"
wine_run sc stop "$name" >/dev/null 2>&1
check_eq "sc stop reaches stopped" "$(wine_run 'C:\brenmoor\probe.exe' wait-state "$name" 1 | strip_cr)" "1 0 0 0"
check_eq "no engine after sc stop" "$(engines)" "0"
netsim diff 'C:\netsim\before.txt' >/dev/null && echo "ok: network restored after sc stop" || fail "network differs after sc stop: $(netsim diff 'C:\netsim\before.txt' | strip_cr)"
[ -f "$drive_c/netsim/net.json.rejected" ] && fail "netsim refused commands: $(cat "$drive_c/netsim/net.json.rejected")"

wine_run sc delete "$name" >/dev/null 2>&1
if [ "$failures" -eq 0 ]; then echo "wine session test: all checks passed"; exit 0; fi
echo "wine session test: $failures check(s) failed"
exit 1
