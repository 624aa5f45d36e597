# Driving the Windows GUI under Wine as an operator would, with xdotool on a virtual X server of
# its own: the program runs in a Wine virtual desktop (which draws the Windows frames and title
# bars; each Windows top-level window is an X window inside the desktop's, titled as on
# Windows) against kelvo-logger-sim behind the path that COM5 of the prefix points at.
# Source it; it defines functions only. The caller exports WINEPREFIX and stops what was started
# here with wg_cleanup on every path.
#
# Used by scripts/lib/screenshots-windows.sh (the pictures) and scripts/lib/wine-install.sh (the
# installed program updating the simulator). Needs Xvfb (xvfb), xdotool and xwininfo (x11-utils).
# shellcheck shell=bash

wg_xvfb_pid='' wg_sim_pid='' wg_gui_pid=''
wg_main=''       # the main window, once wg_start_gui has seen it
wg_screen_dir='' # where the X server keeps its screen as an XWD file

# wg_wait TENTHS COMMAND...: polls COMMAND every 0.1 s until it succeeds; fails after TENTHS.
wg_wait() {
    local n=$1 i
    shift
    for ((i = 0; i < n; i++)); do
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    return 1
}

# wg_start_x DIR: a virtual X server (1024x768) with its logs and screen file in DIR; sets
# DISPLAY (export it, or declare it local -x, in the caller). False when it does not start.
wg_start_x() {
    local dir=$1
    rm -f "$dir/display"
    wg_screen_dir=$dir
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -fbdir "$dir" 3>"$dir/display" \
        >"$dir/xvfb.log" 2>&1 &
    wg_xvfb_pid=$!
    wg_wait 100 test -s "$dir/display" || return 1
    DISPLAY=:$(head -n 1 "$dir/display")
}

# The visible window with exactly this title.
wg_window() { xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n 1; }
wg_has_window() { [ -n "$(wg_window "$1")" ]; }
wg_no_window() { [ -z "$(wg_window "$1")" ]; }

# wg_seen NAME: what the screen shows, for a failure message: the titles of the visible windows
# on standard output, the screen kept as NAME.xwd (and NAME.png when ImageMagick is there) beside
# the X server's logs.
wg_seen() {
    local file=$wg_screen_dir/$1 titles
    titles=$(xdotool search --onlyvisible --name . getwindowname %@ 2>/dev/null |
        sed 's/.*/"&"/' | tr '\n' ' ' || true)
    echo "windows: ${titles:-none}"
    [ -f "$wg_screen_dir/Xvfb_screen0" ] || return 0
    cp "$wg_screen_dir/Xvfb_screen0" "$file.xwd"
    if [ -x /usr/bin/convert ] && /usr/bin/convert "xwd:$file.xwd" "$file.png" 2>/dev/null; then
        rm -f "$file.xwd"
        echo "screen: $file.png"
    else
        echo "screen: $file.xwd"
    fi
}

# wg_geometry WINDOW: sets X Y W H, the window's frame on the screen. xwininfo rather than
# xdotool, which counts the desktop window's offset twice for windows nested in it.
wg_geometry() {
    local info
    info=$(xwininfo -id "$1")
    X=$(sed -n 's/^ *Absolute upper-left X: *//p' <<<"$info")
    Y=$(sed -n 's/^ *Absolute upper-left Y: *//p' <<<"$info")
    W=$(sed -n 's/^ *Width: *//p' <<<"$info")
    H=$(sed -n 's/^ *Height: *//p' <<<"$info")
}

# wg_click WINDOW DX DY: a left click at this offset from the window's top-left corner.
wg_click() {
    # shellcheck disable=SC2034 # wg_geometry sets all four
    local X Y W H
    wg_geometry "$1"
    xdotool mousemove "$((X + $2))" "$((Y + $3))" click 1
}

# wg_start_sim EXE LINK OUT OPTION...: the simulated logger of built-in image 9 on a fresh pty
# behind LINK, its output in OUT; returns once the link points at that pty, false when it does
# not within 5 s.
wg_start_sim() {
    local exe=$1 link=$2 out=$3
    shift 3
    "$exe" --preset entry9 --link "$link" "$@" >"$out" 2>&1 &
    wg_sim_pid=$!
    wg_wait 50 wg_link_ready "$link" "$out"
}

# wg_link_ready LINK OUT: LINK points at the pty the simulator named first in OUT.
wg_link_ready() {
    local pty
    pty=$(head -n 1 "$2")
    [ -n "$pty" ] && [ "$(readlink "$1")" = "$pty" ]
}

wg_stop_sim() {
    stop_pid "$wg_sim_pid"
    wg_sim_pid=
}

# wg_start_gui EXE LOG: the program (a Windows or Unix path) in the virtual desktop, its output in
# LOG; sets $wg_main, false when the main window does not appear within 30 s.
wg_start_gui() {
    wine explorer /desktop=kelvo,1024x768 "$1" >"$2" 2>&1 &
    wg_gui_pid=$!
    wg_wait 300 wg_has_window "Kelvo Firmware Update" || return 1
    wg_main=$(wg_window "Kelvo Firmware Update")
    sleep 1 # first idle and painting
}

# wg_gui_ended: the virtual desktop has ended, which it does once its program has.
wg_gui_ended() { ! kill -0 "$wg_gui_pid" 2>/dev/null; }

# wg_stop_gui: the program ended by force; false when its main window stays.
wg_stop_gui() {
    local rc=0
    wine taskkill /f /im kelvo-firmware-update.exe >/dev/null 2>&1 || true
    wg_wait 50 wg_no_window "Kelvo Firmware Update" || rc=1
    stop_pid "$wg_gui_pid"
    wg_gui_pid=
    return $rc
}

# wg_press_update PORT: the port typed into the port box, then "Update". A click on the title bar
# activates the main window; the port box then has the focus and "Update" follows it in the tab
# order.
wg_press_update() {
    wg_click "$wg_main" 150 10
    sleep 0.3
    xdotool key --clearmodifiers ctrl+a BackSpace
    xdotool type --delay 15 "$1"
    xdotool key Tab space
}

# wg_cleanup: the program, the simulator and the X server stopped (the caller ends the prefix's
# wineserver, which ends every Wine process of the prefix).
wg_cleanup() {
    stop_pid "$wg_gui_pid"
    wg_gui_pid=
    wg_stop_sim
    stop_pid "$wg_xvfb_pid"
    wg_xvfb_pid=
}
