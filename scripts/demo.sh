#!/usr/bin/env bash
# The brenmoor demo on the dev host (run as root on Debian 12):
#   bash scripts/demo.sh
# Builds what it needs, starts the service under a notify-socket supervisor with a
# private host root, installs the diagnostic client where the identity check wants it,
# and shows status, a refused client, the service log and a clean stop.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$here"

step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
show() { printf '\033[2m$ %s\033[0m\n' "$*"; }

step "Preparing the machine and building (dev preset)"
bash scripts/setup.sh
cmake --preset dev >/dev/null
cmake --build --preset dev -j2 --target brenmoor-service brenmoor-ctl brenmoor-supervise >/dev/null
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

step "Starting the service under brenmoor-supervise (the systemd notify protocol)"
show "brenmoor-supervise --record $notify -- brenmoor-service"
"$bin/brenmoor-supervise" --record "$notify" -- "$bin/brenmoor-service" >"$demo/supervise.out" 2>&1 &
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
