#!/usr/bin/env bash
# What a standard user could prepare against the service, tried with the Windows
# build as a real service under Wine:
#   wine_hardening_test.sh PREFIX SERVICE_EXE CLIENT_EXE PROBE_EXE
# SERVICE_EXE (th_service_host) is registered as BrenmoorFullDevice; CLIENT_EXE
# (th_pipe_client) is installed as the desktop client; PROBE_EXE reads the manager.
#  1. The log folder made in advance as a link to another folder (Wine shows a Unix
#     symbolic link to a folder as a reparse point): never written through; the
#     service still serves and stops.
#  2. The log file hard-linked to a file elsewhere: not appended to.
#  3. A cleanup that fails: the process ends, the manager shows STOPPED with the
#     service-specific code, and the service can be started again.
set -uo pipefail
prefix="$1"; service_exe="$2"; client_exe="$3"; probe_exe="$4"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
. "$here/wine_lib.sh"

pipe='\\.\pipe\brenmoor-full-device'
status_req='{"version":1,"command":"status","request_id":"h","issued_at_unix_ms":1}'
start_req='{"version":1,"command":"start","request_id":"h","issued_at_unix_ms":1,"lease_seconds":600}'
idle='{"success":true,"state":"idle","error":"","degraded":false,"session_token":""}'
client='C:\Program Files\Pellamy\brenmoor-win.exe'

mkdir -p "$drive_c/brenmoor" "$drive_c/Program Files/Pellamy"
cp "$service_exe" "$drive_c/brenmoor/brenmoor-service.exe"
cp "$probe_exe" "$drive_c/brenmoor/probe.exe"
cp "$client_exe" "$drive_c/Program Files/Pellamy/brenmoor-win.exe"
folder="$drive_c/ProgramData/Pellamy"
log="$folder/brenmoor-service.log"

start_service() {
  if sc_start; then check_eq "$1: running" "$(wait_state 4)" "4 5 0 0"
  else fail "$1: sc start kept failing with 1055"; fi
}
serve_and_stop() {
  check_eq "$1: the installed client is served" "$(wine_run "$client" "$pipe" send "$status_req" | strip_cr)" "$idle"
  wine_run sc stop "$name" >/dev/null 2>&1
  check_eq "$1: stopped" "$(wait_state 1)" "1 0 0 0"
}

sc_register 'C:\brenmoor\brenmoor-service.exe'

# 1. A folder link in place of the log folder, made before the service first ran.
rm -rf "$folder" "$drive_c/elsewhere"
mkdir -p "$drive_c/ProgramData" "$drive_c/elsewhere"
ln -s "$drive_c/elsewhere" "$folder"
start_service "linked folder"
serve_and_stop "linked folder"
check_eq "nothing written through the linked folder" "$(ls -A "$drive_c/elsewhere")" ""
rm -f "$folder"

# 2. The service makes its folder and log; then the log becomes a hard link.
start_service "own folder"
serve_and_stop "own folder"
if grep -q " service main entered$" "$log" 2>/dev/null; then echo "ok: the service logs into its own folder"
else fail "no log in the service's own folder"; fi
printf 'precious\n' >"$drive_c/victim.txt"
rm -f "$log"
ln "$drive_c/victim.txt" "$log"
start_service "hard-linked log"
serve_and_stop "hard-linked log"
check_eq "the hard-linked file is not appended to" "$(cat "$drive_c/victim.txt")" "precious"
rm -f "$log"

# 3. A teardown that fails at shutdown.
sc_register 'C:\brenmoor\brenmoor-service.exe --test-fail-cleanup'
start_service "failing cleanup"
pid="$(wine_run "$probe" pid "$name" | strip_cr)"
check_has "a session to tear down" "$(wine_run "$client" "$pipe" send "$start_req" | strip_cr)" '"success":true'
wine_run sc stop "$name" >/dev/null 2>&1
check_eq "failing cleanup: stopped" "$(wine_run "$probe" wait-state "$name" 1 | cut -d' ' -f1 | strip_cr)" "1"
check_eq "win32 and service-specific exit codes" "$(wine_run "$probe" exit-codes "$name" | strip_cr)" "1066 1"
check_has "sc query shows STOPPED" "$(wine_run sc query "$name" 2>&1 | strip_cr)" "STOPPED"
check_eq "the service process ended" "$(wine_run "$probe" wait-exit "$pid" | strip_cr)" "exited"
start_service "started again after the failure"
serve_and_stop "started again after the failure"
check_eq "a clean stop clears the exit codes" "$(wine_run "$probe" exit-codes "$name" | strip_cr)" "0 0"
for line in "shutdown cleanup failed: cleanup_worker_panicked" "service failed: cleanup_worker_panicked"; do
  if grep -q " $line\$" "$log" 2>/dev/null; then echo "ok: log has \"$line\""; else fail "log lacks \"$line\""; fi
done

wine_run sc delete "$name" >/dev/null 2>&1

finish "wine hardening test"
