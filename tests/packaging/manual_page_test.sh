#!/usr/bin/env bash
# The manual page renders with no warning from groff (all warnings on) nor
# from man, and its SYNOPSIS shows the program with its seven positional
# arguments, nested as optional after the device, then its options.
#   manual_page_test.sh PAGE
set -euo pipefail
page=${1:?manual page}

failed=0
fail() {
  echo "FAIL: $*" >&2
  failed=1
}

warnings=$(groff -ww -man -Tutf8 "$page" 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "groff -ww warns:"$'\n'"$warnings"

warnings=$(MANWIDTH=80 man --warnings -E UTF-8 -P cat -l "$page" 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "man --warnings warns:"$'\n'"$warnings"

# Plain text on lines long enough that the synopsis is not broken; its lines
# are joined and blanks squeezed all the same.
rendered=$(groff -man -Tascii -P-cbou -rLL=200n "$page")
synopsis=$(printf '%s\n' "$rendered" | sed -n '/^SYNOPSIS/,/^DESCRIPTION/p' | sed '1d;$d' | tr -s ' \n' '  ' |
  sed 's/^ //;s/ $//')
expected='quavelor device [mode [input-channel [output-channel [delay [sample-rate [timeout]]]]]]'
expected+=' quavelor --help | -h quavelor --version'
[ "$synopsis" = "$expected" ] || fail "SYNOPSIS reads '$synopsis', expected '$expected'"

for section in NAME SYNOPSIS DESCRIPTION ARGUMENTS OPTIONS MODES OUTPUT "EXIT STATUS" EXAMPLES WARNING; do
  grep -qx "$section" <<<"$rendered" || fail "no section $section"
done

exit "$failed"
