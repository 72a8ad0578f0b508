#!/usr/bin/env bash
# Shows on standard error why a job failed, beside Snakemake's "Error in rule" and the log's
# path: the log's ERROR: and WARNING: lines (bridgeScan's and the scripts') with the "  * "
# lines beneath them, and htslib's own [E::...] lines, or else the log's last lines. Ends
# with the job's status.
# Usage: explain_failure.sh LOG STATUS
log=$1
status=$2
plain=$(sed 's/\x1b\[[0-9;]*m//g' "$log" 2>/dev/null)
reasons=$(awk '/^(ERROR:|WARNING:|\[E::)/ { beneath = 1; print; next }
               beneath && /^  \* / { print; next }
               { beneath = 0 }' <<<"$plain")
[[ -n "$reasons" ]] || reasons=$(tail -n 15 <<<"$plain")
{
    echo "The job failed; its log $log says:"
    sed 's/^/    /' <<<"$reasons"
} >&2
exit "$status"
