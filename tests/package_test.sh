#!/usr/bin/env bash
# Builds the Debian package from a clean clone of the repository's HEAD, as a site would, and
# checks it: no set-ID file is left in the clone; lintian finds nothing but the set-user-ID
# override; the package holds the set-user-ID binary (4754 until its postinst gives it to group
# quorvane), the man page, the completion and the copyright; its version is the binary's. With
# --install (as root) it then installs the package as an admin would and checks who may run it:
# root and the group's members, through their own login, and nobody else; and that purging it
# forgets the override, and the group unless someone is still in it. With --arch, it is built for
# another architecture with the cross toolchain (apt-get build-dep -aARCH first), its tests left to
# the guests of tests/kernels.sh. With an output directory, the .deb is copied there.
# Usage: tests/package_test.sh [--install | --arch ARCH] [repo] [outdir]
set -euo pipefail
install=
arch=$(dpkg --print-architecture)
cross=()
case ${1:-} in
    --install) install=1 && shift ;;
    --arch) arch=$2 && cross=(-a"$2") && shift 2 ;;
esac
[[ ${#cross[@]} -eq 0 ]] || export DEB_BUILD_OPTIONS="nocheck ${DEB_BUILD_OPTIONS:-}"
repo=$(realpath "${1:-.}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# What it is doing, as it starts each step: the build takes minutes.
step() { echo "package test: $* ($SECONDS s)"; }
step "cloning $repo"
git clone -q "$repo" "$work/quorvane"
step "building the $arch package, as many jobs at a time as there are processors${cross:+ (cross)}"
# As the README builds it: the staging tree, which holds the set-user-ID binary, is cleaned at the
# end, so that no set-ID file stays in the clone for anyone who can reach it.
(cd "$work/quorvane" && dpkg-buildpackage "${cross[@]}" -us -uc -b -tc -jauto) >"$work/build.log" 2>&1 || {
    tail -n 60 "$work/build.log"
    exit 1
}
setid=$(find "$work/quorvane" -perm /6000)
[[ -z $setid ]] || { echo "set-ID files left in the clone: $setid"; exit 1; }
[[ ${#cross[@]} -gt 0 ]] || grep -E 'tests passed|tests failed' "$work/build.log"
version=$(dpkg-parsechangelog -l "$work/quorvane/debian/changelog" -S Version)
deb=$work/quorvane_${version}_${arch}.deb
[[ -f $deb ]] || { echo "no $(basename "$deb")"; ls "$work"; exit 1; }

step "checking what it holds, and lintian"
listing=$(dpkg-deb -c "$deb")
expect() {
    grep -Eq "$1" <<<"$listing" || { echo "missing: $1"$'\n'"$listing"; exit 1; }
}
expect '^-rwsr-xr-- root/root .* \./usr/bin/quorvane$'
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
report=$(lintian --allow-root --info --pedantic "$work"/quorvane_"${version}"_"$arch".changes 2>&1)
if grep -E '^[EWIPX]: ' <<<"$report"; then
    echo "lintian is not clean"
    exit 1
fi
overrides=$(lintian --allow-root --show-overrides "$work"/quorvane_"${version}"_"$arch".changes 2>&1)
grep -q '^O: quorvane: elevated-privileges 4754 root/root \[usr/bin/quorvane\]' <<<"$overrides" || {
    echo "lintian did not use the override:"$'\n'"$overrides"
    exit 1
}
if [[ $# -ge 2 ]]; then cp "$deb" "$2/"; fi
echo "package: $(basename "$deb"), lintian clean but for the set-user-ID override"
[[ -n $install ]] || exit 0

# Installed: only root and the members of group quorvane may run it. Each user runs it from his
# own login (setpriv would keep root's capabilities across the exec).
step "installing it, and running it as root, a member of the group and another user"
users=()
trap 'for u in "${users[@]}"; do userdel "$u"; done; rm -rf "$work"' EXIT
apt-get install -y --no-install-recommends "$deb" man-db bash-completion >"$work/apt.log" 2>&1 || {
    cat "$work/apt.log"
    exit 1
}
got=$(stat -c '%a %U:%G' /usr/bin/quorvane)
[[ $got == "4754 root:quorvane" ]] || { echo "installed as $got"; exit 1; }
man -w quorvane >/dev/null
test -f /usr/share/bash-completion/completions/quorvane
for u in quorvane-member quorvane-other; do
    useradd --system --no-create-home "$u"
    users+=("$u")
done
usermod -aG quorvane quorvane-member
runs() { runuser -u "$1" -- quorvane -h 2>&1 | head -n 1; }
[[ $(runs root) == "Usage: ./quorvane "* ]] || { echo "root: $(runs root)"; exit 1; }
[[ $(runs quorvane-member) == "Usage: ./quorvane "* ]] || { echo "member: $(runs quorvane-member)"; exit 1; }
[[ $(runs quorvane-other) == *"quorvane: Permission denied" ]] || {
    echo "another user: $(runs quorvane-other)"
    exit 1
}
step "upgrading over an admin's own choice, and purging"
# An admin's own choice survives an upgrade.
dpkg-statoverride --remove /usr/bin/quorvane
dpkg-statoverride --update --add root quorvane 4750 /usr/bin/quorvane
dpkg -i "$deb" >/dev/null
got=$(stat -c '%a %U:%G' /usr/bin/quorvane)
[[ $got == "4750 root:quorvane" ]] || { echo "reinstalled as $got, not as the admin chose"; exit 1; }
# Purging keeps a group that still has a member, and says so; an empty one goes.
kept=$(dpkg --purge quorvane 2>&1 >/dev/null)
if dpkg-statoverride --list /usr/bin/quorvane || ! getent group quorvane >/dev/null; then
    echo "purge left the override, or took the group from its member"
    exit 1
fi
grep -q "keeping group quorvane, which still has members: quorvane-member" <<<"$kept" ||
    { echo "purge did not say why it kept the group: $kept"; exit 1; }
gpasswd -d quorvane-member quorvane >/dev/null
dpkg -i "$deb" >/dev/null
dpkg --purge quorvane >/dev/null
if getent group quorvane; then
    echo "purge left the empty group behind"
    exit 1
fi
echo "installed: 4754 root:quorvane; root and members may run it, others may not; purge forgets" \
    "the override, and the group once it is empty"
