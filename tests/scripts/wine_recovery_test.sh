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
. "$here/wine_lib.sh"

server=5.180.20.10   # only ever a string in the simulated network
pellamy="$drive_c/ProgramData/Pellamy"
journal="$pellamy/brenmoor-network.journal"
install_session_world "$bin" "$source_dir" "$server"
rm -rf "$pellamy"

diff_clean() { netsim diff 'C:\netsim\before.txt' >/dev/null; }
# Bounded wait for a condition, one check a second.
wait_for() { wait_until "$1" 30 "${@:2}"; }
status_idle() { ctl status | grep -qF '"state":"idle"'; }
no_engine() { [ "$(engines)" = 0 ]; }
no_service_process() { [ -z "$(service_pids)" ]; }

run_session_service

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
check_eq "service running again" "$(wait_state 4)" "4 5 0 0"
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
check_eq "sc stop reaches stopped" "$(wait_state 1)" "1 0 0 0"
[ -f "$drive_c/netsim/net.json.rejected" ] && fail "netsim refused commands: $(cat "$drive_c/netsim/net.json.rejected")"

wine_run sc delete "$name" >/dev/null 2>&1
finish "wine recovery test"
