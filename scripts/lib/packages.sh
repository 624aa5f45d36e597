# Sourced by scripts/run-tests: the Debian packages. A Release build without tests in
# $build/package builds the three programs and cpack makes the two packages. As root they are
# installed with dpkg, the installed programs and man pages are checked, and the packages are
# removed again on every path; those of ours that were installed before (an operator's machine)
# are then installed again, the same version. Otherwise only the packages are made.
# shellcheck shell=bash disable=SC2154 # $root, $build, $jobs, package_packages: scripts/lib/common.sh

# The packages' Depends, one name a line (the first of alternatives, without versions).
package_depends() {
    dpkg-deb -f "$1" Depends | tr ',' '\n' | sed -e 's/|.*//' -e 's/(.*)//' -e 's/[[:space:]]//g'
}

# What the packages hold: the service team's notes with the internal mode's access code in none;
# a changelog whose newest entry is the packages' version.
package_contents_test() {
    local deb version top
    for deb in "$@"; do
        if dpkg-deb -c "$deb" | grep -F 'internal-mode.md' >&2; then
            echo "packages: $deb holds the internal mode's notes (docs/internal-mode.md)" >&2
            return 1
        fi
        version=$(dpkg-deb -f "$deb" Version)
        top=$(dpkg-deb --fsys-tarfile "$deb" |
            tar -xOf - "./usr/share/doc/$(dpkg-deb -f "$deb" Package)/changelog.gz" | gzip -dc |
            sed -n 1p)
        [[ $top == *" ($version) "* ]] || {
            echo "packages: the changelog of $deb starts with '$top', not version $version" >&2
            return 1
        }
    done
}

# Debian's checks: an error fails, warnings are shown and pass.
package_lintian_test() {
    local status=0
    lintian --fail-on error --display-info "$@" || status=$?
    [ "$status" -eq 0 ] || { echo "packages: lintian found errors (above)" >&2; return 1; }
    echo "lintian: no errors in $*"
}

# Minimal images may exclude man pages and documentation from dpkg: take ours in anyway.
package_dpkg_install() {
    dpkg --path-include='/usr/share/man/man1/kelvo-*' --path-include='/usr/share/doc/kelvo-*' \
        -i "$@"
}

# package_save SAVED PACKAGE...: for each PACKAGE installed on this machine (an operator's), a
# .deb of the installed version made from its installed files (dpkg-repack) into SAVED, and its
# selection (install, hold) in SAVED/selections. Fails for a package of ours that is neither
# installed nor absent (half-installed, only its configuration files left): nothing is touched
# then, as the test could not leave the machine as it found it.
package_save() {
    local saved=$1 pkg status version deb
    shift
    mkdir -p "$saved"
    for pkg in "$@"; do
        status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
        case $status in
        "" | *" not-installed") continue ;;
        *" ok installed") ;;
        *)
            echo "packages: $pkg is '$status' on this machine: install or purge it first" >&2
            return 1
            ;;
        esac
        version=$(dpkg-query -W -f='${Version}' "$pkg")
        install_missing dpkg-repack || return 1
        deb=
        (cd "$saved" && dpkg-repack "$pkg") && deb=$(find "$saved" -name "${pkg}_*.deb")
        if [ ! -f "$deb" ] || [ "$(dpkg-deb -f "$deb" Version)" != "$version" ]; then
            echo "packages: $pkg $version is installed here and dpkg-repack made no .deb of it" \
                "to install it again afterwards: the test stops before touching it" >&2
            return 1
        fi
        dpkg --get-selections "$pkg" >>"$saved/selections"
        echo "installed before the test, saved to be installed again: $deb"
    done
}

# package_restore SAVED PACKAGE...: the PACKAGEs purged, those saved in SAVED installed again,
# their versions and selections as before; SAVED is removed once they are back, and kept (with a
# message) when they are not.
package_restore() {
    local saved=$1 debs=() deb ok=1
    shift
    dpkg --purge "$@" >/dev/null || true
    for deb in "$saved"/*.deb; do [ -f "$deb" ] && debs+=("$deb"); done
    if [ ${#debs[@]} -gt 0 ]; then
        package_dpkg_install "${debs[@]}" >/dev/null || ok=
        for deb in "${debs[@]}"; do
            [ "$(dpkg-query -W -f='${Version}' "$(dpkg-deb -f "$deb" Package)" 2>/dev/null)" = \
                "$(dpkg-deb -f "$deb" Version)" ] || ok=
        done
        [ -z "$ok" ] || dpkg --set-selections <"$saved/selections" || ok=
    fi
    if [ -z "$ok" ]; then
        echo "packages: the packages installed before the test are NOT back: their .deb files" \
            "are in $saved (dpkg -i them, dpkg --set-selections <$saved/selections," \
            "then remove the folder)" >&2
        return 1
    fi
    [ ${#debs[@]} -eq 0 ] || echo "installed again as before the test: ${debs[*]##*/}"
    rm -rf "$saved"
}

# package_install_test VERSION SAVED DEB...: runs in a subshell, whose EXIT trap removes the
# packages however the checks end and installs again those of ours that were there before (kept
# in the folder SAVED meanwhile).
package_install_test() (
    local version=$1 saved=$2 deb program out packages=()
    shift 2
    for deb in "$@"; do packages+=("$(dpkg-deb -f "$deb" Package)"); done
    if [ -e "$saved" ]; then
        echo "packages: $saved is left from an earlier run, which could not install its" \
            "packages again: dpkg -i them, dpkg --set-selections <$saved/selections, then" \
            "remove the folder" >&2
        return 1
    fi
    if ! package_save "$saved" "${packages[@]}"; then
        rm -rf "$saved"
        return 1
    fi
    # shellcheck disable=SC2064 # the names now, not when the trap runs
    trap "package_restore $(printf '%q ' "$saved" "${packages[@]}") || exit 1" EXIT
    # shellcheck disable=SC2046 # one package name a word
    install_missing $(for deb in "$@"; do package_depends "$deb"; done | sort -u)
    package_dpkg_install "$@"
    for program in kelvo-update kelvo-firmware-update kelvo-logger-sim; do
        [ "$(command -v "$program")" = "/usr/bin/$program" ] || {
            echo "packages: $program is not installed in /usr/bin" >&2; return 1; }
        # Bounded: a program that does not know the option might start its work instead.
        out=$(timeout 10 "$program" --version) || true
        [ "$out" = "$program $version" ] || {
            echo "packages: '$program --version' says '$out', not '$program $version'" >&2
            return 1
        }
        man -w "$program"
        if [[ $(readelf -S "/usr/bin/$program") == *.symtab* ]]; then
            echo "packages: /usr/bin/$program is not stripped" >&2
            return 1
        fi
    done
    echo "installed and checked (removed again on exit): $*"
)

package_test() {
    local dir=$build/package debs version
    say "Debian packages"
    install_missing "${package_packages[@]}"
    cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
    cmake --build "$dir" -j "$jobs" --target kelvo-firmware-update kelvo-update kelvo-logger-sim
    rm -f "$dir"/*.deb
    (cd "$dir" && cpack -G DEB)
    debs=("$dir"/kelvo-firmware-update_*.deb "$dir"/kelvo-logger-sim_*.deb)
    ls -l "${debs[@]}"
    # dpkg-shlibdeps has named the libraries the programs link.
    package_depends "${debs[0]}" | grep -x libqt6widgets6 >/dev/null || {
        echo "packages: kelvo-firmware-update does not depend on libqt6widgets6" >&2; return 1; }
    package_depends "${debs[1]}" | grep -x libstdc++6 >/dev/null || {
        echo "packages: kelvo-logger-sim does not depend on libstdc++6" >&2; return 1; }
    package_contents_test "${debs[@]}"
    package_lintian_test "${debs[@]}"
    if [ "$(id -u)" -ne 0 ]; then
        stage_unavailable "PACKAGE INSTALL TEST" "installing the packages needs root" \
            "The .deb files were built but NOT installed and checked."
        return 0
    fi
    version=$(dpkg-deb -f "${debs[0]}" Version)
    package_install_test "$version" "$dir/installed-before" "${debs[@]}"
}

package_test
