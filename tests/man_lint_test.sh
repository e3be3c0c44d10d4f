#!/usr/bin/env bash
# The manual pages must format without a single warning, under groff (what
# man(1) uses) and under mandoc's stricter lint.
#
#   man_lint_test.sh PAGE...
# Exit status 77 (skipped) when groff or mandoc is missing (Debian: groff-base,
# mandoc; scripts/test.sh installs them).
set -uo pipefail
for tool in groff mandoc; do
    if ! command -v "$tool" >/dev/null; then
        echo "$tool not found; skipping" >&2
        exit 77
    fi
done

status=0
for page in "$@"; do
    if ! out=$(groff -ww -man -Tutf8 -z "$page" 2>&1) || [ -n "$out" ]; then
        echo "FAIL: groff on $page:" >&2
        echo "$out" >&2
        status=1
    fi
    if ! out=$(mandoc -T lint -W style "$page" 2>&1) || [ -n "$out" ]; then
        echo "FAIL: mandoc lint on $page:" >&2
        echo "$out" >&2
        status=1
    fi
    # The sections a reader looks for.
    for section in NAME SYNOPSIS DESCRIPTION FILES "EXIT STATUS" EXAMPLES DIAGNOSTICS "SEE ALSO"; do
        grep -qx "\.SH \"\?$section\"\?" "$page" || {
            echo "FAIL: $page has no $section section" >&2
            status=1
        }
    done
done
[ "$status" -eq 0 ] && echo "clean: $*"
exit "$status"
