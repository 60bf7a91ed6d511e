#!/usr/bin/env bash
# Runs a command on a private Xvfb display and stops the server afterwards.
# Usage: with_xvfb.sh command [args...]. Exits 77 (skipped) when Xvfb is missing.
set -euo pipefail

if ! command -v Xvfb >/dev/null; then
  echo "with_xvfb: Xvfb not installed; skipped" >&2
  exit 77
fi

work=$(mktemp -d)
xvfb_pid=
cleanup() {
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# -displayfd: the server picks a free display and writes its number once it accepts
# connections, so parallel tests never collide and nobody guesses a start-up time.
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 1 200); do
  if [ -s "$work/display" ] || ! kill -0 "$xvfb_pid" 2>/dev/null; then break; fi
  sleep 0.05
done
if [ ! -s "$work/display" ]; then
  echo "with_xvfb: Xvfb did not start:" >&2
  cat "$work/xvfb.log" >&2
  exit 1
fi
export DISPLAY=":$(tr -d '\n' <"$work/display")"
unset WAYLAND_DISPLAY
export QT_QPA_PLATFORM=xcb
"$@"
