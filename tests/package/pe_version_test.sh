#!/usr/bin/env bash
# A Windows module's oldest Windows: the version its PE header states (OS and
# subsystem), and, given a list of allowed imports, that it imports nothing
# else, so that it loads where its header says it runs.
# usage: pe_version_test.sh OBJDUMP MODULE MAJOR.MINOR [ALLOWED_IMPORTS]
# ALLOWED_IMPORTS lines: "dll function", or "dll *" for any function of a DLL
# of ours; names compare without regard to case; '#' starts a comment.
set -euo pipefail
OBJDUMP=$1 MODULE=$2 VERSION=$3 ALLOWED=${4:-}

fail() {
    echo "FAIL: $(basename "$MODULE"): $*" >&2
    exit 1
}

headers=$("$OBJDUMP" -p "$MODULE") || fail "objdump could not read it"
field() { awk -v name="$1" '$1 == name { print $2; exit }' <<<"$headers"; }
for kind in OSystem Subsystem; do
    stated="$(field "Major${kind}Version").$(field "Minor${kind}Version")"
    [[ "$stated" == "$VERSION" ]] || fail "header's $kind version is $stated, not $VERSION"
done
echo "$(basename "$MODULE"): header states Windows $VERSION"
[[ -n "$ALLOWED" ]] || exit 0

# "dll function" per imported function, lower case.
imports=$(awk '
    /DLL Name:/ { dll = tolower($3); next }
    dll != "" && NF == 0 { dll = ""; next }
    dll != "" && $1 ~ /^[0-9a-f]+$/ && NF >= 3 { print dll, tolower($3) }' <<<"$headers")
[[ -n "$imports" ]] || fail "no imports found (is it a PE file?)"
allowed=$(sed -e 's/#.*//' -e '/^[[:space:]]*$/d' "$ALLOWED" | tr 'A-Z' 'a-z' | awk '{ print $1, $2 }')
refused=""
while read -r dll function; do
    grep -qxF -e "$dll $function" -e "$dll *" <<<"$allowed" || refused+=" $dll:$function"
done <<<"$imports"
[[ -z "$refused" ]] || fail "imports beyond Windows $VERSION's list ($(basename "$ALLOWED")):$refused"
echo "$(basename "$MODULE"): $(wc -l <<<"$imports") imports, all on the list"
