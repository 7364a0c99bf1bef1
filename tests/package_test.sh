#!/usr/bin/env bash
# Builds the Debian package from a clean clone of the repository's HEAD, as a site would, and
# checks it: lintian finds nothing but the set-user-ID override, and the package holds the
# root-owned set-user-ID binary, the man page, the completion and the copyright. With a second
# argument, the .deb is copied there. Usage: tests/package_test.sh [repo] [outdir]
set -euo pipefail
repo=$(realpath "${1:-.}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

git clone -q "$repo" "$work/quorvane"
(cd "$work/quorvane" && dpkg-buildpackage -us -uc -b) >"$work/build.log" 2>&1 || {
    tail -n 60 "$work/build.log"
    exit 1
}
grep -E 'tests passed|tests failed' "$work/build.log"
version=$(dpkg-parsechangelog -l "$work/quorvane/debian/changelog" -S Version)
deb=$work/quorvane_${version}_amd64.deb
[[ -f $deb ]] || { echo "no $(basename "$deb")"; ls "$work"; exit 1; }

listing=$(dpkg-deb -c "$deb")
expect() {
    grep -Eq "$1" <<<"$listing" || { echo "missing: $1"$'\n'"$listing"; exit 1; }
}
expect '^-rwsr-xr-x root/root .* \./usr/bin/quorvane$'
expect '^-rw-r--r-- root/root .* \./usr/share/man/man1/quorvane\.1\.gz$'
expect '^-rw-r--r-- root/root .* \./usr/share/bash-completion/completions/quorvane$'
expect '^-rw-r--r-- root/root .* \./usr/share/doc/quorvane/copyright$'
expect '^-rw-r--r-- root/root .* \./usr/share/lintian/overrides/quorvane$'
if grep -v ' root/root ' <<<"$listing"; then
    echo "files not owned by root"
    exit 1
fi
[[ $(dpkg-deb -f "$deb" Section) == admin ]] || { echo "section is not admin"; exit 1; }

# Errors, warnings, informational and pedantic tags all fail; the override must be the one used.
report=$(lintian --allow-root --info --pedantic "$work"/quorvane_"${version}"_amd64.changes 2>&1)
if grep -E '^[EWIPX]: ' <<<"$report"; then
    echo "lintian is not clean"
    exit 1
fi
overrides=$(lintian --allow-root --show-overrides "$work"/quorvane_"${version}"_amd64.changes 2>&1)
grep -q '^O: quorvane: elevated-privileges 4755 root/root \[usr/bin/quorvane\]' <<<"$overrides" || {
    echo "lintian did not use the override:"$'\n'"$overrides"
    exit 1
}
if [[ $# -ge 2 ]]; then cp "$deb" "$2/"; fi
echo "package: $(basename "$deb"), lintian clean but for the set-user-ID override"
