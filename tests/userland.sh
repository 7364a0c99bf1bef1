#!/usr/bin/env bash
# Runs the README's lines that build, install, uninstall and test, exactly as written there, as
# root in a fresh clone on another Debian release's own user space (default trixie: its compiler,
# C library and GoogleTest), as a newcomer on that release would.
# The release's minimal system is made once with debootstrap, from the Debian mirror this
# machine's own apt configuration names (through its proxy, if it has one), and kept in
# $QUORVANE_KERNEL_CACHE (default /var/cache/quorvane-kernels); each run works on an overlay of it,
# so that every run starts from the same fresh system and the cache stays as made.
# Usage (as root): tests/userland.sh [RELEASE]
set -euo pipefail

rel=${1:-trixie}
repo=$(realpath "$(dirname "$0")/..")
cache=${QUORVANE_KERNEL_CACHE:-/var/cache/quorvane-kernels}
[[ $(id -u) -eq 0 ]] || { echo "userland: run as root: the tests inside need it" >&2; exit 1; }
command -v debootstrap >/dev/null ||
    { echo "userland: debootstrap is missing: apt-get install debootstrap" >&2; exit 1; }
# mirror(): the Debian archive to fetch from.
source "$repo/tests/debian_mirror.sh"

proxy=
eval "$(apt-config shell proxy Acquire::http::Proxy)"
base=$cache/$rel-userland
if [[ ! -f $base/ready ]]; then
    rm -rf "$base"
    uri=$(mirror) && [[ -n $uri ]] ||
        { echo "userland: no Debian archive in this machine's apt sources" >&2; exit 1; }
    echo "userland: making a minimal $rel from $uri" >&2
    http_proxy=${proxy:-${http_proxy:-}} debootstrap --variant=minbase "$rel" "$base/root" "$uri" \
        >"$base.log" 2>&1 || { tail -n 20 "$base.log" >&2; exit 1; }
    touch "$base/ready"
fi

work=$(mktemp -d "$cache/userland.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work"/{upper,work,root}
git clone -q "$repo" "$work/upper/root/quorvane"
# The README's line under the bold heading $1, with the indentation of its block taken off.
line() { awk -v h="^[*][*]$1" '$0 ~ h { found = 1 } found && /^    / { sub(/^    /, ""); print; exit }' \
        "$repo/README.md"; }
lines=("$(line 'From source')" "$(line Uninstall)" "$(line 'The suite')")
for l in "${lines[@]}"; do [[ -n $l ]] || { echo "userland: a line is missing from the README" >&2; exit 1; }; done

# In a mount namespace of its own, which takes every mount below with it when it ends.
unshare --mount --propagation private bash -euo pipefail -s "$base/root" "$work" "$proxy" \
    "${lines[@]}" <<'EOF'
lower=$1 work=$2 proxy=$3
shift 3
root=$work/root
mount -t overlay overlay -o "lowerdir=$lower,upperdir=$work/upper,workdir=$work/work" "$root"
mount -t proc proc "$root/proc"
mount --rbind /sys "$root/sys"
mount --rbind /dev "$root/dev"
mount -t tmpfs tmpfs "$root/tmp"
cp /etc/resolv.conf "$root/etc/resolv.conf"
[[ -z $proxy ]] || echo "Acquire::http::Proxy \"$proxy\";" >"$root/etc/apt/apt.conf.d/00proxy"
echo "userland: $(. "$root/etc/os-release" && echo "$PRETTY_NAME")" >&2
for l in "$@"; do
    echo "userland: $l" >&2
    chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root CI=true \
        DEBIAN_FRONTEND=noninteractive bash -c "cd /root/quorvane && $l" </dev/null >"$work/out" 2>&1 ||
        { tail -n 40 "$work/out" >&2; echo "userland: failed: $l" >&2; exit 1; }
done
echo "userland: every line passed" >&2
EOF
