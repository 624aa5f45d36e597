#!/bin/sh
# run-under-wm.sh PROGRAM [ARG...]: runs a GUI test program on a virtual X server of its own
# (Xvfb, on the first free display) with a small window manager (openbox), as the program's
# windows appear on a desktop: with frames, placed and focused by the window manager. Stops both
# afterwards. Exit status: the program's; 77 (skipped) when Xvfb or openbox is not installed.
set -u

for tool in Xvfb openbox; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "run-under-wm: $tool is not installed: skipped"
        exit 77
    fi
done

tmp=$(mktemp -d)
xvfb_pid='' wm_pid=''
stop() {
    [ -n "$1" ] || return 0
    kill "$1" 2>/dev/null
    wait "$1" 2>/dev/null
}
cleanup() {
    stop "$wm_pid"
    stop "$xvfb_pid"
    rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# wait_for TENTHS TEST-ARGS...: polls `test TEST-ARGS` every 0.1 s; fails after TENTHS.
wait_for() {
    n=$1
    shift
    while [ "$n" -gt 0 ]; do
        test "$@" && return 0
        sleep 0.1
        n=$((n - 1))
    done
    return 1
}

# Xvfb picks a free display and writes its number to the descriptor given.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$tmp/display" >"$tmp/xvfb.log" 2>&1 &
xvfb_pid=$!
if ! wait_for 100 -s "$tmp/display"; then
    echo "run-under-wm: Xvfb did not start:" >&2
    cat "$tmp/xvfb.log" >&2
    exit 1
fi
DISPLAY=:$(head -n 1 "$tmp/display")
export DISPLAY

# openbox with its system-wide defaults (no user configuration); it runs the start-up command
# once it manages the screen.
XDG_CONFIG_HOME=$tmp/config XDG_CACHE_HOME=$tmp/cache \
    openbox --startup "touch $tmp/wm-ready" >"$tmp/wm.log" 2>&1 &
wm_pid=$!
if ! wait_for 100 -e "$tmp/wm-ready"; then
    echo "run-under-wm: openbox did not start:" >&2
    cat "$tmp/wm.log" >&2
    exit 1
fi

unset WAYLAND_DISPLAY
QT_QPA_PLATFORM=xcb "$@"
status=$?
exit "$status"
