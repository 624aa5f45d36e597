# Sourced by scripts/run-tests: the Debian packages. A Release build without tests in
# $build/package builds the three programs and cpack makes the two packages. As root they are
# installed with dpkg, the installed programs and man pages are checked, and the packages are
# removed again on every path; otherwise only the packages are made.
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

# Runs in a subshell: its EXIT trap removes the packages however the checks end.
package_install_test() (
    local version=$1 deb program out
    shift
    trap 'dpkg --purge kelvo-firmware-update kelvo-logger-sim >/dev/null || true' EXIT
    # shellcheck disable=SC2046 # one package name a word
    install_missing $(for deb in "$@"; do package_depends "$deb"; done | sort -u)
    # Minimal images may exclude man pages and documentation from dpkg: take ours in anyway.
    dpkg --path-include='/usr/share/man/man1/kelvo-*' --path-include='/usr/share/doc/kelvo-*' \
        -i "$@"
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
    package_install_test "$version" "${debs[@]}"
}

package_test
