#!/bin/sh
# Fails when an #include of one layer points to a higher one, or between the two
# folders of one rank, or brings Qt anywhere but app/. Each fault is printed as
# file:line with the rule it breaks. tools/, tests/ and bench/ sit above everything and
# are not checked. quillonctl may include one header of app/, the Qt-free
# app/translation.h: both front ends speak through the same catalogue.
#
#   platform/process, platform/text < platform/hid, platform/system < receiver < decode
#   < service < diagnosis < station < app, quillonctl
set -eu
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
cd "$root"

layers="platform/process platform/text platform/hid platform/system receiver decode service diagnosis station app quillonctl"
# shellcheck disable=SC2086
find $layers -type f \( -name '*.h' -o -name '*.cpp' -o -name '*.in' \) | sort |
    xargs grep -Hn -E '^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"]' /dev/null |
    awk '
function layer(path) {
    if (path ~ /^platform\/process\//) return "0 platform/process"
    if (path ~ /^platform\/text\//) return "0 platform/text"
    if (path ~ /^platform\/hid\//) return "1 platform/hid"
    if (path ~ /^platform\/system\//) return "1 platform/system"
    if (path ~ /^receiver\//) return "2 receiver"
    if (path ~ /^decode\//) return "3 decode"
    if (path ~ /^service\//) return "4 service"
    if (path ~ /^diagnosis\//) return "5 diagnosis"
    if (path ~ /^station\//) return "6 station"
    if (path ~ /^app\//) return "7 app"
    if (path ~ /^quillonctl\//) return "7 quillonctl"
    if (path ~ /^(tools|tests|bench)\//) { split(path, p, "/"); return "8 " p[1] }
    return ""
}
# "a/b/../c" -> "a/c"
function normal(path,    n, part, out, i, k) {
    n = split(path, part, "/")
    k = 0
    for (i = 1; i <= n; i++) {
        if (part[i] == "." || part[i] == "") continue
        if (part[i] == ".." && k > 0) { k--; continue }
        out[++k] = part[i]
    }
    path = ""
    for (i = 1; i <= k; i++) path = path (i > 1 ? "/" : "") out[i]
    return path
}
{
    file = $0; sub(/:.*/, "", file)
    rest = substr($0, length(file) + 2)
    line = rest; sub(/:.*/, "", line)
    spec = substr(rest, length(line) + 2)
    sub(/^[ \t]*#[ \t]*include[ \t]*/, "", spec)
    from = layer(file); fromName = substr(from, 3)
    if (spec ~ /^<Q/) {
        if (fromName != "app") {
            sub(/>.*/, ">", spec)
            printf "%s:%s: %s: Qt belongs to app/ alone\n", file, line, spec
            faults++
        }
        next
    }
    if (spec !~ /^"/) next
    name = substr(spec, 2); sub(/".*/, "", name)
    dir = file; sub(/\/[^\/]*$/, "", dir)
    # An include is of the repository root unless it names no folder (its own) or
    # climbs out of its own.
    target = (name !~ /\// || name ~ /^\.\.?\//) ? normal(dir "/" name) : normal(name)
    to = layer(target)
    if (to == "") next
    toName = substr(to, 3)
    if (toName == fromName) next
    if (fromName == "quillonctl" && target == "app/translation.h") next
    if (substr(to, 1, 1) > substr(from, 1, 1)) {
        printf "%s:%s: \"%s\": %s may not include %s, a higher layer\n", file, line, name, fromName, toName
        faults++
    } else if (substr(to, 1, 1) == substr(from, 1, 1)) {
        printf "%s:%s: \"%s\": %s and %s are of one rank and never include each other\n", file, line, name, fromName, toName
        faults++
    }
}
END {
    if (faults) { printf "%d include(s) against the layers\n", faults; exit 1 }
    print "every include keeps to the layers"
}'
