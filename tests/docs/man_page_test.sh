#!/usr/bin/env bash
# The man page renders without a warning, has its sections, and gives an entry under OPTIONS to
# every option that --help prints, and one under STATISTICS to every column of the statistics
# file of the bundled example: an option or a column added without its entry fails here.
# Usage: man_page_test.sh PROGRAM PAGE EXAMPLES    (status 77: skipped, no man here)
set -euo pipefail
program=$(realpath "$1") page=$2 examples=$3
command -v man >/dev/null || { echo "no man here: skipped"; exit 77; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
warnings=$scratch/warnings
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

# The example's BAM list names its files relative to its folder.
(cd "$examples" && "$program" --vcf calls.vcf --bam bam.list --out "$scratch/pirs" \
    --stats "$scratch/stats.tsv" >/dev/null)
statistics_section=$(sed -n '/^STATISTICS$/,/^[A-Z]/p' <<<"$rendered")
for column in $(head -1 "$scratch/stats.tsv"); do
    grep -qE "^ {7}${column}( |\$)" <<<"$statistics_section" ||
        { echo "no entry for the column $column under STATISTICS"; failed=1; }
done
exit $failed
