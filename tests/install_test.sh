#!/usr/bin/env bash
# Installing puts the binary, the man page and the completion in place. Staged (DESTDIR, as a
# package build does) the binary is never set-ID: mode 0755. Installed for real by root it is
# 4754 root:GROUP (4755 root:root without a group), refused before anything is copied while the
# group does not exist; that install runs in a private mount namespace, into a tmpfs. A sanitizer
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

log=$(DESTDIR=$stage cmake --install "$build" --prefix /usr/local 2>&1)
bin=$stage/usr/local/bin/quorvane
if [[ $sanitize == ON ]]; then
    grep -q "never installed set-user-ID" <<<"$log" || { echo "no warning: $log"; exit 1; }
else
    grep -q "without a set-ID bit" <<<"$log" || { echo "no notice: $log"; exit 1; }
fi
got=$(stat -c '%a' "$bin")
[[ $got == 755 ]] || { echo "staged binary: want 755, got $got"; exit 1; }
setid=$(find "$stage" -perm /6000)
[[ -z $setid ]] || { echo "set-ID files in the staging tree: $setid"; exit 1; }
for f in share/man/man1/quorvane.1.gz share/bash-completion/completions/quorvane; do
    test -f "$stage/usr/local/$f" || { echo "missing $f"; exit 1; }
done
outside=$(find "$stage" -type f ! -path "$stage/usr/local/*")
[[ -z $outside ]] || { echo "installed outside the prefix: $outside"; exit 1; }
help=$("$bin" -h 2>&1)
[[ $help == "Usage: ./quorvane "* ]] || { echo "staged binary does not run: $help"; exit 1; }
[[ $sanitize != ON && $(id -u) -eq 0 ]] || { echo "install: staged $got"; exit 0; }

# For real, as root, into a tmpfs that only a private mount namespace sees: prints the binary's
# mode and owner, or "none"; then uninstalls twice, as the README's line may be run, and prints
# whatever of it is left.
real_install() {
    unshare --mount --propagation private bash -c '
        mount -t tmpfs tmpfs /mnt || exit 1
        cmake --install "$1" --prefix /mnt/prefix >/mnt/log 2>&1 || cat /mnt/log
        stat -c "%a %U:%G" /mnt/prefix/bin/quorvane 2>/dev/null || { echo none; exit 0; }
        for again in 1 2; do "$2" "$1" >/mnt/log 2>&1 || cat /mnt/log; done
        find /mnt/prefix -name "*quorvane*" -o -name "bash-completion"' \
        sh "$build" "$(dirname "$0")/../tools/uninstall.sh"
}
if [[ -z $group ]]; then
    want="4755 root:root"
else
    want="4754 root:$group"
    if ! getent group "$group" >/dev/null; then
        # Without its group nothing is installed, and the message says what to do.
        refused=$(real_install)
        grep -q "groupadd -f --system $group" <<<"$(tr -s " \n" " " <<<"$refused")" ||
            { echo "no advice: $refused"; exit 1; }
        [[ $refused == *none ]] || { echo "installed without group $group: $refused"; exit 1; }
        groupadd --system "$group"
        made_group=1
    fi
fi
got=$(real_install)
[[ $got == "$want" ]] || { echo "installed binary: want $want, got $got"; exit 1; }
echo "install: staged 755, installed $got"
