#!/usr/bin/env bash
# cmake --install into an empty prefix puts the program in bin/ and the
# manual page, unchanged, in share/man/man1/, and the installed program runs.
#   install_test.sh CMAKE BUILD_FOLDER MANUAL_PAGE
set -euo pipefail
cmake=${1:?cmake} build=${2:?build folder} page=${3:?manual page}

prefix=$(mktemp -d "${TMPDIR:-/tmp}/quavelor-install.XXXXXX")
trap 'rm -rf "$prefix"' EXIT

"$cmake" --install "$build" --prefix "$prefix" >/dev/null

failed=0
fail() {
  echo "FAIL: $*" >&2
  failed=1
}

[ -x "$prefix/bin/quavelor" ] || fail "no executable $prefix/bin/quavelor"
[ -f "$prefix/share/man/man1/quavelor.1" ] || fail "no $prefix/share/man/man1/quavelor.1"
[ ! -f "$prefix/share/man/man1/quavelor.1" ] || cmp -s "$page" "$prefix/share/man/man1/quavelor.1" ||
  fail "the installed manual page differs from $page"

installed=$(find "$prefix" -type f | sed "s|^$prefix/||" | sort | tr '\n' ' ')
[ "$installed" = "bin/quavelor share/man/man1/quavelor.1 " ] ||
  fail "installed files are: $installed"

# The installed copy is a working program: with no arguments it shows its
# usage text and ends with status 1.
status=0
"$prefix/bin/quavelor" >"$prefix/usage.out" 2>&1 || status=$?
[ "$status" -eq 1 ] || fail "the installed program exits with $status without arguments"
grep -q '^Add 1 or more arguments:$' "$prefix/usage.out" || fail "the installed program shows no usage text"

exit "$failed"
