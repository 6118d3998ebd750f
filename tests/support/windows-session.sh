# shellcheck shell=bash
# A session for running the Windows build under Wine from a script: loopback up, one Xvfb
# display for the whole session, Wine prefixes whose wineservers stay alive until the end,
# and an end that stops everything the session started (and nothing else). Source it from a
# shell that already runs inside a private network namespace (`unshare -n`):
#
#   gv_session_begin                 loopback, broadcast route, Xvfb; exports DISPLAY
#   gv_session_prefix ARCH DIR       ARCH win64|win32: makes the prefix when missing (under
#                                    this DISPLAY), keeps its wineserver and services alive,
#                                    exports GV_WINEPREFIX_WIN64 / GV_WINEPREFIX_WIN32
#   gv_session_end                   ends the prefixes' wineservers, then Xvfb
#
# One DISPLAY per wineserver: a prefix is booted with the display its later runs use.

gv_session_here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
gv_session_xvfb=
gv_session_prefixes=()

# The wineserver of a lane's own width: a 64-bit server would mark a new 32-bit prefix as a
# 64-bit installation.
gv_session_server() {  # arch
  local s=/usr/lib/wine/wineserver${1#win}
  [ -x "$s" ] || s=/usr/lib/wine/wineserver
  echo "$s"
}

gv_session_begin() {
  ip link set lo up
  # Broadcasts to 255.255.255.255 stay on loopback inside the namespace.
  ip route add broadcast 255.255.255.255 dev lo 2>/dev/null || true
  # Xvfb picks a free display itself and writes its number to the pipe.
  local fifo n=
  fifo=$(mktemp -u)
  mkfifo "$fifo"
  Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$fifo" >/dev/null 2>&1 &
  gv_session_xvfb=$!
  read -r -t 30 n <"$fifo" || true
  rm -f "$fifo"
  if [ -z "$n" ]; then
    echo "windows-session: Xvfb did not start" >&2
    return 1
  fi
  export DISPLAY=:$n
}

gv_session_prefix() {  # arch (win64|win32), prefix folder
  local arch=$1 prefix=$2 server
  server=$(gv_session_server "$arch")
  export "GV_WINEPREFIX_${arch^^}=$prefix"
  gv_session_prefixes+=("$arch:$prefix")
  mkdir -p "$prefix"
  # The server first, its output going nowhere.
  WINEPREFIX=$prefix "$server" -p >/dev/null 2>&1 || true
  if [ ! -f "$prefix/system.reg" ]; then
    timeout 300 "$gv_session_here/wine-run" "$arch" wineboot -i >/dev/null 2>&1 </dev/null || true
  fi
  # Also starts the prefix's services now, with their output going nowhere: started by a
  # later program they would inherit its output pipes and keep them open until the end.
  timeout 300 "$gv_session_here/wine-run" "$arch" wineboot >/dev/null 2>&1 </dev/null || true
  # A crash nobody handles must end the program, not start Wine's debugger (which would wait
  # for a person on the headless display): the debugger named here does not exist, and Auto=1
  # means nobody is asked.
  if ! grep -q 'gv-no-debugger' "$prefix/system.reg" 2>/dev/null; then
    local key='HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug'
    timeout 120 "$gv_session_here/wine-run" "$arch" reg add "$key" /v Debugger /d \
      'gv-no-debugger.exe %ld %ld' /f >/dev/null 2>&1 </dev/null || true
    timeout 120 "$gv_session_here/wine-run" "$arch" reg add "$key" /v Auto /d 1 /f \
      >/dev/null 2>&1 </dev/null || true
  fi
}

gv_session_end() {
  local entry
  for entry in "${gv_session_prefixes[@]}"; do
    WINEPREFIX=${entry#*:} "$(gv_session_server "${entry%%:*}")" -k 2>/dev/null || true
  done
  gv_session_prefixes=()
  if [ -n "$gv_session_xvfb" ]; then
    kill "$gv_session_xvfb" 2>/dev/null || true
    wait "$gv_session_xvfb" 2>/dev/null || true
    gv_session_xvfb=
  fi
}
