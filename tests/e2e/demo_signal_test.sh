#!/usr/bin/env bash
# quillon_demo interrupted half-way through its headless scenario, as Ctrl-C or kill
# would: it leaves through Exit, dies by that signal, and leaves neither its token
# service simulator, its Xvfb, its end-of-line test's quillonctl, nor its kit's
# temporary tree behind. WHEN is the demo.log text the signal waits for (default: the
# scenario driving the dialog; "Press every key": quillonctl test running on the kit).
# Usage: demo_signal_test.sh path/to/quillon_demo SIGNAL [WHEN]
set -euo pipefail
demo=$1
sig=$2
when=${3:-holding key 5}
# Job control: a background job then keeps SIGINT as a terminal's foreground job has it.
set -m

work=$(mktemp -d)
pid=
cleanup() {
  [ -z "$pid" ] || kill -KILL "$pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Polls a condition every 50 ms for up to $1 seconds.
wait_for() {
  local limit=$(( $1 * 20 )); shift
  for _ in $(seq 1 "$limit"); do
    if "$@"; then return 0; fi
    sleep 0.05
  done
  return 1
}

"$demo" --headless --out "$work/out" >"$work/stdout" 2>&1 &
pid=$!
if ! wait_for 150 grep -qF "$when" "$work/out/demo.log" 2>/dev/null; then
  echo "the scenario never got to \"$when\"" >&2
  cat "$work/stdout" >&2
  exit 1
fi
children=$(cat /proc/"$pid"/task/*/children)
if [ "$when" = "Press every key" ]; then
  ctl=$(for c in $children; do [ "$(cat /proc/"$c"/comm 2>/dev/null)" != quillonctl ] || echo "$c"; done)
  [ -n "$ctl" ] || { echo "no quillonctl among the children: $children" >&2; exit 1; }
fi
trees=$(ls -d /tmp/quillon-kit-"$pid"-* 2>/dev/null || true)
[ -n "$trees" ] || { echo "no kit tree for $pid" >&2; exit 1; }
echo "demo $pid, children: $children; tree: $trees"

begin=$(date +%s%N)
kill -"$sig" "$pid"
status=0
wait "$pid" || status=$?
pid=
took=$(( ($(date +%s%N) - begin) / 1000000 ))
echo "ended with status $status, $took ms after SIG$sig"
grep -h 'received, exiting\|Receiver threads ended' "$work/out/trace.log" || true

expected=$(( 128 + $(kill -l "$sig") ))
[ "$status" -eq "$expected" ] || { echo "expected status $expected" >&2; exit 1; }
grep -q "Receiver threads ended" "$work/out/trace.log" || { echo "Exit did not run" >&2; exit 1; }
# The usual exit bound, plus the scenario's screenshot in progress.
[ "$took" -lt 7000 ] || { echo "took too long" >&2; exit 1; }

gone() { for c in $children; do if kill -0 "$c" 2>/dev/null; then return 1; fi; done; }
wait_for 5 gone || { echo "left running: $(ps -o pid,comm -p ${children// /,})" >&2; exit 1; }
no_tree() { for t in $trees; do [ ! -e "$t" ] || return 1; done; }
wait_for 5 no_tree || { echo "left behind: $trees" >&2; exit 1; }
echo "nothing left behind"
