#!/bin/sh
# Removes a copy installed from source by `cmake --install BUILD`: every file its manifest lists,
# then the directories that install made (the doc directory and the bash completion's) once they
# are empty, then the manifest, so that it can run again, or before a package install, and leave
# things as they are. Usage (as root): tools/uninstall.sh [BUILD], BUILD being build-release by
# default.
set -eu
manifest=${1:-build-release}/install_manifest.txt
[ -f "$manifest" ] || { echo "uninstall: nothing installed from ${1:-build-release}"; exit 0; }
# The manifest ends without a newline.
while IFS= read -r file || [ -n "$file" ]; do
    rm -fv "$file"
    dir=$(dirname "$file")
    case $dir in
        */share/doc/quorvane) rmdir -v --ignore-fail-on-non-empty "$dir" 2>/dev/null || true ;;
        */bash-completion/completions)
            rmdir -v --ignore-fail-on-non-empty "$dir" "$(dirname "$dir")" 2>/dev/null || true ;;
    esac
done <"$manifest"
rm -f "$manifest"
