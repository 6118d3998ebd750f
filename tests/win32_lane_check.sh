#!/usr/bin/env bash
# Checks that the emulated 32-bit Windows lane reports faults with their real exception
# codes: runs a 32-bit crash_fixture.exe under gv_wine32 (tests/support/wine32-env) and
# compares what its unhandled-exception filter prints, and the exit status, per fault.
#
#   tests/win32_lane_check.sh [--without-shim] CRASH_FIXTURE_EXE WINEPREFIX
#
# The prefix must exist already (gv_wine32_boot, under the DISPLAY the caller keeps for the
# life of its wineserver). Builds nothing. Exits 0 when every case passes, 1 otherwise.
#
# --without-shim runs the faults without the trap number shim and expects the codes qemu's
# unset trap number gives (a fault an illegal instruction, a divide by zero a float divide,
# a breakpoint reported past its int3): it shows the shim is what makes the difference on this machine, and it failing
# means the shim may have become unnecessary.
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

without_shim=0
if [ "${1:-}" = --without-shim ]; then
  without_shim=1
  shift
fi
if [ "$#" -ne 2 ]; then
  echo "usage: $0 [--without-shim] CRASH_FIXTURE_EXE WINEPREFIX" >&2
  exit 2
fi
exe=$1
export WINEPREFIX=$2
if [ ! -f "$exe" ]; then
  echo "win32_lane_check: no such program: $exe" >&2
  exit 2
fi
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "win32_lane_check: $WINEPREFIX is not a Wine prefix yet (create it with gv_wine32_boot)" >&2
  exit 2
fi
if [ "$without_shim" = 1 ]; then
  preload=
else
  preload=${GV_WIN32_SHIM_ROOT:-/opt/galvorand/win32-shim}/\$LIB/libgv_trapno.so
fi
runner=$here/support/wine32-env
# The runner puts the shim in front of LD_PRELOAD itself; one inherited from a caller that
# sourced wine32-env would defeat --without-shim.
unset LD_PRELOAD
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Wine's service processes, started by the first program that meets no running wineserver,
# inherit that program's output and live as long as the server: output is therefore taken
# through a file, never a pipe that would stay open. A server that lingers a little keeps
# them running from one case to the next (each start costs seconds under emulation); if
# the caller already keeps one for the prefix, this call changes nothing.
WINEPREFIX=$WINEPREFIX /usr/lib/wine/wineserver -p"${WIN32_LANE_SERVER_LINGER:-20}" \
  >/dev/null 2>&1 || true

# run MODE: runs the fixture in MODE; sets $out (CR LF made LF) and $status.
run() {
  GV_WINE32_PRELOAD=$preload timeout "$run_timeout" "$runner" "$exe" "$1" >"$work/out" 2>&1
  status=$?
  out=$(tr -d '\r' <"$work/out")  # the Windows C run time ends lines with CR LF
}

passed=0
failed=0
# Longer than a cold first start of the emulated Wine; a hang is a failure, not a stall.
run_timeout=${WIN32_LANE_TIMEOUT:-120}

# check NAME MODE CODE [EXTRA-LINE-REGEX]: runs the fixture in MODE and expects the filter
# to print CODE, the exit status to be CODE's low byte, and EXTRA-LINE-REGEX to match a line.
check() {
  local name=$1 mode=$2 code=$3 extra=${4:-} want
  run "$mode"
  want=$(( code & 0xff ))
  local problems=()
  [ "$status" -ne 124 ] || problems+=("timed out after ${run_timeout}s")
  grep -qx "exception code: $(printf '0x%08X' "$code")" <<<"$out" \
    || problems+=("filter did not print $(printf '0x%08X' "$code")")
  [ "$status" -eq "$want" ] || problems+=("exit status $status, expected $want")
  [ -z "$extra" ] || grep -qE "$extra" <<<"$out" || problems+=("no line matching '$extra'")
  if [ "${#problems[@]}" -eq 0 ]; then
    printf 'PASS: %s: %s\n' "$name" "$(printf '0x%08X' "$code")"
    passed=$((passed + 1))
  else
    printf 'FAIL: %s: %s\n' "$name" "$(IFS=';'; echo "${problems[*]}")"
    sed 's/^/    | /' <<<"$out"
    failed=$((failed + 1))
  fi
}

if [ "$without_shim" = 1 ]; then
  check "null write without the shim" null-write 0xC000001D
  check "divide by zero without the shim" divide-by-zero 0xC0000090
  check "breakpoint without the shim" breakpoint 0x80000003 '^breakpoint at the int3: no$'
else
  # The access violation also has to say it was a write (1) at address 0.
  check "null write" null-write 0xC0000005 '^access: 1 address: (0x)?0+$'
  check "integer divide by zero" divide-by-zero 0xC0000094
  # Wine moves the address back over the int3 only when told the trap was a breakpoint.
  check "breakpoint" breakpoint 0x80000003 '^breakpoint at the int3: yes$'
fi

# A fixture that runs and exits cleanly: tells "the lane runs nothing" apart from
# "the codes are wrong".
run none
if [ "$status" -eq 0 ] && grep -qx 'no fault' <<<"$out"; then
  echo "PASS: clean run: exit status 0"
  passed=$((passed + 1))
else
  echo "FAIL: clean run: exit status $status"
  sed 's/^/    | /' <<<"$out"
  failed=$((failed + 1))
fi

echo "win32 lane: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
