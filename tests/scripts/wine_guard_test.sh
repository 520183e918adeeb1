#!/usr/bin/env bash
# The bypass route guard as a real Windows service under Wine: the fixture twin of the
# service (its best-route lookup answers from netsim, since Wine 8's GetBestRoute2
# answers ERROR_NOT_SUPPORTED), the stand-in engine, netsim's tools beside it.
#   wine_guard_test.sh PREFIX BIN_DIR SOURCE_DIR
# A dropped host route must come back on the same path within a few 2-second cycles;
# a gateway move must be followed by the next full check (30 s); after stop the
# network is the initial one with the gateway move, and no host route is left.
set -uo pipefail
prefix="$1"; bin="$2"; source_dir="$3"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
wine_run() { "$here/../../scripts/wine-run.sh" "$prefix" "$@"; }
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
check_has() { if printf '%s' "$2" | grep -qF -- "$3"; then echo "ok: $1"; else fail "$1: [$3] not in [$2]"; fi; }
strip_cr() { tr -d '\r'; }
# Polls (bounded, in 1 s steps) until the command's output contains the text.
wait_for() {
  local what="$1" bound="$2" text="$3"; shift 3
  for _ in $(seq 1 "$bound"); do
    # Whole output first: grep -q ending early would fail the pipe under pipefail.
    local out; out="$("$@" 2>/dev/null | strip_cr)"
    if printf '%s' "$out" | grep -qF -- "$text"; then echo "ok: $what"; return 0; fi
    sleep 1
  done
  fail "$what: [$text] not seen within ${bound}s"
  return 1
}

name=BrenmoorFullDevice
server=5.180.20.10   # only ever a string in the simulated network
export BRENMOOR_NETSIM='C:\netsim\net.json'
export BRENMOOR_CTL_TOKEN_FILE='C:\netsim\token'
wine_run cmd /c exit 0 >/dev/null 2>&1
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
log="$drive_c/ProgramData/Pellamy/brenmoor-service.log"
rm -rf "$svc" "$drive_c/netsim" "$log"
mkdir -p "$svc/geodata" "$drive_c/netsim" "$drive_c/Program Files/Pellamy"
cp "$bin/brenmoor-service-fixture.exe" "$svc/brenmoor-service.exe"
cp "$bin/brenmoor-test-engine.exe" "$svc/engine.exe"
cp "$bin/wintun.dll" "$svc/wintun.dll"
cp "$bin/geodata/geoip.dat" "$bin/geodata/geosite.dat" "$svc/geodata/"
cp "$bin/th_service_probe_win.exe" "$svc/probe.exe"
for tool in route.exe netsh.exe powershell.exe netsim.exe; do cp "$bin/netsim.exe" "$svc/$tool"; done
cp "$bin/brenmoor-ctl.exe" "$drive_c/Program Files/Pellamy/brenmoor-win.exe"
sed "s/vpn\.example\.net/$server/g" "$source_dir/samples/config.json" >"$svc/config.json"

netsim() { wine_run 'C:\brenmoor\netsim.exe' "$@"; }
ctl() { wine_run 'C:\Program Files\Pellamy\brenmoor-win.exe' --json "$@" 2>&1 | strip_cr; }
service_log() { cat "$log" 2>/dev/null; }

netsim init-typical >/dev/null || fail "netsim init-typical"
netsim dump >"$drive_c/netsim/before.txt"
move=(move-gateway --to 7 --gateway 192.168.7.1)
# What must differ after the session: the gateway move, nothing else.
moved_diff='- interface 7 alias="Wi-Fi" connected=no ipv4_metric=35 ipv6_metric=35 engine=no
- route 12 0.0.0.0/0 via 192.168.1.1 metric=0 store=ActiveStore
+ interface 7 alias="Wi-Fi" connected=yes ipv4_metric=35 ipv6_metric=35 engine=no
+ route 7 0.0.0.0/0 via 192.168.7.1 metric=0 store=ActiveStore'

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
check_has "service running" "$(wine_run 'C:\brenmoor\probe.exe' wait-state "$name" 4 | strip_cr)" "4 5 0 0"

out="$(ctl start --config 'C:\brenmoor\config.json' --server "$server" --lease 300)"
check_has "start answers active" "$out" '"state":"active"'

# --- a dropped host route is re-added on the same path
netsim drop-route "$server/32" >/dev/null || fail "drop-route"
wait_for "dropped host route re-added via 192.168.1.1 on 12" 20 "route 12 $server/32 via 192.168.1.1 metric=1" netsim dump
wait_for "repair logged" 10 "bypass route repair family=v4 moved=false routes=1 result=ok" service_log
check_has "repaired logged" "$(service_log)" "bypass route guard result=repaired"

# --- a gateway move is followed by the full check
netsim "${move[@]}" >/dev/null || fail "move-gateway"
wait_for "host route moved to 192.168.7.1 on 7" 45 "route 7 $server/32 via 192.168.7.1 metric=1" netsim dump
wait_for "move logged" 10 "bypass route repair family=v4 moved=true routes=1 result=ok" service_log
if printf '%s' "$(netsim dump | strip_cr)" | grep -qF "route 12 $server/32"; then fail "the host route via the old path is still there"; else echo "ok: old host route gone"; fi

check_has "stop answers idle" "$(ctl stop)" '"state":"idle"'
after="$(netsim diff 'C:\netsim\before.txt' | strip_cr)"
if [ "$after" = "$moved_diff" ]; then echo "ok: network as before, with the gateway moved"
else fail "network after stop: expected [$moved_diff], got [$after]"; fi
if printf '%s' "$(netsim dump | strip_cr)" | grep -qF "$server"; then fail "a host route to the server was left"; else echo "ok: no host route left"; fi
[ -f "$drive_c/netsim/net.json.rejected" ] && fail "netsim refused commands: $(cat "$drive_c/netsim/net.json.rejected")"

wine_run sc stop "$name" >/dev/null 2>&1
wine_run 'C:\brenmoor\probe.exe' wait-state "$name" 1 >/dev/null 2>&1
wine_run sc delete "$name" >/dev/null 2>&1
if [ "$failures" -eq 0 ]; then echo "wine guard test: all checks passed"; exit 0; fi
echo "wine guard test: $failures check(s) failed"
exit 1
