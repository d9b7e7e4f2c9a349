#!/usr/bin/env bash
# Prints the apt source entry (deb822 form) that lets `apt-get source` fetch
# from Debian's main archive, as read from the machine's own apt sources.
#
#   deb-src-entry.sh [APT_ROOT]      (default: $APT_ROOT, else /)
#
# The entry copies the address, the suite and the Signed-By of the first
# enabled `deb` source that serves the machine's release (VERSION_CODENAME of
# os-release) with the main component, in the order apt reads them:
# etc/apt/sources.list, then etc/apt/sources.list.d/*.list and *.sources by
# name. Both forms are read: one-line (`deb [opts] URI SUITE COMPONENTS...`)
# and deb822 stanzas. The security and updates archives have suites of their
# own (bookworm-security, bookworm-updates) and so never match; the security
# archive carries no source of zstd anyway. A source signed by a key other
# than Debian's archive keys belongs to someone else and is passed over.
#
# Prints nothing when a deb-src source for that address and suite is there
# already. Exits 1 with a message on stderr when no source qualifies or the
# release is unknown.
set -euo pipefail

root=${1:-${APT_ROOT:-/}}
root=${root%/}
me=$(basename "$0")

codename=
for release in "$root/etc/os-release" "$root/usr/lib/os-release"; do
    if [ -f "$release" ]; then
        codename=$(sed -n 's/^VERSION_CODENAME=["'\'']\{0,1\}\([^"'\'']*\).*/\1/p' "$release" | head -n 1)
        break
    fi
done
if [ -z "$codename" ]; then
    echo "$me: no VERSION_CODENAME in $root/etc/os-release or $root/usr/lib/os-release: cannot tell the Debian release" >&2
    exit 1
fi

# apt reads sources.list first, then the parts directory in name order; it
# ignores files with other extensions there.
files=()
[ -f "$root/etc/apt/sources.list" ] && files+=("$root/etc/apt/sources.list")
if [ -d "$root/etc/apt/sources.list.d" ]; then
    while IFS= read -r part; do
        files+=("$part")
    done < <(find "$root/etc/apt/sources.list.d" -maxdepth 1 \( -type f -o -type l \) \( -name '*.list' -o -name '*.sources' \) | LC_ALL=C sort)
fi

status=0
if [ ${#files[@]} -gt 0 ]; then
    awk -v codename="$codename" '
    # One source: a type, an address and a suite, with its components and
    # signing key. Addresses compare without a trailing slash.
    function add(type, uri, suite, components, signed_by) {
        sub(/\/+$/, "", uri)
        n++
        s_type[n] = type; s_uri[n] = uri; s_suite[n] = suite
        s_components[n] = " " components " "; s_signed_by[n] = signed_by
    }
    function trim(text) { gsub(/^[ \t]+|[ \t]+$/, "", text); return text }

    # deb822: a stanza ends at a blank line or at the end of its file.
    function end_stanza(    t, u, s, types, uris, suites, nt, nu, ns) {
        if (in_stanza && tolower(field["enabled"]) != "no") {
            nt = split(field["types"], types, /[ \t]+/)
            nu = split(field["uris"], uris, /[ \t]+/)
            ns = split(field["suites"], suites, /[ \t]+/)
            for (t = 1; t <= nt; t++)
                for (u = 1; u <= nu; u++)
                    for (s = 1; s <= ns; s++)
                        add(types[t], uris[u], suites[s], field["components"], trim(field["signed-by"]))
        }
        delete field
        in_stanza = 0
        key = ""
    }

    FNR == 1 {
        if (NR > 1) end_stanza()
        deb822 = (FILENAME ~ /\.sources$/)
    }

    deb822 {
        if ($0 ~ /^#/) next
        if ($0 ~ /^[ \t]*$/) { end_stanza(); next }
        if ($0 ~ /^[ \t]/) {
            # A continuation line of the last field.
            if (key != "") field[key] = field[key] " " trim($0)
            next
        }
        colon = index($0, ":")
        if (colon == 0) next
        key = tolower(trim(substr($0, 1, colon - 1)))
        field[key] = trim(substr($0, colon + 1))
        in_stanza = 1
        next
    }

    # One-line form: deb [key=value ...] URI SUITE COMPONENT...
    {
        line = $0
        sub(/#.*/, "", line)
        line = trim(line)
        if (line !~ /^deb(-src)?[ \t]/) next
        type = line
        sub(/[ \t].*/, "", type)
        rest = trim(substr(line, length(type) + 1))
        signed_by = ""
        if (substr(rest, 1, 1) == "[") {
            close_at = index(rest, "]")
            if (close_at == 0) next
            count = split(substr(rest, 2, close_at - 2), options, /[ \t]+/)
            for (i = 1; i <= count; i++)
                if (tolower(options[i]) ~ /^signed-by=/)
                    signed_by = substr(options[i], 11)
            rest = trim(substr(rest, close_at + 1))
        }
        # A CD-ROM address holds blanks inside its brackets, and serves no
        # source packages.
        if (rest ~ /^cdrom:/) next
        count = split(rest, words, /[ \t]+/)
        if (count < 3) next
        components = words[3]
        for (i = 4; i <= count; i++) components = components " " words[i]
        add(type, words[1], words[2], components, signed_by)
    }

    END {
        end_stanza()
        for (i = 1; i <= n; i++) {
            if (s_type[i] != "deb" || s_suite[i] != codename) continue
            if (index(s_components[i], " main ") == 0) continue
            if (s_signed_by[i] != "" && s_signed_by[i] !~ /debian-archive/) continue
            for (j = 1; j <= n; j++)
                if (s_type[j] == "deb-src" && s_uri[j] == s_uri[i] && s_suite[j] == codename)
                    exit 0
            printf "Types: deb-src\nURIs: %s\nSuites: %s\nComponents: main\n", s_uri[i], codename
            if (s_signed_by[i] != "") printf "Signed-By: %s\n", s_signed_by[i]
            exit 0
        }
        exit 3
    }' "${files[@]}" || status=$?
else
    status=3
fi

if [ "$status" -eq 3 ]; then
    echo "$me: no apt source under $root/etc/apt serves Debian's main archive for $codename" \
         "(a 'deb URI $codename main' line or a deb822 stanza with Suites: $codename): add one for a Debian mirror" >&2
    exit 1
fi
exit "$status"
