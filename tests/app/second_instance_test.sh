#!/usr/bin/env bash
# Two copies of the real program on one display: the second shows only the
# "Another instance is running...!" box and ends when it is closed; the first runs on
# and ends through Escape. Needs DISPLAY (with_xvfb.sh) and xdotool.
# Usage: second_instance_test.sh path/to/quillon
set -euo pipefail
quillon=$1

# A private network namespace has its own abstract socket names, so a copy the
# developer is running does not meet the test's copies (X is still reached through
# its socket file).
if [ -z "${QUILLON_TEST_ISOLATED:-}" ] && unshare -rn true 2>/dev/null; then
  QUILLON_TEST_ISOLATED=1 exec unshare -rn "$0" "$@"
fi

if ! command -v xdotool >/dev/null; then
  echo "second_instance_test: xdotool not installed; skipped" >&2
  exit 77
fi

work=$(mktemp -d)
first=
second=
cleanup() {
  # The subshells' children: the copies themselves.
  for pid in $second $first; do pkill -P "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"

# Never touch a real service manager; the instance lock lives in a runtime
# directory of the test's own.
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$work/no-such-bus"
mkdir -m 700 "$work/run"
export XDG_RUNTIME_DIR="$work/run"

# Waits until a window whose name matches $1 is mapped; prints its id.
wait_window() {
  timeout 20 xdotool search --sync --onlyvisible --name "$1" | head -n1
}
# Starts a copy in the background; its exit code lands in $work/$1.code.
start_copy() {
  ( "$quillon" 2>"$work/$1.log"; echo $? >"$work/$1.code" ) &
}
# Waits up to 20 s for copy $1 to end by itself; prints its exit code.
wait_exit() {
  for _ in $(seq 1 400); do
    if [ -s "$work/$1.code" ]; then
      cat "$work/$1.code"
      return 0
    fi
    sleep 0.05
  done
  echo "the $1 copy did not end" >&2
  return 1
}

start_copy first
first=$!
main_win=$(wait_window 'Orvane')
[ -n "$main_win" ] || { echo "main window never appeared" >&2; cat "$work/first.log" >&2; exit 1; }

start_copy second
second=$!
warn_win=$(wait_window '^WARNING$')
[ -n "$warn_win" ] || { echo "no WARNING box" >&2; cat "$work/second.log" >&2; exit 1; }
if [ "$(xdotool search --onlyvisible --name 'Orvane' | wc -l)" -ne 1 ]; then
  echo "the second copy opened a main window" >&2
  exit 1
fi
xdotool windowfocus --sync "$warn_win" key Return
code=$(wait_exit second)
second=
echo "second copy ended with $code"
[ ! -e "$work/first.code" ] || { echo "the first copy ended too" >&2; exit 1; }
if grep -q "Can't Open SCManager" "$work/second.log"; then
  echo "the second copy touched the service manager" >&2
  exit 1
fi

# The first copy leaves through Escape; Exit must be prompt with nothing in flight.
xdotool windowfocus --sync "$main_win"
begin=$(date +%s%N)
xdotool key Escape
code=$(wait_exit first)
end=$(date +%s%N)
first=
echo "first copy ended with $code, $(( (end - begin) / 1000000 )) ms after Escape"
grep -h 'KEYWARDEN' "$work/first.log" || true
[ "$code" -eq 0 ]
