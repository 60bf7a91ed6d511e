#!/usr/bin/env bash
# The desktop entry and the AppStream data as built: each valid by its own validator,
# and naming each other and the icon consistently, with the version and the screenshot
# size filled in. Usage: desktop_data_test.sh DIST_BUILD_DIR APP_ID
set -euo pipefail
dir=$1
id=$2
desktop="$dir/$id.desktop"
metainfo="$dir/$id.metainfo.xml"

for tool in desktop-file-validate appstreamcli; do
  if ! command -v "$tool" >/dev/null; then
    echo "desktop_data_test: $tool not installed; skipped"
    exit 77
  fi
done
fail() { echo "desktop_data_test: $*" >&2; exit 1; }

out=$(desktop-file-validate "$desktop" 2>&1) || fail "desktop-file-validate: $out"
# Hints are advice; anything else it prints is a fault.
if grep -v 'hint:' <<<"$out" | grep -q .; then fail "desktop-file-validate: $out"; fi
grep -qx "Icon=$id" "$desktop" || fail "the desktop entry's icon is not $id"
grep -qx "Exec=quillon" "$desktop" || fail "the desktop entry does not start quillon"

out=$(appstreamcli validate --no-net --explain "$metainfo" 2>&1) || fail "appstreamcli: $out"
echo "$out"
grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$metainfo" ||
  fail "the metainfo does not launch $id.desktop"
grep -q '@[A-Z_]*@' "$metainfo" "$desktop" && fail "a placeholder was left unfilled"
grep -Eq '<image type="source" width="[1-9][0-9]*" height="[1-9][0-9]*">https://' "$metainfo" ||
  fail "the screenshot has no size or no https address"
echo "desktop_data_test: $id.desktop and $id.metainfo.xml valid"
