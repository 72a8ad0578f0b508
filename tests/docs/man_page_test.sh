#!/usr/bin/env bash
# The man page renders without a warning, has its sections, and gives an entry under OPTIONS to
# every option that --help prints: an option added without its entry fails here.
# Usage: man_page_test.sh PROGRAM PAGE    (status 77: skipped, no man here)
set -euo pipefail
program=$1 page=$2
command -v man >/dev/null || { echo "no man here: skipped"; exit 77; }

warnings=$(mktemp)
trap 'rm -f "$warnings"' EXIT
rendered=$(LC_ALL=C MANWIDTH=100 man --warnings -l "$page" 2>"$warnings")
failed=0
if [[ -s $warnings ]]; then
    echo "the page renders with warnings:"; cat "$warnings"; failed=1
fi

for section in NAME SYNOPSIS DESCRIPTION OPTIONS INPUT OUTPUT STATISTICS "PHASE SETS" \
               "EXIT STATUS" ENVIRONMENT EXAMPLES "SEE ALSO"; do
    grep -qx "$section" <<<"$rendered" || { echo "no section $section"; failed=1; }
done

# An entry is a tag line of OPTIONS: the option first, or after another name of it ("-h, --help").
options_section=$(sed -n '/^OPTIONS$/,/^[A-Z]/p' <<<"$rendered")
options=$("$program" --help | grep -oE '^  -[^ ]+(, -[^ ]+)?' | tr ',' '\n' | tr -d ' ')
[[ -n $options ]] || { echo "--help printed no option"; exit 1; }
for option in $options; do
    grep -qE "^ {7}([^ ]+, )*${option}(,| |\$)" <<<"$options_section" ||
        { echo "no entry for $option under OPTIONS"; failed=1; }
done
exit $failed
