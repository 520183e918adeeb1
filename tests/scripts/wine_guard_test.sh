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
. "$here/wine_lib.sh"

server=5.180.20.10   # only ever a string in the simulated network
install_session_world "$bin" "$source_dir" "$server"
log="$drive_c/ProgramData/Pellamy/brenmoor-service.log"
rm -f "$log"

service_log() { cat "$log" 2>/dev/null; }

run_session_service
move=(move-gateway --to 7 --gateway 192.168.7.1)
# What must differ after the session: the gateway move, nothing else.
moved_diff='- interface 7 alias="Wi-Fi" connected=no ipv4_metric=35 ipv6_metric=35 engine=no
- route 12 0.0.0.0/0 via 192.168.1.1 metric=0 store=ActiveStore
+ interface 7 alias="Wi-Fi" connected=yes ipv4_metric=35 ipv6_metric=35 engine=no
+ route 7 0.0.0.0/0 via 192.168.7.1 metric=0 store=ActiveStore'

out="$(ctl start --config 'C:\brenmoor\config.json' --server "$server" --lease 300)"
check_has "start answers active" "$out" '"state":"active"'

# --- a dropped host route is re-added on the same path
netsim drop-route "$server/32" >/dev/null || fail "drop-route"
wait_until "dropped host route re-added via 192.168.1.1 on 12" 20 output_has "route 12 $server/32 via 192.168.1.1 metric=1" netsim dump
wait_until "repair logged" 10 output_has "bypass route repair family=v4 moved=false routes=1 result=ok" service_log
check_has "repaired logged" "$(service_log)" "bypass route guard result=repaired"

# --- a gateway move is followed by the full check
netsim "${move[@]}" >/dev/null || fail "move-gateway"
wait_until "host route moved to 192.168.7.1 on 7" 45 output_has "route 7 $server/32 via 192.168.7.1 metric=1" netsim dump
wait_until "move logged" 10 output_has "bypass route repair family=v4 moved=true routes=1 result=ok" service_log
if printf '%s' "$(netsim dump | strip_cr)" | grep -qF "route 12 $server/32"; then fail "the host route via the old path is still there"; else echo "ok: old host route gone"; fi

check_has "stop answers idle" "$(ctl stop)" '"state":"idle"'
after="$(netsim diff 'C:\netsim\before.txt' | strip_cr)"
if [ "$after" = "$moved_diff" ]; then echo "ok: network as before, with the gateway moved"
else fail "network after stop: expected [$moved_diff], got [$after]"; fi
if printf '%s' "$(netsim dump | strip_cr)" | grep -qF "$server"; then fail "a host route to the server was left"; else echo "ok: no host route left"; fi
[ -f "$drive_c/netsim/net.json.rejected" ] && fail "netsim refused commands: $(cat "$drive_c/netsim/net.json.rejected")"

wine_run sc stop "$name" >/dev/null 2>&1
wait_state 1 >/dev/null 2>&1
wine_run sc delete "$name" >/dev/null 2>&1
finish "wine guard test"
