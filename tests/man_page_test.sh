#!/usr/bin/env bash
# The man page renders without a warning, its synopsis is the usage text's, and its version is
# the binary's and the package's.
set -euo pipefail
page=$1 binary=$2

warnings=$(groff -man -ww -z "$page" 2>&1)
if [[ -n $warnings ]]; then
    echo "groff warnings:"$'\n'"$warnings"
    exit 1
fi

help=$("$binary" -h 2>&1)
usage=$(sed -e '1!d' -e 's/^Usage: \.\///' -e 's/[<>]//g' <<<"$help")
synopsis=$(MANWIDTH=200 MAN_KEEP_FORMATTING= man -l "$page" 2>/dev/null | col -b |
           sed -n '/^SYNOPSIS/{n;p;}' | sed 's/^ *//')
if [[ $synopsis != "$usage" ]]; then
    echo "synopsis: '$synopsis'"
    echo "usage:    '$usage'"
    exit 1
fi

# One version everywhere: the build's, which the binary prints, the page's and the package's.
version=$("$binary" --version)
changelog=$(sed -n '1s/^quorvane (\([^)]*\)).*/quorvane \1/p' "$(dirname "$page")/../debian/changelog")
th=$(sed -n 's/^\.TH QUORVANE 1 [^ ]* "\([^"]*\)".*/\1/p' "$page")
if [[ $version != "$changelog" || $version != "$th" ]]; then
    echo "versions differ: binary '$version', changelog '$changelog', man page '$th'"
    exit 1
fi

for section in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" SIGNALS AUDIT FILES SECURITY EXAMPLES "SEE ALSO"; do
    grep -qx "\.SH \"\?$section\"\?" "$page" || { echo "missing section $section"; exit 1; }
done
echo "man page: clean, synopsis matches the usage text"
