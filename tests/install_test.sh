#!/usr/bin/env bash
# Installing stages the binary set-user-ID (root-owned when installed as root), the man page and
# the completion; a sanitizer build is never installed set-user-ID.
set -euo pipefail
build=$1 sanitize=$2
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

log=$(DESTDIR=$stage cmake --install "$build" --prefix /usr/local 2>&1)
bin=$stage/usr/local/bin/quorvane
got=$(stat -c '%a %U:%G' "$bin")
if [[ $sanitize == ON ]]; then
    want="755"
    grep -q "never installed set-user-ID" <<<"$log" || { echo "no warning: $log"; exit 1; }
elif [[ $(id -u) -eq 0 ]]; then
    want="4755 root:root"
else
    want="4755"
    grep -q "only meaningful once root owns it" <<<"$log" || { echo "no notice: $log"; exit 1; }
fi
[[ $got == "$want"* ]] || { echo "binary: want $want, got $got"; exit 1; }
for f in share/man/man1/quorvane.1.gz share/bash-completion/completions/quorvane; do
    test -f "$stage/usr/local/$f" || { echo "missing $f"; exit 1; }
done
outside=$(find "$stage" -type f ! -path "$stage/usr/local/*")
[[ -z $outside ]] || { echo "installed outside the prefix: $outside"; exit 1; }
help=$("$bin" -h 2>&1)
[[ $help == "Usage: ./quorvane "* ]] || { echo "staged binary does not run: $help"; exit 1; }
echo "install: $got"
