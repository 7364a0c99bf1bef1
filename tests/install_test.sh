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
test -f "$stage/usr/local/share/man/man1/quorvane.1.gz" || { echo "no man page"; exit 1; }
find "$stage" -path '*bash-completion/completions/quorvane' | grep -q . || {
    echo "no completion"
    exit 1
}
"$bin" -h 2>&1 | grep -q '^Usage: ./quorvane' || { echo "staged binary does not run"; exit 1; }
echo "install: $got"
