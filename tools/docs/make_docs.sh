#!/bin/sh
# SPDX-License-Identifier: MIT
#
# The manual has one source: the mdoc pages in docs/man/.  This script lints
# each with mandoc (warnings count) and writes its Markdown form,
# docs/NAME.md, with `mandoc -T markdown`.
#
#   make_docs.sh           lint, then regenerate docs/*.md
#   make_docs.sh --check   lint, then fail when a committed docs/NAME.md
#                          differs from what its page gives now
#
# Exit status 0 all well, 1 a lint warning or a stale page, 77 mandoc is
# missing (the test is then skipped; apt-get install mandoc).
#
# mandoc's Markdown output has a quirk that decides how the pages are
# written: after a .Ql inside a .Bl -tag item, or a display (.Dl, .Bd)
# inside one, the following items come out tab-indented, which Markdown
# shows as code.  The pages therefore use .Dq Li for literal words and keep
# displays and .Bl -column tables outside tagged lists; a code line that
# holds Markdown markup (**name**, `word`, *path*) is reported as that
# quirk.
set -eu
top=$(cd "$(dirname "$0")/../.." && pwd)
check=0
[ "${1:-}" = --check ] && check=1

if ! command -v mandoc >/dev/null 2>&1; then
	echo "make_docs.sh: mandoc is not installed (apt-get install mandoc); skipped"
	exit 77
fi

status=0
for page in "$top"/docs/man/*.[1-9]; do
	name=$(basename "$page")
	md="$top/docs/${name%.*}.md"
	if ! mandoc -T lint -W warning "$page"; then
		echo "make_docs.sh: $name: mandoc -T lint reports the warnings above"
		status=1
	fi
	if mandoc -T markdown "$page" | grep -nE "$(printf '^\t')"'.*(\*\*[A-Za-z_]|`[^`]+`|\*/[a-z])' >&2; then
		echo "make_docs.sh: $name: prose came out as code in its Markdown form (lines above); see the note at the top of tools/docs/make_docs.sh"
		status=1
	fi
	if [ $check = 1 ]; then
		if ! mandoc -T markdown "$page" | diff -u "$md" - >/dev/null 2>&1; then
			echo "make_docs.sh: docs/$(basename "$md") is not what docs/man/$name gives; run tools/docs/make_docs.sh"
			mandoc -T markdown "$page" | diff -u "$md" - | head -20 || true
			status=1
		fi
	else
		mandoc -T markdown "$page" > "$md"
	fi
done
exit $status
