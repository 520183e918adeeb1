#!/usr/bin/env bash
# Crash recovery with the Windows build under Wine: the service registered and
# started with `sc`, a session started, then the service process killed with
# SIGKILL behind the service manager's back (a crash: no Stop control, no
# teardown). netsim shows the host route to the server left behind; `sc start`
# again must put the network back as it was and serve a new session.
#   wine_recovery_test.sh PREFIX BIN_DIR SOURCE_DIR
# BIN_DIR holds brenmoor-service-fixture.exe, brenmoor-ctl.exe,
# brenmoor-test-engine.exe, netsim.exe, th_service_probe_win.exe, wintun.dll, geodata/.
set -uo pipefail
prefix="$1"; bin="$2"; source_dir="$3"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
wine_run() { "$here/../../scripts/wine-run.sh" "$prefix" "$@"; }
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
check_eq() { if [ "$2" = "$3" ]; then echo "ok: $1"; else fail "$1: expected [$3], got [$2]"; fi; }
check_has() { if printf '%s' "$2" | grep -qF -- "$3"; then echo "ok: $1"; else fail "$1: [$3] not in [$2]"; fi; }
strip_cr() { tr -d '\r'; }

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
pellamy="$drive_c/ProgramData/Pellamy"
journal="$pellamy/brenmoor-network.journal"
rm -rf "$svc" "$drive_c/netsim" "$pellamy"
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
diff_clean() { netsim diff 'C:\netsim\before.txt' >/dev/null; }
# The Unix processes of this prefix's service (never another prefix's: other test
# runs may have a service of the same name at the same Windows path).
service_pids() {
  local p
  for p in /proc/[0-9]*; do
    { tr '\0' '\n' <"$p/cmdline"; } 2>/dev/null | grep -qi 'brenmoor-service.exe' || continue
    { tr '\0' '\n' <"$p/environ"; } 2>/dev/null | grep -qxF "WINEPREFIX=$abs_prefix" || continue
    echo "${p#/proc/}"
  done
}
sc_start() {
  local out
  for _ in $(seq 1 30); do
    out="$(wine_run sc start "$name" 2>&1 | strip_cr)"
    if printf '%s' "$out" | grep -q 1055; then sleep 1; continue; fi   # the manager is still starting up
    return 0
  done
  return 1
}
# Bounded wait for a condition, one check a second.
wait_for() {
  local what="$1"; shift
  for _ in $(seq 1 30); do "$@" && return 0; sleep 1; done
  fail "$what did not happen within 30 s"; return 1
}
status_idle() { ctl status | grep -qF '"state":"idle"'; }
no_engine() { [ "$(engines)" = 0 ]; }
no_service_process() { [ -z "$(service_pids)" ]; }

netsim init-typical >/dev/null || fail "netsim init-typical"
netsim dump >"$drive_c/netsim/before.txt"

wine_run sc stop "$name" >/dev/null 2>&1
wine_run sc delete "$name" >/dev/null 2>&1
wine_run sc create "$name" binPath= 'C:\brenmoor\brenmoor-service.exe' type= own start= demand >/dev/null
sc_start || fail "sc start kept failing with 1055"
check_eq "service running" "$(wine_run 'C:\brenmoor\probe.exe' wait-state "$name" 4 | strip_cr)" "4 5 0 0"

# --- a session, then a crash
out="$(ctl start --config 'C:\brenmoor\config.json' --server "$server" --lease 120)"
check_has "start answers active" "$out" '"state":"active"'
[ -f "$journal" ] && echo "ok: journal written during the session" || fail "no journal during the session"
pids="$(service_pids)"
[ -n "$pids" ] || fail "service process not found"
kill -KILL $pids 2>/dev/null
wait_for "the killed service's end" no_service_process
wait_for "the engine's end with its service (job closed)" no_engine
left="$(netsim dump | strip_cr)"
check_has "the server's host route was left behind" "$left" "$server/32"
diff_clean && fail "network unchanged after the kill: nothing for recovery to prove"
[ -f "$journal" ] && echo "ok: journal survives the kill" || fail "journal gone after the kill"

# --- the next start recovers
echo "after the kill the manager says: $(wine_run sc query "$name" 2>&1 | strip_cr | grep STATE)"
sc_start || fail "sc start after the kill kept failing"
check_eq "service running again" "$(wine_run 'C:\brenmoor\probe.exe' wait-state "$name" 4 | strip_cr)" "4 5 0 0"
wait_for "status idle after recovery" status_idle
diff_clean && echo "ok: network restored by recovery" || fail "network differs after recovery: $(netsim diff 'C:\netsim\before.txt' | strip_cr)"
[ -f "$journal" ] && fail "journal still there after recovery" || echo "ok: journal removed after recovery"
check_has "log has the recovery line" "$(strip_cr <"$pellamy/brenmoor-service.log")" "network recovered from journal: ipv4_servers=$server "

# --- and serves a new session normally
out="$(ctl start --config 'C:\brenmoor\config.json' --server "$server" --lease 120)"
check_has "new start answers active" "$out" '"state":"active"'
check_has "stop answers idle" "$(ctl stop)" '"state":"idle"'
diff_clean && echo "ok: network restored after stop" || fail "network differs after stop: $(netsim diff 'C:\netsim\before.txt' | strip_cr)"
[ -f "$journal" ] && fail "journal left after a stop" || echo "ok: no journal after stop"
wine_run sc stop "$name" >/dev/null 2>&1
check_eq "sc stop reaches stopped" "$(wine_run 'C:\brenmoor\probe.exe' wait-state "$name" 1 | strip_cr)" "1 0 0 0"
[ -f "$drive_c/netsim/net.json.rejected" ] && fail "netsim refused commands: $(cat "$drive_c/netsim/net.json.rejected")"

wine_run sc delete "$name" >/dev/null 2>&1
if [ "$failures" -eq 0 ]; then echo "wine recovery test: all checks passed"; exit 0; fi
echo "wine recovery test: $failures check(s) failed"
exit 1
