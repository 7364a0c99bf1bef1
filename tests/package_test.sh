#!/usr/bin/env bash
# The Debian package holds the set-user-ID binary owned by root, the man page, the completion and
# the lintian override; lintian, where installed, finds nothing but that override.
set -euo pipefail
build=$1
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

cpack --config "$build/CPackConfig.cmake" -B "$out" >"$out/cpack.log" 2>&1 || {
    cat "$out/cpack.log"
    exit 1
}
deb=$(find "$out" -maxdepth 1 -name 'quorvane_*_amd64.deb')
[[ -n $deb ]] || { echo "no quorvane_<version>_amd64.deb in $out"; ls "$out"; exit 1; }
listing=$(dpkg-deb -c "$deb")
expect() {
    grep -Eq "$1" <<<"$listing" || { echo "missing: $1"$'\n'"$listing"; exit 1; }
}
expect '^-rwsr-xr-x root/root .* \./usr/bin/quorvane$'
expect '^-rw-r--r-- root/root .* \./usr/share/man/man1/quorvane\.1\.gz$'
expect '^-rw-r--r-- root/root .* \./usr/share/bash-completion/completions/quorvane$'
expect '^-rw-r--r-- root/root .* \./usr/share/lintian/overrides/quorvane$'
if grep -v ' root/root ' <<<"$listing"; then
    echo "files not owned by root"
    exit 1
fi
[[ $(dpkg-deb -f "$deb" Section) == admin ]] || { echo "section is not admin"; exit 1; }

if command -v lintian >/dev/null; then
    # Run as root in CI: lintian is told that is fine. Errors and warnings fail; the rest is
    # shown (hardening-no-fortify-functions is expected: nothing here calls a function that
    # _FORTIFY_SOURCE guards).
    report=$(lintian --allow-root --info --pedantic "$deb" 2>&1 || true)
    grep -E '^[IP]: ' <<<"$report" || true
    if grep -E '^[EW]: ' <<<"$report"; then
        echo "lintian is not clean"
        exit 1
    fi
    grep -q '^N: 1 tag overridden' <<<"$(lintian --allow-root --show-overrides "$deb" 2>&1)" ||
        echo "note: lintian did not report the override as used"
fi
echo "package: $(basename "$deb")"
