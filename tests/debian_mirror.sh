# Sourced by the scripts that fetch Debian packages: they take them from the archive this
# machine's own apt configuration names, so that a site's mirror or proxy is used.

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
