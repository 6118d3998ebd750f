# shellcheck shell=bash
# A session for running the Windows build under Wine from a script: loopback up, one Xvfb
# display for the whole session, Wine prefixes whose wineservers stay alive until the end,
# and an end that stops everything the session started (and nothing else). Source it from a
# shell that already runs inside a private network namespace (`unshare -n`):
#
#   gv_session_begin                 loopback, broadcast route, Xvfb; exports DISPLAY
#   gv_session_prefix win64 DIR      makes the prefix when missing (under this DISPLAY),
#                                    keeps its wineserver alive, exports GV_WINEPREFIX_WIN64
#   gv_session_end                   ends the prefixes' wineservers, then Xvfb
#
# One DISPLAY per wineserver: a prefix is booted with the display its later runs use.

gv_session_here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
gv_session_xvfb=
gv_session_prefixes=()

gv_session_begin() {
  ip link set lo up
  # Broadcasts to 255.255.255.255 stay on loopback inside the namespace.
  ip route add broadcast 255.255.255.255 dev lo 2>/dev/null || true
  local n
  for _ in $(seq 1 20); do
    n=$((90 + RANDOM % 100))
    [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] || break
  done
  Xvfb ":$n" -nolisten tcp -screen 0 1024x768x24 >/dev/null 2>&1 &
  gv_session_xvfb=$!
  export DISPLAY=:$n
  for _ in $(seq 1 50); do
    [ -e "/tmp/.X11-unix/X$n" ] && return 0
    sleep 0.1
  done
  echo "windows-session: Xvfb did not start on $DISPLAY" >&2
  return 1
}

gv_session_prefix() {  # arch (win64|win32), prefix folder
  local arch=$1 prefix=$2
  export "GV_WINEPREFIX_${arch^^}=$prefix"
  gv_session_prefixes+=("$prefix")
  if [ ! -f "$prefix/system.reg" ]; then
    mkdir -p "$(dirname "$prefix")"
    "$gv_session_here/wine-run" "$arch" wineboot -i >/dev/null 2>&1 || true
  fi
  WINEPREFIX=$prefix /usr/lib/wine/wineserver -p 2>/dev/null || true
}

gv_session_end() {
  local prefix
  for prefix in "${gv_session_prefixes[@]}"; do
    WINEPREFIX=$prefix /usr/lib/wine/wineserver -k 2>/dev/null || true
  done
  gv_session_prefixes=()
  if [ -n "$gv_session_xvfb" ]; then
    kill "$gv_session_xvfb" 2>/dev/null || true
    wait "$gv_session_xvfb" 2>/dev/null || true
    gv_session_xvfb=
  fi
}
