#!/usr/bin/env bash
# As root in a plain chroot, whose / is no mount point, the end-to-end tests cannot make their
# private namespace: they must fail and say how to mend it, never skip.
# Usage (as root): chroot_test.sh E2E_TESTS_BINARY
set -euo pipefail
e2e=$(realpath "$1")
[[ $(id -u) -eq 0 ]] || { echo "chroot: needs root, skipped"; exit 77; }
out=$(unshare --mount --propagation private bash -s "$e2e" <<'INNER'
set -euo pipefail
e2e=$1
mount -t tmpfs tmpfs /mnt
root=/mnt/plain  # a directory, not a mount point
mkdir -p "$root/proc" "$root/dev" "$root/tmp" "$root$(dirname "$e2e")"
for d in usr etc bin sbin lib lib64; do
    if [[ -L /$d ]]; then ln -s "$(readlink "/$d")" "$root/$d"
    elif [[ -d /$d ]]; then mkdir "$root/$d" && mount --rbind "/$d" "$root/$d"; fi
done
mount -t proc proc "$root/proc"
mount --rbind /dev "$root/dev"
mount --bind "$(dirname "$e2e")" "$root$(dirname "$e2e")"
status=0
chroot "$root" "$e2e" --gtest_filter=Cli.NoArgumentsDoNothing 2>&1 || status=$?
echo "status $status"
INNER
)
grep -q "mount --bind DIR DIR" <<<"$out" && grep -q "FAILED TEST" <<<"$out" &&
    ! grep -q "status 0" <<<"$out" || { echo "$out"; exit 1; }
echo "chroot: fails with the advice"
