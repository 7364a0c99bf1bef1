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
# Usage (as root): tests/kernels.sh BUILD_DIR [RELEASE...]
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
    exec ctest --test-dir "$build" -R '^(unit|e2e)[._]' --output-on-failure --timeout 900
fi

build=$(realpath "${1:?usage: tests/kernels.sh BUILD_DIR [RELEASE...]}")
shift
releases=("$@")
[[ $# -gt 0 ]] || releases=(bullseye bookworm trixie)
repo=$(realpath "$(dirname "$0")/..")
cache=${QUORVANE_KERNEL_CACHE:-/var/cache/quorvane-kernels}
[[ $(id -u) -eq 0 ]] || { echo "kernels: run as root: the tests inside need it" >&2; exit 1; }
for tool in qemu-system-x86_64 busybox modinfo cpio; do
    command -v "$tool" >/dev/null || {
        echo "kernels: $tool is missing: apt-get install qemu-system-x86 busybox-static kmod cpio" >&2
        exit 1
    }
done
[[ -x $build/tests/e2e_tests ]] || { echo "kernels: build the tests in $build first" >&2; exit 1; }

# The first Debian archive this machine's apt takes packages from (one-line or deb822 sources),
# leaving out the security archive and other vendors' repositories.
mirror() {
    local files=() f
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
        [[ -f $f ]] && files+=("$f")
    done
    [[ ${#files[@]} -gt 0 ]] || return 1
    awk -v debian='^(buster|bullseye|bookworm|trixie|forky|duke|sid|(old)*stable|testing|unstable)(-updates)?$' '
        function take(uris, suites,   u, s, n, m, i, j) {
            n = split(uris, u, " "); m = split(suites, s, " ")
            for (i = 1; i <= n; i++) for (j = 1; j <= m; j++)
                if (s[j] ~ debian && u[i] !~ /security/) { print u[i]; exit }
        }
        FNR == 1 || /^[[:space:]]*$/ { take(uris, suites); uris = suites = "" }
        /^[[:space:]]*#/ { next }
        /^deb[[:space:]]/ {
            sub(/\[[^]]*\][[:space:]]*/, "")
            take($2, $3)
        }
        /^URIs:/ { $1 = ""; uris = $0 }
        /^Suites:/ { $1 = ""; suites = $0 }
        END { take(uris, suites) }
    ' "${files[@]}" | head -n 1
}

# Fetches the release's stock kernel package into the cache, once; prints its directory.
fetch() {
    local rel=$1 dir=$cache/$rel
    # "ready" names what was taken from the package, so that a cache made for less is made again.
    if [[ ! -f $dir/ready.ext4 ]]; then
        rm -rf "$dir"
        mkdir -p "$dir/apt/lists/partial" "$dir/apt/archives/partial" "$dir/root"
        local uri
        uri=$(mirror) && [[ -n $uri ]] ||
            { echo "kernels: no Debian archive in this machine's apt sources" >&2; exit 1; }
        echo "deb $uri $rel main" >"$dir/apt/sources.list"
        local opts=(-o "Dir::Etc::SourceList=$dir/apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
            -o "Dir::State::Lists=$dir/apt/lists" -o "Dir::Cache=$dir/apt"
            -o APT::Architecture=amd64 -o APT::Sandbox::User=root)
        apt-get "${opts[@]}" -qq update >&2
        local pkg
        pkg=$(apt-cache "${opts[@]}" depends linux-image-amd64 |
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
# host's root over 9p and runs this script's guest half there.
make_initramfs() {
    local kroot=$1 out=$2 work
    work=$(mktemp -d)
    mkdir -p "$work/bin" "$work/modules" "$work/proc" "$work/sys" "$work/dev" "$work/newroot"
    cp "$(command -v busybox)" "$work/bin/busybox"
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
mount -t 9p -o trans=virtio,version=9p2000.L,ro,cache=loose,msize=262144 hostroot \$n
mount -t proc proc \$n/proc && mount -t sysfs sys \$n/sys && mount -t devtmpfs dev \$n/dev
# The only places written to: ctest's results, and a temporary directory of root's own, however
# the way to the clone is owned, for the tests that need it reached only through root's.
mount -t tmpfs tmpfs \$n$build/Testing && mount -t tmpfs -o mode=1777 tmpfs \$n$scratch
# As a Debian host has them: systemd's link protections and root's open-file limits.
echo 1 >/proc/sys/fs/protected_hardlinks && echo 1 >/proc/sys/fs/protected_symlinks
ulimit -Hn 524288 && ulimit -Sn 1024
chroot \$n /bin/bash $repo/tests/kernels.sh --guest $build $scratch
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
    make_initramfs "$dir/root" "$initrd"
    echo "kernels: booting $(basename "$kernel") of $rel" >&2
    start=$SECONDS
    timeout 2400 qemu-system-x86_64 -accel tcg -smp 2 -m 2048 -nographic -no-reboot \
        -kernel "$kernel" -initrd "$initrd" -append "console=ttyS0 quiet panic=-1" \
        -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
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
    fi
    summary+=("$line ($((SECONDS - start)) s)")
    rm -f "$log" "$initrd"
done
printf '%s\n' "${summary[@]}"
exit "$failed"
