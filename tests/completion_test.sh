#!/usr/bin/env bash
# The bash completion offers the options, numeric ids with the caller's own first, and paths.
set -euo pipefail
# shellcheck source=/dev/null
source "$1"
fail=0

complete_words() {
    COMP_WORDS=("$@")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    _quorvane
    echo "${COMPREPLY[*]}"
}

expect() {
    local what=$1 want=$2 got=$3
    if [[ $got != "$want" ]]; then
        echo "$what: want '$want', got '$got'"
        fail=1
    fi
}

expect "options" "--uid --gid --setgid --help --version -u -g -s -h --" "$(complete_words quorvane -)"
expect "long options" "--uid --gid --setgid --help --version --" "$(complete_words quorvane --)"
expect "prefix" "--setgid" "$(complete_words quorvane --se)"
read -r first _ <<<"$(complete_words quorvane --uid '')"
expect "--uid first" "$(id -u)" "$first"
read -r first _ <<<"$(complete_words quorvane -g '')"
expect "-g first" "$(id -g)" "$first"
expect "ids are numbers" "" "$(complete_words quorvane --uid '' | tr ' ' '\n' | grep -v '^[0-9]*$' || true)"
# Someone who is not root is offered only his own ids, the only ones he may give.
if [[ $(id -u) -eq 0 ]]; then
    # The script comes as text: nobody may not be able to read the clone.
    as_nobody() { setpriv --reuid=65534 --regid=65534 --clear-groups bash -c "$(<"$1")"$'\n'"$2"; }
    words='COMP_WORDS=(quorvane "$0" ""); COMP_CWORD=2; _quorvane; echo "${COMPREPLY[*]}"'
    expect "--uid, not root" "65534" "$(as_nobody "$1" "${words/\$0/--uid}")"
    expect "--gid, not root" "65534" "$(as_nobody "$1" "${words/\$0/-g}")"
fi

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
mkdir "$dir/sub" && touch "$dir/file"
expect "paths" "$dir/file $dir/sub" "$(complete_words quorvane --setgid "$dir/" | tr ' ' '\n' | sort | xargs)"
expect "after --" "" "$(cd "$dir" && complete_words quorvane -- -)"

complete -p quorvane >/dev/null || { echo "not registered"; fail=1; }
[[ $fail -eq 0 ]] && echo "completion: as expected"
exit $fail
