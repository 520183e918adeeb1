#!/usr/bin/env bash
# The brenmoor demo on the dev host (run as root on Debian 12):
#   bash scripts/demo.sh
# Builds what it needs, then tells a whole session on the dev host: a typical Windows
# machine in netsim (the simulated network), the service under a notify-socket
# supervisor, the diagnostic client installed where the identity check wants it, a
# start with the shipped sample configuration and the stand-in engine, the network
# before, during and after, status, renew, the carrier and datagram lanes, stop, and
# a clean stop of the service.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$here"

step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
show() { printf '\033[2m$ %s\033[0m\n' "$*"; }

step "Preparing the machine and building (dev preset)"
bash scripts/setup.sh
cmake --preset dev >/dev/null
cmake --build --preset dev -j2 --target brenmoor-service brenmoor-ctl brenmoor-supervise brenmoor-test-engine netsim >/dev/null
bin="$here/build/dev/bin"

demo="$here/demo-host"
rm -rf "$demo"
mkdir -p "$demo"
export BRENMOOR_HOST_ROOT="$demo/host"            # stands for C:\ and \\.\pipe on this machine
export ProgramFiles="$demo/Program Files"         # the service reads it for the identity check
export BRENMOOR_CTL_TOKEN_FILE="$demo/client/session-token"
client="$ProgramFiles/Pellamy/brenmoor-win.exe"
mkdir -p "$(dirname "$client")" "$demo/Downloads"
cp "$bin/brenmoor-ctl" "$client"
cp "$bin/brenmoor-ctl" "$demo/Downloads/brenmoor-win.exe"
log="$BRENMOOR_HOST_ROOT/ProgramData/Pellamy/brenmoor-service.log"
notify="$demo/notify.log"

# The service folder as the installer lays it out: the service, the engine (here the
# stand-in engine), wintun.dll and the geodata (stand-in files whose digest this build accepts).
svc="$demo/Program Files/Pellamy/service"
mkdir -p "$svc/geodata"
cp "$bin/brenmoor-service" "$svc/"
cp "$bin/brenmoor-test-engine" "$svc/engine.exe"
cp "$bin/wintun.dll" "$svc/"
cp "$bin/geodata/geoip.dat" "$bin/geodata/geosite.dat" "$svc/geodata/"

# The machine's network: netsim's route, netsh and powershell.exe first on PATH.
mkdir -p "$demo/tools"
for tool in route netsh powershell.exe; do cp "$bin/netsim" "$demo/tools/$tool"; done
export PATH="$demo/tools:$PATH"
export BRENMOOR_NETSIM="$demo/network.json"
server=5.180.20.10   # the VPN server; only ever a string in the simulated network
sed "s/vpn\.example\.net/$server/g" samples/config.json >"$demo/config.json"

step "A typical Windows machine (simulated by netsim)"
show "netsim init-typical && netsim show"
"$bin/netsim" init-typical >/dev/null
"$bin/netsim" show | sed 's/^/  /'
"$bin/netsim" dump >"$demo/network-before.txt"

step "Starting the service under brenmoor-supervise (the systemd notify protocol)"
show "brenmoor-supervise --record $notify -- brenmoor-service"
"$bin/brenmoor-supervise" --record "$notify" -- "$svc/brenmoor-service" >"$demo/supervise.out" 2>&1 &
supervisor=$!
for _ in $(seq 1 300); do
  grep -q "READY=1" "$notify" 2>/dev/null && break
  kill -0 "$supervisor" 2>/dev/null || { cat "$demo/supervise.out"; echo "the service did not start"; exit 1; }
  sleep 0.1
done
grep -q "READY=1" "$notify" || { echo "the service did not report running"; exit 1; }
sed 's/^/  /' "$notify"
echo "  control pipe: $BRENMOOR_HOST_ROOT/pipe/brenmoor-full-device"
ls -l "$BRENMOOR_HOST_ROOT/pipe/brenmoor-full-device" | sed 's/^/  /'

step "The client installed as \$ProgramFiles/Pellamy/brenmoor-win.exe asks for the status"
show "\"$client\" status"
"$client" status | sed 's/^/  /'
show "\"$client\" --json status"
"$client" --json status | sed 's/^/  /'

step "The same program from another folder is refused"
show "\"$demo/Downloads/brenmoor-win.exe\" status"
set +e
"$demo/Downloads/brenmoor-win.exe" status 2>&1 | sed 's/^/  /'
rc=${PIPESTATUS[0]}
set -e
echo "  exit code: $rc"

step "Start a session with the sample configuration (samples/config.json, server $server)"
show "sed 's/vpn\\.example\\.net/$server/g' samples/config.json > $demo/config.json   # the server, byte for byte"
show "\"$client\" start --config $demo/config.json --server $server --lease 60"
"$client" start --config "$demo/config.json" --server "$server" --lease 60 | sed 's/^/  /'

step "The network during the session"
show "netsim show"
"$bin/netsim" show | sed 's/^/  /'
echo "  commands the service ran: $(wc -l <"$BRENMOOR_NETSIM.log")"

step "Status and lease renewal"
show "\"$client\" status"
"$client" status | sed 's/^/  /'
show "\"$client\" renew --lease 120"
"$client" renew --lease 120 | sed 's/^/  /'

step "The carrier lane: an offer, relayed to the engine"
show "\"$client\" carrier offer ... --uplink $server:443 --generation 1"
"$client" carrier offer --endpoint 100.64.1.1:500 --port-count 2 --pin demo-pin --auth demo-secret \
  --consumer-key "$(printf 'k%.0s' $(seq 1 64))" --node-name demo-node --uplink "$server:443" \
  --server-name "$server" --generation 1 | sed 's/^/  /'

step "The datagram lane: start the relay, then its status"
show "\"$client\" datagram start --port 7000 --auth demo-token --private-key <64 hex> --node-public-key <64 hex>"
"$client" datagram start --port 7000 --auth demo-token --private-key "$(printf 'a%.0s' $(seq 1 64))" \
  --node-public-key "$(printf 'b%.0s' $(seq 1 64))" | sed 's/^/  /'
show "\"$client\" datagram status"
"$client" datagram status | sed 's/^/  /'

step "Stop the session"
show "\"$client\" stop"
"$client" stop | sed 's/^/  /'
show "netsim diff network-before.txt   (the network now, against before the start)"
if "$bin/netsim" diff "$demo/network-before.txt" >"$demo/diff.txt"; then
  echo "  the network is exactly as it was before the start"
else
  sed 's/^/  /' "$demo/diff.txt"
fi
if pgrep -f "$svc/engine.exe" >/dev/null; then echo "  an engine is still running!"; else echo "  no engine process is left"; fi

step "The service log"
show "cat $log"
sed 's/^/  /' "$log"

step "Stopping the service (SIGTERM is the Stop control)"
show "kill -TERM <supervisor>"
kill -TERM "$supervisor"
set +e
wait "$supervisor"
rc=$?
set -e
sed 's/^/  /' "$notify"
echo "  service exit code: $rc"
show "\"$client\" status"
set +e
"$client" status 2>&1 | sed 's/^/  /'
set -e

step "The log after the stop"
sed 's/^/  /' "$log" | tail -n 4
echo
echo "Everything the demo made is in $demo (removed by the next run)."
