#!/usr/bin/env bash
# tools/try-it.sh shows the tool at work and leaves the host as it found it, even with the variable
# that once made it skip its own namespace preset, and refuses its inner step run by hand. The
# "host" here is a private mount namespace of this test's own, so that a failure touches nothing
# real. Usage (as root): try_it_test.sh REPO BINARY
set -euo pipefail
[[ $(id -u) -eq 0 ]] || { echo "try-it: needs root, skipped"; exit 77; }
unshare --mount --propagation private bash -s "$1" "$(realpath "$2")" <<'INNER'
set -euo pipefail
repo=$1 binary=$2
mount -t tmpfs -o mode=0755 tmpfs /mnt
mkdir /mnt/data && touch /mnt/data/host-file
host() { findmnt -rn -o TARGET,FSTYPE | grep '^/mnt' || true; find /mnt | sort; }
before=$(host)
out=$(QUORVANE_TRY_NS=1 "$repo/tools/try-it.sh" "$binary" 2>&1) || { echo "$out"; exit 1; }
grep -q '^(exit status 0)$' <<<"$out" || { echo "$out"; exit 1; }
if out=$("$repo/tools/try-it.sh" "$binary" --in-private-namespace 2>&1); then
    echo "ran its inner step in the caller's namespace: $out"
    exit 1
fi
after=$(host)
[[ $after == "$before" ]] || { echo "the host changed:"$'\n'"$before"$'\n'"--"$'\n'"$after"; exit 1; }
echo "try-it: shown, and the host untouched"
INNER
