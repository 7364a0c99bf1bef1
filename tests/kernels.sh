#!/usr/bin/env bash
# Runs the unit and end-to-end tests, as root, on Debian's own kernels: 5.10 (bullseye) and 6.1
# (bookworm), which lack fchmodat2, and 6.12 (trixie), which has every call the tool prefers.
# Each is booted under QEMU with software emulation (this machine's /dev/kvm cannot boot them),
# this machine's root file system shared read-only over 9p, a tmpfs over the build's Testing
# directory and one for temporary files for all that is written, and Debian's defaults for
# root's open-file limits and the link protections.
# The kernels are fetched once with apt-get, from the Debian mirror this machine's own apt
# configuration names (so that a site's mirror or proxy is used), and kept in
# $QUORVANE_KERNEL_CACHE (default /var/cache/quorvane-kernels). Prints one line per kernel; the
# status is the number of kernels on which a test failed.
# With --arm64, BUILD_DIR is a build for arm64 (see cmake/aarch64-linux-gnu.cmake), and the tests
# run on Debian's arm64 kernel of bookworm (6.1) under qemu-system-aarch64, in a root file system
# of Debian's arm64 packages (bash, util-linux, e2fsprogs, cmake and what they need), unpacked
# once into the cache, with the build and this clone bound at their own paths.
# QUORVANE_KERNEL_TESTS, a regular expression, chooses other tests than the unit and end-to-end
# ones. Usage (as root): tests/kernels.sh [--arm64] BUILD_DIR [RELEASE...]
set -euo pipefail

if [[ ${1:-} == --guest ]]; then
    # Inside the virtual machine, chrooted into the shared root file system.
    build=$2
    export CI=true TMPDIR=$3 PATH=/usr/sbin:/usr/bin:/sbin:/bin
    export HOME=$TMPDIR
    mkdir -p "$TMPDIR"
    cd "$TMPDIR"
    echo "kernel $(uname -r), open files $(ulimit -Sn)/$(ulimit -Hn)," \
        "protected_hardlinks $(cat /proc/sys/fs/protected_hardlinks)"
    # In parallel: every end-to-end test has a namespace of its own.
    exec ctest --test-dir "$build" -R "${4:-^(unit|e2e)[._]}" --output-on-failure --timeout 900 \
        --parallel "$(nproc)"
fi

arch=amd64
if [[ ${1:-} == --arm64 ]]; then
    arch=arm64
    shift
fi
build=$(realpath "${1:?usage: tests/kernels.sh [--arm64] BUILD_DIR [RELEASE...]}")
shift
releases=("$@")
[[ $# -gt 0 ]] || releases=(bullseye bookworm trixie)
[[ $# -gt 0 || $arch == amd64 ]] || releases=(bookworm)
repo=$(realpath "$(dirname "$0")/..")
cache=${QUORVANE_KERNEL_CACHE:-/var/cache/quorvane-kernels}
[[ $(id -u) -eq 0 ]] || { echo "kernels: run as root: the tests inside need it" >&2; exit 1; }
qemu=qemu-system-x86_64
[[ $arch == amd64 ]] || qemu=qemu-system-aarch64
for tool in "$qemu" busybox modinfo cpio; do
    command -v "$tool" >/dev/null || {
        echo "kernels: $tool is missing: apt-get install qemu-system-x86 qemu-system-arm" \
            "busybox-static kmod cpio" >&2
        exit 1
    }
done
[[ -x $build/tests/e2e_tests ]] || { echo "kernels: build the tests in $build first" >&2; exit 1; }

# mirror(): the Debian archive to fetch from.
source "$repo/tests/debian_mirror.sh"

# apt-get's options for a private list of packages of `arch` in directory $1, from release $2 of
# this machine's Debian archive, into the array `opts`.
apt_options() {
    local dir=$1 rel=$2 uri
    mkdir -p "$dir/apt/lists/partial" "$dir/apt/archives/partial"
    uri=$(mirror) && [[ -n $uri ]] ||
        { echo "kernels: no Debian archive in this machine's apt sources" >&2; exit 1; }
    echo "deb [arch=$arch] $uri $rel main" >"$dir/apt/sources.list"
    : >"$dir/apt/status"
    opts=(-o "Dir::Etc::SourceList=$dir/apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
        -o "Dir::State::Lists=$dir/apt/lists" -o "Dir::Cache=$dir/apt"
        -o "Dir::State::status=$dir/apt/status" -o "APT::Architecture=$arch"
        -o "APT::Architectures::=$arch" -o APT::Sandbox::User=root -o Debug::NoLocking=1)
}

# Unpacks, once, an arm64 root file system of release $1's own packages for the guest to run the
# tests in: unpacked, not installed, which is all the tests need; prints its directory.
arm64_root() {
    local rel=$1
    local dir=$cache/$rel-arm64-root
    if [[ ! -f $dir/ready ]]; then
        rm -rf "$dir"
        local opts
        apt_options "$dir" "$rel"
        apt-get "${opts[@]}" -qq update >&2
        apt-get "${opts[@]}" -qq -y --no-install-recommends install --download-only bash dash \
            coreutils util-linux mount e2fsprogs cmake busybox-static >&2
        local deb
        for deb in "$dir"/apt/archives/*.deb; do dpkg-deb -x "$deb" "$dir/root"; done
        rm -rf "$dir/apt"
        mkdir -p "$dir"/root/{proc,sys,dev,tmp,run,mnt,root,var}
        # What an installed system has besides its packages' files.
        [[ -e $dir/root/bin/sh ]] || ln -s dash "$dir/root/bin/sh"
        rm -rf "$dir/root/var/run" && ln -s /run "$dir/root/var/run"
        echo "root:x:0:0:root:/root:/bin/bash" >"$dir/root/etc/passwd"
        echo "root:x:0:" >"$dir/root/etc/group"
        touch "$dir/ready"
    fi
    echo "$dir"
}

# Fetches the release's stock kernel package into the cache, once; prints its directory.
fetch() {
    local rel=$1
    local dir=$cache/$rel
    [[ $arch == amd64 ]] || dir=$cache/$rel-arm64
    # "ready" names what was taken from the package, so that a cache made for less is made again.
    if [[ ! -f $dir/ready.ext4 ]]; then
        rm -rf "$dir"
        mkdir -p "$dir/root"
        local opts
        apt_options "$dir" "$rel"
        apt-get "${opts[@]}" -qq update >&2
        local pkg
        pkg=$(apt-cache "${opts[@]}" depends "linux-image-$arch" |
            awk '/Depends: linux-image-/ { print $2; exit }')
        (cd "$dir" && apt-get "${opts[@]}" -qq download "$pkg") >&2
        # Only what the guest needs: the kernel, the modules for 9p over virtio, and those for ext4
        # on a loop device, which a test makes.
        dpkg-deb --fsys-tarfile "$dir"/"$pkg"_*.deb |
            tar -x -C "$dir/root" --wildcards './boot/vmlinuz-*' '*/kernel/fs/9p/*' \
                '*/kernel/net/9p/*' '*/kernel/fs/netfs/*' '*/kernel/fs/fscache/*' \
                '*/kernel/drivers/virtio/*' '*/kernel/fs/ext4/*' '*/kernel/fs/jbd2/*' \
                '*/kernel/fs/mbcache.ko*' '*/kernel/lib/crc*' '*/kernel/lib/libcrc32c*' \
                '*/kernel/crypto/crc32c*' '*/kernel/arch/*/crypto/crc32c*' \
                '*/kernel/drivers/block/loop.ko*' 2>/dev/null || true
        rm -rf "$dir"/*.deb "$dir/apt"
        ls "$dir"/root/boot/vmlinuz-* >/dev/null
        touch "$dir/ready.ext4"
    fi
    echo "$dir"
}

# Writes to initramfs $2 a busybox init that loads the modules of kernel tree $1, mounts the
# host's root over 9p (and, for arm64, the arm64 root, with the build and the clone bound into it)
# and runs this script's guest half there.
make_initramfs() {
    local kroot=$1 out=$2 work
    work=$(mktemp -d)
    mkdir -p "$work/bin" "$work/modules" "$work/proc" "$work/sys" "$work/dev" "$work/newroot" \
        "$work/host"
    if [[ $arch == amd64 ]]; then
        cp "$(command -v busybox)" "$work/bin/busybox"
    else
        cp "$guest_root/root/bin/busybox" "$work/bin/busybox"
    fi
    local -A file=() loaded=()
    local f name
    while IFS= read -r f; do
        name=$(basename "$f")
        name=${name%%.ko*}
        file[${name//-/_}]=$f
    done < <(find "$kroot" -name '*.ko*')
    local order=()
    load() {
        local m=${1//-/_} dep
        [[ -n ${loaded[$m]:-} ]] && return
        loaded[$m]=1
        [[ -n ${file[$m]:-} ]] || return 0  # built in
        for dep in $(modinfo -F depends "${file[$m]}" | tr ',' ' '); do load "$dep"; done
        case ${file[$m]} in
            *.xz) xz -dc "${file[$m]}" >"$work/modules/$m.ko" ;;
            *.zst) zstd -qdc "${file[$m]}" >"$work/modules/$m.ko" ;;
            *) cp "${file[$m]}" "$work/modules/$m.ko" ;;
        esac
        order+=("$m")
    }
    for name in virtio_pci 9pnet_virtio 9p loop crc32c_generic crc32c_intel ext4; do load "$name"; done
    cat >"$work/init" <<EOF
#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc && mount -t sysfs sys /sys && mount -t devtmpfs dev /dev
for m in ${order[*]}; do insmod /modules/\$m.ko || echo "insmod \$m failed"; done
n=/newroot
o=trans=virtio,version=9p2000.L,ro,cache=loose,msize=262144
if [ $arch = amd64 ]; then
    mount -t 9p -o \$o hostroot \$n
else
    mount -t 9p -o \$o guestroot \$n && mount -t 9p -o \$o hostroot /host
    mount --bind /host$build \$n$build && mount --bind /host$repo \$n$repo
    # A cross build's tests are listed where they run, into their own directory.
    mount -t tmpfs tmpfs \$n$build/tests && cp -a /host$build/tests/. \$n$build/tests/
fi
mount -t proc proc \$n/proc && mount -t sysfs sys \$n/sys && mount -t devtmpfs dev \$n/dev
# The only places written to: ctest's results, and a temporary directory of root's own, however
# the way to the clone is owned, for the tests that need it reached only through root's.
mount -t tmpfs tmpfs \$n$build/Testing && mount -t tmpfs -o mode=1777 tmpfs \$n$scratch
# As a Debian host has them: systemd's link protections and root's open-file limits.
echo 1 >/proc/sys/fs/protected_hardlinks && echo 1 >/proc/sys/fs/protected_symlinks
ulimit -Hn 524288 && ulimit -Sn 1024
chroot \$n /bin/bash $repo/tests/kernels.sh --guest $build $scratch '${QUORVANE_KERNEL_TESTS:-}'
echo "quorvane-guest-status: \$?"
poweroff -f
EOF
    chmod 755 "$work/init"
    (cd "$work" && find . | cpio -o -H newc --quiet | gzip -1) >"$out"
    rm -rf "$work"
}

mkdir -p "$build/Testing"
# Where the guest's temporary directory goes: a directory of this machine's that holds neither
# the clone nor the build, which a tmpfs over it would hide.
scratch=
for dir in /tmp /var/tmp /mnt /srv /opt; do
    if [[ -d $dir && $repo/ != "$dir"/* && $build/ != "$dir"/* ]]; then
        scratch=$dir
        break
    fi
done
[[ -n $scratch ]] || { echo "kernels: no directory for the guest's temporary files" >&2; exit 1; }
failed=0
summary=()
for rel in "${releases[@]}"; do
    dir=$(fetch "$rel")
    kernel=$(ls "$dir"/root/boot/vmlinuz-*)
    log=$(mktemp)
    initrd=$(mktemp)
    share=local,security_model=none,readonly=on,multidevs=remap
    machine=(qemu-system-x86_64 -accel tcg -append "console=ttyS0 quiet panic=-1")
    if [[ $arch == arm64 ]]; then
        guest_root=$(arm64_root "$rel")
        # Where the build and the clone are bound in the arm64 root.
        mkdir -p "$guest_root/root$build" "$guest_root/root$repo" "$guest_root/root$scratch"
        machine=(qemu-system-aarch64 -M virt -cpu max -append "console=ttyAMA0 quiet panic=-1"
            -virtfs "$share,path=$guest_root/root,mount_tag=guestroot")
    fi
    make_initramfs "$dir/root" "$initrd"
    rm -f "$build/kernels-$rel-$arch.log"
    echo "kernels: booting $(basename "$kernel") of $rel for $arch" >&2
    start=$SECONDS
    timeout 2400 "${machine[@]}" -smp 2 -m 2048 -nographic -no-reboot \
        -kernel "$kernel" -initrd "$initrd" -virtfs "$share,path=/,mount_tag=hostroot" \
        </dev/null >"$log" 2>&1 || true
    status=$(sed -n 's/^quorvane-guest-status: \([0-9]*\).*/\1/p' "$log" | tail -n 1)
    verdict=$(sed 's/\x1b\[[0-9;]*m//g' "$log" | grep -E 'tests passed|tests failed' | tail -n 1 |
        tr -d '\r' || true)
    if [[ $status == 0 ]]; then
        line="$rel $(basename "$kernel" | sed 's/vmlinuz-//'): passed: $verdict"
    else
        failed=$((failed + 1))
        line="$rel $(basename "$kernel" | sed 's/vmlinuz-//'): FAILED (${status:-no status}): $verdict"
        sed 's/\x1b\[[0-9;]*m//g' "$log" | tail -n 80 | tr -d '\r'
        cp "$log" "$build/kernels-$rel-$arch.log"
        echo "kernels: the whole of what the guest printed is in $build/kernels-$rel-$arch.log"
    fi
    summary+=("$line ($((SECONDS - start)) s)")
    rm -f "$log" "$initrd"
done
printf '%s\n' "${summary[@]}"
exit "$failed"
