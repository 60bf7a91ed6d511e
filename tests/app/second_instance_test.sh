#!/usr/bin/env bash
# Two copies of the real program on one display: the second shows only the
# "Another instance is running...!" box and ends when it is closed, and so do many more
# started in a row without a runtime directory; the first runs on and ends through
# Escape. Then someone sits on the instance name with a full queue (this user, and
# nobody where a process can be run as nobody): a copy still shows its window
# promptly. Needs DISPLAY (with_xvfb.sh) and xdotool.
# Usage: second_instance_test.sh path/to/quillon [path/to/instance_holder]
# (without the holder, as in the installed package's check, the squatter part is left out)
set -euo pipefail
quillon=$1
holder=${2:-}

# A private network namespace has its own abstract socket names, so a copy the
# developer is running does not meet the test's copies (X is still reached through
# its socket file).
# As root without a user namespace, so that a process can still become nobody.
if [ -z "${QUILLON_TEST_ISOLATED:-}" ]; then
  if [ "$(id -u)" -eq 0 ] && unshare -n true 2>/dev/null; then
    QUILLON_TEST_ISOLATED=1 exec unshare -n "$0" "$@"
  elif unshare -rn true 2>/dev/null; then
    QUILLON_TEST_ISOLATED=1 exec unshare -rn "$0" "$@"
  fi
fi

if ! command -v xdotool >/dev/null; then
  echo "second_instance_test: xdotool not installed; skipped" >&2
  exit 77
fi

work=$(mktemp -d)
first=
second=
squatter=
cleanup() {
  # The subshells' children: the copies themselves.
  for pid in $second $first; do pkill -P "$pid" 2>/dev/null || true; done
  exec 8>&- 2>/dev/null || true
  [ -z "$squatter" ] || kill "$squatter" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"

# Never touch a real service manager; the instance lock lives in a runtime
# directory of the test's own.
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$work/no-such-bus"
mkdir -m 700 "$work/run" "$work/config"
export XDG_RUNTIME_DIR="$work/run"
export XDG_CONFIG_HOME="$work/config"

# Waits until a window whose name matches $1 is mapped; prints its id.
wait_window() {
  timeout 20 xdotool search --sync --onlyvisible --name "$1" | head -n1 || true
}
# Starts a copy in the background; its exit code lands in $work/$1.code. With
# NO_RUNTIME_DIR set, the copy has no XDG_RUNTIME_DIR.
start_copy() {
  if [ -n "${NO_RUNTIME_DIR:-}" ]; then
    ( env -u XDG_RUNTIME_DIR "$quillon" 2>"$work/$1.log"; echo $? >"$work/$1.code" ) &
  else
    ( "$quillon" 2>"$work/$1.log"; echo $? >"$work/$1.code" ) &
  fi
}
now_ms() { echo $(( $(date +%s%N) / 1000000 )); }
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

# Without a runtime directory a copy has only the socket name; every one of them
# leaves a probe with the first, and more than its queue holds must each still be
# refused promptly, not hang before the box.
for n in $(seq 1 20); do
  begin=$(now_ms)
  NO_RUNTIME_DIR=1 start_copy "refused$n"
  second=$!
  warn_win=$(wait_window '^WARNING$')
  took=$(( $(now_ms) - begin ))
  [ -n "$warn_win" ] || { echo "refused copy $n showed no WARNING box" >&2; cat "$work/refused$n.log" >&2; exit 1; }
  [ "$took" -lt 10000 ] || { echo "refused copy $n took $took ms to its box" >&2; exit 1; }
  xdotool windowfocus --sync "$warn_win" key Return
  wait_exit "refused$n" >/dev/null
  second=
done
echo "20 copies without a runtime directory refused, each with its box"

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

# Someone holds this user's instance name with backlog 0 and a full queue it never
# accepts from: a connect would wait for ever. A copy shows its window all the same,
# with a runtime directory and without one.
name='{40D1CCD7-E8F7-43a7-9C1D-2410CE765A97}'
squat_as=("this user")
if [ -z "$holder" ]; then
  squat_as=()
  echo "squatter: skipped, no instance_holder given"
elif setpriv --reuid=nobody --regid=nogroup --clear-groups true 2>/dev/null; then
  squat_as+=(nobody)
else
  echo "squatter as another user: skipped, cannot run a process as nobody here"
fi
for who in "${squat_as[@]+"${squat_as[@]}"}"; do
  for runtime in with without; do
    prefix=()
    [ "$who" = "this user" ] || prefix=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
    rm -f "$work/squat.out" "$work/squat.in"
    mkfifo "$work/squat.in"
    # It holds on until its stdin closes.
    "${prefix[@]}" "$holder" squat "$name" "$(id -u)" /nonexistent full \
      <"$work/squat.in" >"$work/squat.out" &
    squatter=$!
    exec 8>"$work/squat.in"
    for _ in $(seq 1 200); do [ -s "$work/squat.out" ] && break; sleep 0.05; done
    [ "$(cat "$work/squat.out")" = squatting ] || { echo "squatter: $(cat "$work/squat.out")" >&2; exit 1; }
    begin=$(now_ms)
    if [ "$runtime" = without ]; then NO_RUNTIME_DIR=1 start_copy squatted; else start_copy squatted; fi
    first=$!
    main_win=$(wait_window 'Orvane')
    took=$(( $(now_ms) - begin ))
    [ -n "$main_win" ] || { echo "no window beside a squatter ($who, $runtime runtime directory)" >&2; cat "$work/squatted.log" >&2; exit 1; }
    [ "$took" -lt 10000 ] || { echo "the window took $took ms beside a squatter" >&2; exit 1; }
    xdotool windowfocus --sync "$main_win" key Escape
    code=$(wait_exit squatted)
    first=
    exec 8>&-
    wait "$squatter" 2>/dev/null || true
    squatter=
    rm -f "$work/squatted.code"
    echo "window in $took ms beside a squatter ($who, $runtime runtime directory)"
    [ "$code" -eq 0 ]
  done
done
