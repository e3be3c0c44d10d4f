#!/usr/bin/env bash
# Installs the build into a scratch prefix and checks what lands there: the
# programs, which run from there, their manual pages, and nothing else.
#
#   install_test.sh CMAKE BUILD_DIR BUILT_PROGRAM...
# Exit status 77 (skipped) when a program has not been built in BUILD_DIR, as
# in a build of selected targets only.
set -uo pipefail
cmake=$1
build=$2
shift 2
for built in "$@"; do
    if [ ! -x "$built" ]; then
        echo "$built has not been built; skipping" >&2
        exit 77
    fi
done

prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
status=0
fail() {
    echo "FAIL: $*" >&2
    status=1
}

if ! "$cmake" --install "$build" --prefix "$prefix" >"$prefix.log" 2>&1; then
    cat "$prefix.log" >&2
    rm -f "$prefix.log"
    fail "cmake --install failed"
    exit 1
fi
rm -f "$prefix.log"

expected='bin/lensrim
bin/pairsetup
bin/twinwarp
share/man/man1/lensrim.1
share/man/man1/pairsetup.1
share/man/man1/twinwarp.1'
actual=$(cd "$prefix" && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort)
if [ "$actual" != "$expected" ]; then
    fail "installed files differ from the programs and their pages:"
    diff <(echo "$expected") <(echo "$actual") >&2
fi

# PROGRAM USAGE [LINES]: run with no argument, the installed program prints its
# usage on standard error alone (LINES lines of it, the first being USAGE; one
# unless given) and ends with status 1; its manual page quotes that first line.
check_usage() {
    local program=$1 usage=$2 lines=${3:-1} rc=0
    "$prefix/bin/$program" </dev/null >"$prefix/out" 2>"$prefix/err" || rc=$?
    [ "$rc" -eq 1 ] || fail "$program with no argument: exit status $rc, expected 1"
    [ "$(head -n 1 "$prefix/err")" = "$usage" ] && [ "$(wc -l <"$prefix/err")" -eq "$lines" ] ||
        fail "$program with no argument: stderr is '$(cat "$prefix/err")', expected '$usage'"
    [ -s "$prefix/out" ] && fail "$program with no argument wrote to stdout: $(cat "$prefix/out")"
    # Not a pipe: grep -q leaves at the first match, and under pipefail sed's
    # SIGPIPE would fail the check.
    grep -qF "$usage" < <(sed 's/\\-/-/g' "$prefix/share/man/man1/$program.1") ||
        fail "$program.1 does not quote the usage line '$usage'"
    # The installed program must not lean on the build folder.
    if readelf -d "$prefix/bin/$program" 2>/dev/null | grep -E 'R(UN)?PATH' | grep -qF "$build"; then
        fail "$prefix/bin/$program keeps a library path into the build folder"
    fi
    rm -f "$prefix/out" "$prefix/err"
}
[ -x "$prefix/bin/twinwarp" ] &&
    check_usage twinwarp "usage twinwarp config_file output_video [1:equirectangular]"
[ -x "$prefix/bin/lensrim" ] && check_usage lensrim "usage lensrim in_photo"
[ -x "$prefix/bin/pairsetup" ] && check_usage pairsetup "usage: pairsetup [options] FIRST_VIDEO SECOND_VIDEO" 17

[ "$status" -eq 0 ] && echo "installed into $prefix: $(echo $actual)"
exit "$status"
