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
# Read through a FIFO: the read ends when the number comes or the server dies (its end
# closes); only a server that hangs meets the bound, which is generous because X starts
# slowly on a loaded machine.
mkfifo "$work/display"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
exec 4<"$work/display"
display=
if ! read -r -t 60 -u 4 display || [ -z "$display" ]; then
  echo "with_xvfb: Xvfb did not start:" >&2
  cat "$work/xvfb.log" >&2
  exit 1
fi
exec 4<&-
export DISPLAY=":$display"
unset WAYLAND_DISPLAY
export QT_QPA_PLATFORM=xcb
"$@"
