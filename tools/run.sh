#!/usr/bin/env bash
# Runs Quellmark under Wine with a simulated transceiver on COM1, from a fresh Debian 12 machine
# as root. Uses the current X display; without one, a private Xvfb (a screenshot is saved).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QM_BUILD_DIR:-$root/build}
run=$build/run

"$root/tools/install-deps.sh"
"$root/tools/build.sh"

mkdir -p "$run"
export WINEPREFIX=$run/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
sim_pid="" xvfb_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  wineserver -k 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
  true
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if [ -z "${DISPLAY:-}" ]; then
  exec {display_fd}<> <(:)
  Xvfb -displayfd "$display_fd" -screen 0 1024x768x24 -nolisten tcp 2>/dev/null &
  xvfb_pid=$!
  read -r -t 10 -u "$display_fd" number
  export DISPLAY=:$number
  echo "No display: running on a private Xvfb ($DISPLAY); see $run/screenshot.png"
fi
[ -f "$WINEPREFIX/system.reg" ] || wineboot -i >/dev/null 2>&1

# A radio with a recognisable pattern, at the real line speed so the progress bar can be seen.
coproc SIM { exec "$build/native/tools/trx_sim/trx_sim" --pattern mix --paced --dump "$run/radio.bin"; }
sim_pid=$SIM_PID
read -r -t 10 -u "${SIM[0]}" word pty
[ "$word" = PTY ] || { echo "simulator did not start" >&2; exit 1; }

# Exactly one COM port, COM1, leads to the simulator; the host's own serial ports stay out.
{
  echo REGEDIT4
  echo '[HKEY_LOCAL_MACHINE\Software\Wine\Ports]'
  echo "\"COM1\"=\"$pty\""
  for n in $(seq 2 99); do echo "\"COM$n\"=\"\""; done
} >"$run/ports.reg"
wine regedit /S "$(winepath -w "$run/ports.reg")"
wineserver -k && wineserver -w

echo "Simulated transceiver on COM1 ($pty). Pick COM1, then press Read TRX."
if [ -n "$xvfb_pid" ]; then
  wine "$build/win/quellmark.exe" &
  app=$!
  sleep 5
  import -display "$DISPLAY" -window root "$run/screenshot.png" || true
  wait "$app"
else
  wine "$build/win/quellmark.exe"
fi
