#!/usr/bin/env bash
# A whole engine session with the Windows build under Wine: the service registered
# and started with `sc`, the stand-in engine as engine.exe beside it, netsim's
# route.exe, netsh.exe and powershell.exe in the system folder, the client installed
# under Program Files. Copies of the three tools that only leave a marker when run
# (th_tool_trap_win) are planted beside the service, in a folder on the system PATH
# and, for a run in the foreground, in the current folder and the PATH given to it:
# none of them may ever run.
#   wine_session_test.sh PREFIX BIN_DIR SOURCE_DIR
# BIN_DIR holds brenmoor-service-fixture.exe (the service accepting the stand-in
# wintun.dll), brenmoor-ctl.exe, brenmoor-test-engine.exe, netsim.exe,
# th_service_probe_win.exe, th_tool_trap_win.exe, wintun.dll and geodata/.
set -uo pipefail
prefix="$1"; bin="$2"; source_dir="$3"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
. "$here/wine_lib.sh"
json_field() { sed -n "s/.*\"$1\":\"\\{0,1\\}\\([^\",}]*\\).*/\\1/p"; }

server=5.180.20.10   # only ever a string in the simulated network
# The system PATH starts with a folder of planted tools, as a folder left writable
# by an installer would; it must be set before the service manager starts afresh.
trap_path='C:\trap-path'
system_env PATH "$trap_path;C:\\windows\\system32;C:\\windows;C:\\windows\\system32\\wbem;C:\\windows\\system32\\WindowsPowerShell\\v1.0"
install_session_world "$bin" "$source_dir" "$server"
rm -rf "$drive_c/trap-path" "$drive_c/trap-cwd"
mkdir -p "$drive_c/trap-path" "$drive_c/trap-cwd"
for tool in route.exe netsh.exe powershell.exe; do
  for folder in "$svc" "$drive_c/trap-path" "$drive_c/trap-cwd"; do cp "$bin/th_tool_trap_win.exe" "$folder/$tool"; done
done
no_planted_tool_ran() {  # WHEN
  local ran
  ran="$(cd "$drive_c" && ls brenmoor/*.ran trap-path/*.ran trap-cwd/*.ran 2>/dev/null)"
  if [ -z "$ran" ]; then echo "ok: no planted tool ran $1"
  else fail "planted tools ran $1: $ran"; fi
}

run_session_service

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
no_planted_tool_ran "during a session of the service"

# --- sc stop during an active session
out="$(ctl start --config 'C:\brenmoor\config.json' --server "$server" --lease 120)"
check_has "second start answers active" "$out" '"state":"active"'
check_eq "engine running again" "$(engines)" "1"
wine_run sc stop "$name" >/dev/null 2>&1
check_eq "sc stop reaches stopped" "$(wait_state 1)" "1 0 0 0"
check_eq "no engine after sc stop" "$(engines)" "0"
netsim diff 'C:\netsim\before.txt' >/dev/null && echo "ok: network restored after sc stop" || fail "network differs after sc stop: $(netsim diff 'C:\netsim\before.txt' | strip_cr)"
[ -f "$drive_c/netsim/net.json.rejected" ] && fail "netsim refused commands: $(cat "$drive_c/netsim/net.json.rejected")"
wine_run sc delete "$name" >/dev/null 2>&1

# --- in the foreground, started from a folder of planted tools with another on its PATH
wine_run cmd /c "cd /d C:\\trap-cwd && set PATH=$trap_path;%PATH% && C:\\brenmoor\\brenmoor-service.exe --run-foreground" \
  </dev/null >/dev/null 2>&1 &
foreground=$!
serving() { output_has '"state":"idle"' ctl status; }
wait_until "the foreground service answers" 30 serving
out="$(ctl start --config 'C:\brenmoor\config.json' --server "$server" --lease 120)"
check_has "foreground start answers active" "$out" '"state":"active"'
check_has "foreground network has the host route" "$(netsim dump | strip_cr)" "$server/32"
check_has "foreground stop answers idle" "$(ctl stop)" '"state":"idle"'
netsim diff 'C:\netsim\before.txt' >/dev/null && echo "ok: network restored after the foreground stop" || fail "network differs after the foreground stop: $(netsim diff 'C:\netsim\before.txt' | strip_cr)"
no_planted_tool_ran "in the foreground"
pids="$(service_pids)"
[ -n "$pids" ] && kill -KILL $pids 2>/dev/null
wait "$foreground" 2>/dev/null

finish "wine session test"
