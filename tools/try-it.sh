#!/usr/bin/env bash
# Shows quorvane at work on a small sample tree, inside a private mount namespace: a tmpfs over
# /mnt holds the tree and a set-user-ID copy of the binary, and vanishes with the namespace.
# Nothing on the host is changed. Usage (as root): tools/try-it.sh [path/to/quorvane]
set -euo pipefail

binary=$(realpath "${1:-build-release/quorvane}")
if [[ $(id -u) -ne 0 ]]; then
    echo "try-it: run as root: it mounts a private namespace" >&2
    exit 1
fi
if ! mountpoint -q /; then
    echo "try-it: / is not a mount point, as in a plain chroot, so no private namespace can be" \
        "made: run 'mount --bind DIR DIR' before 'chroot DIR'" >&2
    exit 1
fi
# Always through a namespace of its own: nothing the caller sets up beforehand can make it skip
# one. Inside, the mount namespace must differ from the parent's, which the caller cannot preset.
if [[ ${2:-} != --in-private-namespace ]]; then
    exec unshare --mount --propagation private "$0" "$binary" --in-private-namespace
fi
if [[ $(readlink /proc/self/ns/mnt) == "$(readlink "/proc/$PPID/ns/mnt")" ]]; then
    echo "try-it: not in a mount namespace of its own; run it as tools/try-it.sh [BINARY]" >&2
    exit 1
fi

mount -t tmpfs -o mode=0755 tmpfs /mnt
mkdir /mnt/bin /mnt/data
install -o root -g root -m 4755 "$binary" /mnt/bin/quorvane

tree=/mnt/data/demo
mkdir -m 0700 "$tree" "$tree/notes"
echo "quarterly figures" > "$tree/report.txt" && chmod 0600 "$tree/report.txt"
echo "draft" > "$tree/notes/draft.txt" && chmod 0600 "$tree/notes/draft.txt"
ln -s report.txt "$tree/latest"
mkfifo -m 0600 "$tree/pipe"

show() {
    echo "== $1"
    find "$tree" | sort | while read -r path; do stat -c '%A %u:%g %n' "$path"; done
}

show "before: all root's, nothing group-readable"
echo "== run: quorvane --setgid $tree, as user 1000 (group 1000), set-user-ID root"
set +e
setpriv --reuid=1000 --regid=1000 --clear-groups /mnt/bin/quorvane --setgid "$tree" 2>&1
echo "(exit status $?)"
show "after: user 1000's, directories group-writable and set-group-ID, files group-readable"
echo "== a path outside the roots is refused, and nothing is changed:"
setpriv --reuid=1000 --regid=1000 --clear-groups /mnt/bin/quorvane /etc 2>&1 | head -n 1
echo "(the host's /mnt was never touched: the tree lived on a private tmpfs)"
