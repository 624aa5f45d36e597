# Shared by the scripts: installing what a fresh Debian 12 machine lacks, and the native build.
# Source it; it expects $root (the repository) to be set.

build=${KELVO_BUILD_DIR:-$root/build}
jobs=$(nproc 2>/dev/null || echo 2)

say() { printf '\n=== %s\n' "$*"; }

# stage_unavailable WHAT WHY NOTE: a stage whose tools cannot be installed or found on this
# machine. Under CI=true it fails the run: a run that passes there means every stage ran.
# Elsewhere the stage is skipped and says so loudly ("WHAT SKIPPED: WHY", then NOTE).
stage_unavailable() {
    if [ "${CI:-}" = true ]; then
        say "$1 CANNOT RUN: $2"
        echo "!!! CI=true: a stage that cannot run fails the run. !!!" >&2
        exit 1
    fi
    say "$1 SKIPPED: $2"
    echo "!!! $3 !!!"
}

# stop_pid PID: ends a background process of this shell (SIGTERM) and waits for it; nothing for
# an empty PID.
stop_pid() {
    [ -n "$1" ] || return 0
    kill -TERM "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

# install_missing [--no-recommends] PACKAGE...: installs those not installed yet (apt-get update
# once first); --no-recommends leaves out what they only recommend.
apt_updated=
install_missing() {
    local missing=() opts=() p
    if [ "${1:-}" = --no-recommends ]; then
        opts+=(--no-install-recommends)
        shift
    fi
    for p in "$@"; do installed "$p" || missing+=("$p"); done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing packages: ${missing[*]} (run as root to install them)" >&2
        return 1
    fi
    if [ -z "$apt_updated" ]; then
        apt-get update -q
        apt_updated=1
    fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${opts[@]}" "${missing[@]}"
}

# What the native build and its tests need (Xvfb and openbox: the GUI test under a window manager;
# Python: the CSV of --history read back by its csv module; python3-markdown: the HTML pages of the
# Windows release, also made by the native build's document check; libudev-dev: port arrival and
# details on Linux).
native_packages=(cmake ninja-build g++ make googletest libgtest-dev libgmock-dev srecord
    qt6-base-dev groff-base nlohmann-json3-dev xvfb openbox libsqlite3-dev python3
    python3-markdown libudev-dev)

# What the Debian packages need: dpkg-shlibdeps for their dependencies, man for the installed pages,
# lintian for Debian's checks of the packages.
package_packages=(dpkg-dev man-db lintian)

# configure_native: the native build folder, configured.
configure_native() {
    cmake -S "$root" -B "$build/native" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
}
