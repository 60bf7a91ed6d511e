#!/usr/bin/env bash
# Both programs give the build's version with --version, and the window answers
# --version and --help before anything else: with no display to open and another copy
# holding the one-copy lock, it still answers at once and exits 0.
# Usage: version_test.sh QUILLON QUILLONCTL VERSION
set -euo pipefail
quillon=$1
quillonctl=$2
version=$3

fail() { echo "version_test: $*" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

out=$("$quillonctl" --version)
[ "$out" = "quillonctl $version" ] || fail "quillonctl --version printed '$out'"
out=$("$quillonctl" list --version)
[ "$out" = "quillonctl $version" ] || fail "quillonctl list --version printed '$out'"

# The lock a running copy holds (flock on the lock file in the runtime directory), held
# here by this shell.
mkdir -m 700 "$work/run"
exec 9>"$work/run/{40D1CCD7-E8F7-43a7-9C1D-2410CE765A97}.lock"
flock -n 9 || fail "could not take the lock for the test"

# No DISPLAY and the xcb platform: a QApplication would abort here.
run_window() {
  env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb XDG_RUNTIME_DIR="$work/run" \
    DBUS_SYSTEM_BUS_ADDRESS="unix:path=$work/no-such-bus" timeout 10 "$quillon" "$@"
}
out=$(run_window --version 2>"$work/err") || fail "quillon --version failed: $(cat "$work/err")"
[ "$out" = "quillon $version" ] || fail "quillon --version printed '$out'"
out=$(run_window --help 2>"$work/err") || fail "quillon --help failed: $(cat "$work/err")"
grep -q '^Usage: quillon \[--station\] \[--help | --version\]' <<<"$out" || fail "quillon --help printed '$out'"
[ ! -s "$work/err" ] || fail "quillon --help wrote to stderr: $(cat "$work/err")"
# Anything else still starts the window as before; here, without a display, it fails,
# saying why before Qt ends the process.
if run_window --verbose >/dev/null 2>"$work/err"; then
  fail "quillon --verbose ended with 0 without a display"
fi
grep -q 'could not connect to display' "$work/err" ||
  fail "quillon without a display did not say why: '$(cat "$work/err")'"
echo "version_test: quillon and quillonctl $version"
