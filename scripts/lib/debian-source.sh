# Sourced by the scripts that build from Debian's source packages: apt-get source through a
# source list of our own. The machine's sources, lists and caches stay as they are; the entries
# take the URI and keyring of the machine's own Debian entries.
# shellcheck shell=bash

# debian_entry SUITE: the machine's Debian entry for SUITE with component main (deb822 files
# first, then one-line ones), as "URI keyring"; status 1 if there is none.
debian_entry() {
    local suite=$1 f
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        awk -v suite="$suite" '
            function flush() {
                if (types ~ /(^| )deb( |$)/ && (" " suites " ") ~ (" " suite " ") &&
                    (" " comps " ") ~ / main / && enabled != "no" && uri != "") {
                    print uri, signed; found = 1; exit
                }
                types = suites = comps = uri = signed = enabled = ""
            }
            /^#/ { next }
            /^[ \t]*$/ { flush(); next }
            tolower($1) == "types:"      { $1 = ""; types = $0 }
            tolower($1) == "suites:"     { $1 = ""; suites = $0 }
            tolower($1) == "components:" { $1 = ""; comps = $0 }
            tolower($1) == "uris:"       { uri = $2 }
            tolower($1) == "signed-by:"  { signed = ($2 ~ /^\//) ? $2 : "" }
            tolower($1) == "enabled:"    { enabled = tolower($2) }
            END { if (!found) flush() }' "$f" | grep . && return 0
    done
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$f" ] || continue
        awk -v suite="$suite" '
            $1 != "deb" { next }
            {
                signed = ""; i = 2
                if ($2 ~ /^\[/) {
                    for (; i <= NF; i++) {
                        if ($i ~ /^\[?signed-by=/) { signed = $i; sub(/^\[?signed-by=/, "", signed); sub(/\]$/, "", signed) }
                        if ($i ~ /\]$/) { i++; break }
                    }
                }
                if ($(i + 1) != suite) next
                for (j = i + 2; j <= NF; j++) if ($j == "main") { print $i, signed; exit }
            }' "$f" | grep . && return 0
    done
    return 1
}

# debian_source_lists DIR: deb-src entries in DIR/src.sources for the release's main suite and,
# when the machine has an entry for it, its security suite; then apt's lists for them, fetched
# into DIR. Sets apt_src_opts, the apt options that use them. Status 1 (with a message) on failure.
debian_source_lists() {
    local dir=$1 suite s uri keyring n=0
    suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
    mkdir -p "$dir/lists/partial" "$dir/cache/archives/partial"
    : >"$dir/src.sources"
    for s in "$suite" "$suite-security"; do
        read -r uri keyring < <(debian_entry "$s") || continue
        {
            [ $n -eq 0 ] || echo
            echo "Types: deb-src"
            echo "URIs: $uri"
            echo "Suites: $s"
            echo "Components: main"
            [ -n "$keyring" ] && echo "Signed-By: $keyring"
        } >>"$dir/src.sources"
        n=$((n + 1))
    done
    if [ $n -eq 0 ]; then
        echo "no Debian '$suite main' entry found in /etc/apt/sources.list(.d)" >&2
        return 1
    fi
    # Downloads run as the current user, who owns DIR.
    apt_src_opts=(-o "Dir::Etc::SourceList=$dir/src.sources" -o Dir::Etc::SourceParts=/dev/null
        -o "Dir::State::Lists=$dir/lists" -o "Dir::Cache=$dir/cache"
        -o "APT::Sandbox::User=$(id -un)")
    apt-get -qq "${apt_src_opts[@]}" update
}

# debian_source_pick PACKAGE [PREFERRED]: the source version to fetch: PREFERRED when the lists
# offer it, else the newest they offer; status 1 if they offer none.
debian_source_pick() {
    local v pick=
    while read -r v; do
        if [ -n "${2:-}" ] && [ "$v" = "$2" ]; then pick=$v; break; fi
        if [ -z "$pick" ] || dpkg --compare-versions "$v" gt "$pick"; then pick=$v; fi
    done < <(apt-cache "${apt_src_opts[@]}" showsrc --only-source "$1" | sed -n 's/^Version: //p')
    [ -n "$pick" ] && echo "$pick"
}

# debian_source_get PACKAGE VERSION DIR: downloads the source package into DIR/download and
# unpacks it, Debian's patches applied, into DIR/src; dpkg-source's output goes to DIR/unpack.log.
debian_source_get() {
    mkdir -p "$3/download"
    (cd "$3/download" && apt-get -qq "${apt_src_opts[@]}" source --download-only "$1=$2")
    # apt checked the files against the signed Sources index; without debian-keyring dpkg-source
    # only warns that it cannot check the .dsc's own signature.
    dpkg-source -x "$3/download/${1}_${2#*:}.dsc" "$3/src" >"$3/unpack.log" 2>&1 || {
        cat "$3/unpack.log" >&2
        return 1
    }
}
