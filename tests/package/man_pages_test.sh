#!/usr/bin/env bash
# The man pages keep up with the programs: every subcommand, option and exit status
# that quillonctl's own --help shows is in quillonctl(1), every option and exit status
# of quillon-demo --help in quillon-demo(1), every environment variable the sources
# read is in a page, and the built pages render without a groff warning.
# Usage: man_pages_test.sh QUILLONCTL DIST_SOURCE_DIR DIST_BUILD_DIR [QUILLON_DEMO]
set -euo pipefail
quillonctl=$1
src=$2
built=$3
demo=${4:-}
ctl_page=$src/quillonctl.1.scd
window_page=$src/quillon.1.scd
demo_page=$src/quillon-demo.1.scd

command -v scdoc >/dev/null || { echo "man_pages_test: scdoc not installed; skipped"; exit 77; }
faults=0
fault() { echo "man_pages_test: $*" >&2; faults=$((faults + 1)); }

# The options in the "Options:" part of a --help text (-h, --json, ...).
options_of() { sed -n '/^Options:/,/^$/p' | grep -oE '(^|[ ,])--?[a-z][a-z-]*' | tr -d ' ,'; }
# Lines of a man page section (from "# NAME" to the next "# ").
section() { sed -n "/^# $2\$/,/^# /p" "$1"; }

help=$("$quillonctl" --help)
subcommands=$(sed -n '/^Subcommands:/,/^$/p' <<<"$help" | awk 'NR > 1 && NF { print $1 }')
[ -n "$subcommands" ] || fault "no subcommands in quillonctl --help"
for sub in $subcommands; do
  section "$ctl_page" COMMANDS | grep -x "\*$sub\*" >/dev/null || fault "subcommand $sub is not under COMMANDS"
  section "$ctl_page" SYNOPSIS | grep "^\*quillonctl $sub\*" >/dev/null || fault "subcommand $sub is not in the SYNOPSIS"
  for option in $(options_of <<<"$("$quillonctl" "$sub" --help)"); do
    section "$ctl_page" OPTIONS | grep "\*$option\*" >/dev/null || fault "$sub's option $option is not described"
  done
done
for option in $(options_of <<<"$help"); do
  section "$ctl_page" OPTIONS | grep "\*$option\*" >/dev/null || fault "option $option is not described"
done

# "Exit status: 0 ok; 1 usage ...": each number is an entry under EXIT STATUS.
statuses=$(sed -n '/^Exit status:/,$p' <<<"$help" | grep -oE '(^|; |: )[0-9]+ ' | grep -oE '[0-9]+')
[ "$(wc -w <<<"$statuses")" -ge 2 ] || fault "no exit statuses in quillonctl --help"
for status in $statuses; do
  section "$ctl_page" "EXIT STATUS" | grep -x "\*$status\*" >/dev/null || fault "exit status $status is not described"
done

pages="quillon quillonctl"
if [ -n "$demo" ]; then
  pages="$pages quillon-demo"
  demo_help=$("$demo" --help)
  demo_options=$(grep -oE '(^|[][ |])--?[a-z][a-z-]*' <<<"$demo_help" | tr -d '[]| ' | sort -u)
  [ -n "$demo_options" ] || fault "no options in quillon-demo --help"
  for option in $demo_options --help; do
    section "$demo_page" OPTIONS | grep -q "\*$option\*" || fault "quillon-demo's option $option is not described"
  done
  demo_statuses=$(sed -n '/^Exit status:/,$p' <<<"$demo_help" | grep -oE '(: |, )[0-9]+ ' | grep -oE '[0-9]+')
  [ "$(wc -w <<<"$demo_statuses")" -ge 2 ] || fault "no exit statuses in quillon-demo --help"
  for status in $demo_statuses; do
    section "$demo_page" "EXIT STATUS" | grep -qx "\*$status\*" || fault "quillon-demo's exit status $status is not described"
  done
fi

# Every variable the programs' sources read from the environment.
root=$(cd "$src/.." && pwd)
names=$(grep -rhoE 'getenv\("[A-Za-z_]+"\)|FromEnvironment\("[A-Za-z_]+"' \
          "$root"/{platform,receiver,decode,service,app,quillonctl} |
        grep -oE '"[A-Za-z_]+"' | tr -d '"' | sort -u)
for name in $names; do
  grep -q "\*$name\*" "$window_page" "$ctl_page" || fault "environment variable $name is in no page"
done

for page in $pages; do
  [ -f "$built/$page.1.gz" ] || { fault "$page.1.gz was not built"; continue; }
  command -v man >/dev/null || continue
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$built/$page.1.gz" 2>&1 >/dev/null || true)
  [ -z "$warnings" ] || fault "$page(1) renders with warnings: $warnings"
done

[ "$faults" -eq 0 ] || exit 1
echo "man_pages_test: $(wc -w <<<"$subcommands") subcommands, their options, $(wc -w <<<"$statuses") exit statuses and $(wc -w <<<"$names") environment variables described"
