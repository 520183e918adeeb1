#!/usr/bin/env bash
# What every Wine script needs, sourced (never run) after the script has set
# `prefix` and `here` (its own folder):
#   . "$here/wine_lib.sh"
# - checks: fail, check_eq, check_has, wait_until, output_has, finish
# - the prefix: wine_run (boots the prefix and keeps its wineserver persistent, see
#   scripts/wine-run.sh), system_env (a variable for services), drive_c, abs_prefix
# - the service manager: sc_register, sc_start (retrying while the manager still
#   answers 1055), wait_state (through the status probe installed as C:\brenmoor\probe.exe)
# - a whole session world: install_session_world, install_network_tools, netsim, ctl,
#   engines, service_pids

wine_run() { "$here/../../scripts/wine-run.sh" "$prefix" "$@"; }
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
check_eq() { if [ "$2" = "$3" ]; then echo "ok: $1"; else fail "$1: expected [$3], got [$2]"; fi; }
check_has() { if printf '%s' "$2" | grep -qF -- "$3"; then echo "ok: $1"; else fail "$1: [$3] not in [$2]"; fi; }
strip_cr() { tr -d '\r'; }
# Ends the script with the summary line and its exit code: finish "wine session test".
finish() {
  if [ "$failures" -eq 0 ]; then echo "$1: all checks passed"; exit 0; fi
  echo "$1: $failures check(s) failed"
  exit 1
}
# True when the command's output contains the text. The whole output is read first:
# grep -q ending early would fail the pipe under pipefail.
output_has() {
  local text="$1" out; shift
  out="$("$@" 2>/dev/null | strip_cr)"
  printf '%s' "$out" | grep -qF -- "$text"
}
# Bounded wait, one check a second: wait_until WHAT SECONDS COMMAND [ARGS...]
wait_until() {
  local what="$1" bound="$2"; shift 2
  for _ in $(seq 1 "$bound"); do
    if "$@"; then echo "ok: $what"; return 0; fi
    sleep 1
  done
  fail "$what: not within ${bound}s"
  return 1
}

name=BrenmoorFullDevice
probe='C:\brenmoor\probe.exe'
wine_run cmd /c exit 0 >/dev/null 2>&1   # creates the prefix and its persistent server
abs_prefix="$(cd "$prefix" && pwd)"
drive_c="$prefix/drive_c"
system32="$drive_c/windows/system32"

# A service gets the system environment, not ours: system_env NAME VALUE puts a
# variable there, then restarts the server so the manager starts afresh with it.
system_env() {
  wine_run reg add 'HKLM\System\CurrentControlSet\Control\Session Manager\Environment' \
    /v "$1" /d "$2" /f >/dev/null 2>&1
  WINEPREFIX="$abs_prefix" wineserver -k >/dev/null 2>&1
  WINEPREFIX="$abs_prefix" wineserver -w >/dev/null 2>&1
  wine_run cmd /c exit 0 >/dev/null 2>&1
}

# sc_register BINPATH: the service registered afresh (own process, demand start).
sc_register() {
  wine_run sc stop "$name" >/dev/null 2>&1
  wine_run sc delete "$name" >/dev/null 2>&1
  wine_run sc create "$name" binPath= "$1" type= own start= demand >/dev/null
}
# Right after the prefix was made the manager may refuse with 1055 for a while.
sc_start() {
  local out
  for _ in $(seq 1 30); do
    out="$(wine_run sc start "$name" 2>&1 | strip_cr)"
    if printf '%s' "$out" | grep -q 1055; then sleep 1; continue; fi
    return 0
  done
  return 1
}
# The status record once the service reached STATE (4 running, 1 stopped).
wait_state() { wine_run "$probe" wait-state "$name" "$1" | strip_cr; }

# The network tools are run from the system folder only, so netsim's copies go
# there (powershell.exe in WindowsPowerShell\v1.0), and Wine is told to load them
# rather than its builtin programs of the same names.
install_network_tools() {  # NETSIM_EXE
  mkdir -p "$system32/WindowsPowerShell/v1.0"
  cp "$1" "$system32/route.exe"
  cp "$1" "$system32/netsh.exe"
  cp "$1" "$system32/WindowsPowerShell/v1.0/powershell.exe"
  local tool
  for tool in route.exe netsh.exe powershell.exe; do
    wine_run reg add 'HKCU\Software\Wine\DllOverrides' /v "$tool" /d native /f >/dev/null 2>&1
  done
}

# The service folder C:\brenmoor with the fixture twin of the service, the stand-in
# engine and its assets, the probe, netsim (as C:\brenmoor\netsim.exe, for the
# script) and the configuration; the client under Program Files; netsim's tools in
# the system folder; the state file C:\netsim\net.json named in the system environment.
#   install_session_world BIN_DIR SOURCE_DIR SERVER
install_session_world() {
  local bin="$1" source_dir="$2" server="$3"
  export BRENMOOR_NETSIM='C:\netsim\net.json'
  export BRENMOOR_CTL_TOKEN_FILE='C:\netsim\token'
  system_env BRENMOOR_NETSIM "$BRENMOOR_NETSIM"
  svc="$drive_c/brenmoor"
  rm -rf "$svc" "$drive_c/netsim"
  mkdir -p "$svc/geodata" "$drive_c/netsim" "$drive_c/Program Files/Pellamy"
  cp "$bin/brenmoor-service-fixture.exe" "$svc/brenmoor-service.exe"
  cp "$bin/brenmoor-test-engine.exe" "$svc/engine.exe"
  cp "$bin/wintun.dll" "$svc/wintun.dll"
  cp "$bin/geodata/geoip.dat" "$bin/geodata/geosite.dat" "$svc/geodata/"
  cp "$bin/th_service_probe_win.exe" "$svc/probe.exe"
  cp "$bin/netsim.exe" "$svc/netsim.exe"
  install_network_tools "$bin/netsim.exe"
  cp "$bin/brenmoor-ctl.exe" "$drive_c/Program Files/Pellamy/brenmoor-win.exe"
  sed "s/vpn\.example\.net/$server/g" "$source_dir/samples/config.json" >"$svc/config.json"
}
# netsim's typical machine, its dump kept as C:\netsim\before.txt, then the
# service registered, started and running.
run_session_service() {
  netsim init-typical >/dev/null || fail "netsim init-typical"
  netsim dump >"$drive_c/netsim/before.txt"
  sc_register 'C:\brenmoor\brenmoor-service.exe'
  sc_start || fail "sc start kept failing with 1055"
  check_eq "service running" "$(wait_state 4)" "4 5 0 0"
}
netsim() { wine_run 'C:\brenmoor\netsim.exe' "$@"; }
ctl() { wine_run 'C:\Program Files\Pellamy\brenmoor-win.exe' --json "$@" 2>&1 | strip_cr; }
# Wine's tasklist prints nothing; its wmic lists processes (in UTF-16).
engines() { wine_run wmic process get name 2>/dev/null | iconv -f UTF-16LE -t UTF-8 | strip_cr | grep -ci '^engine.exe'; }
# The Unix processes of this prefix running the named program (never another
# prefix's: other test runs may have the same program at the same Windows path).
service_pids() {  # [PROGRAM], default brenmoor-service.exe
  local p program="${1:-brenmoor-service.exe}"
  for p in /proc/[0-9]*; do
    { tr '\0' '\n' <"$p/cmdline"; } 2>/dev/null | grep -qiF "$program" || continue
    { tr '\0' '\n' <"$p/environ"; } 2>/dev/null | grep -qxF "WINEPREFIX=$abs_prefix" || continue
    echo "${p#/proc/}"
  done
}
