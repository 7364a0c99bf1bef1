#!/usr/bin/env bash
# Installing stages the binary set-user-ID, as root 4754 root:GROUP (4755 root:root without a
# group) and refused while the group does not exist, the man page and the completion; a sanitizer
# build is never installed set-user-ID. Usage: install_test.sh BUILD SANITIZE GROUP
set -euo pipefail
build=$1 sanitize=$2 group=$3
stage=$(mktemp -d)
made_group=
cleanup() {
    rm -rf "$stage"
    if [[ -n $made_group ]]; then groupdel "$group"; fi
}
trap cleanup EXIT

stage_install() { DESTDIR=$stage cmake --install "$build" --prefix /usr/local 2>&1; }
bin=$stage/usr/local/bin/quorvane
if [[ $sanitize == ON ]]; then
    want="755"
    grep -q "never installed set-user-ID" <<<"$(stage_install)" || { echo "no warning"; exit 1; }
elif [[ $(id -u) -ne 0 ]]; then
    want=$([[ -n $group ]] && echo 4754 || echo 4755)
    grep -q "only meaningful once root owns it" <<<"$(stage_install)" || { echo "no notice"; exit 1; }
elif [[ -z $group ]]; then
    want="4755 root:root"
    stage_install >/dev/null
else
    want="4754 root:$group"
    if ! getent group "$group" >/dev/null; then
        # Without its group nothing is left behind, and the message says what to do.
        if log=$(stage_install); then echo "installed without group $group"; exit 1; fi
        grep -q "groupadd -f --system $group" <<<"$(tr -s " \n" " " <<<"$log")" ||
            { echo "no advice: $log"; exit 1; }
        [[ ! -e $bin ]] || { echo "left $(stat -c '%a %U:%G' "$bin") behind"; exit 1; }
        groupadd --system "$group"
        made_group=1
    fi
    stage_install >/dev/null
fi
got=$(stat -c '%a %U:%G' "$bin")
[[ $got == "$want"* ]] || { echo "binary: want $want, got $got"; exit 1; }
for f in share/man/man1/quorvane.1.gz share/bash-completion/completions/quorvane; do
    test -f "$stage/usr/local/$f" || { echo "missing $f"; exit 1; }
done
outside=$(find "$stage" -type f ! -path "$stage/usr/local/*")
[[ -z $outside ]] || { echo "installed outside the prefix: $outside"; exit 1; }
help=$("$bin" -h 2>&1)
[[ $help == "Usage: ./quorvane "* ]] || { echo "staged binary does not run: $help"; exit 1; }
echo "install: $got"
