# Pictures of the Windows GUI under Wine, beside the Linux ones: release/kelvo-firmware-update.exe
# of the Windows build runs in a Wine virtual desktop (which draws the Windows frames and title
# bars) on a virtual X server of its own, against kelvo-logger-sim on COM5 of a private prefix,
# driven with xdotool as an operator would:
#   windows-main-idle.png       the main window after start, idle
#   windows-overview.png        "Info v2021-02-22" -> "Firmware"
#   windows-confirm.png         the question after "Update"
#   windows-success.png         the outcome of a complete update in the message window
#   windows-update-running.png  main window and report window during an update (internal mode,
#                               paced line)
#
# Sourced at the end of scripts/screenshots. Expects $root, $build, $out and say()/install_missing()
# of scripts/lib/common.sh, the Windows build in $build/mingw and the native one (the simulator) in
# $build/native. Skipped with a message when the Windows build or Wine is missing. Stops its
# wineserver, simulator and X server on every path and leaves the sourcing shell's traps and
# exported variables as it found them.
#
# The prefix ($build/mingw/screenshots/wineprefix) is made fresh each time, so the pictures do
# not depend on an earlier run. COM5 is set up as in scripts/lib/wine-e2e.sh: the port key is
# written before the server starts for good, COM1-COM4 are disabled and any other port Wine adds
# is unlinked, so nothing here can reach a real UART. The server is started persistent (-p): a
# server that quit between two programs would create the ports again at its next start.
# shellcheck shell=bash disable=SC2154 # $build, $out: scripts/lib/common.sh, scripts/screenshots

. "$root/scripts/lib/wine-ports.sh"
. "$root/scripts/lib/wine-gui-drive.sh"

sw_gui_exe=$build/mingw/release/kelvo-firmware-update.exe
sw_sim_exe=$build/native/sim/kelvo-logger-sim
sw_dir=$build/mingw/screenshots
sw_prefix=$sw_dir/wineprefix
sw_link=$sw_dir/com5 # the stable path of the simulator's pty: COM5 points here

sw_fail() {
    echo "screenshots (Windows): $*" >&2
    exit 1
}

sw_cleanup() {
    # Every Wine process of the prefix (program, desktop, services) ends with its server.
    if [ -d "$sw_prefix" ]; then
        WINEPREFIX=$sw_prefix wineserver -k 2>/dev/null || true
        WINEPREFIX=$sw_prefix wineserver -w 2>/dev/null || true
    fi
    wg_cleanup
}

# sw_shot FILE WINDOW...: the screen area covering the given windows, as a PNG without metadata.
sw_shot() {
    local file=$1 x0=100000 y0=100000 x1=0 y1=0 w X Y W H
    shift
    for w in "$@"; do
        [ -n "$w" ] || sw_fail "no window for $file"
        wg_geometry "$w"
        ((X < x0)) && x0=$X
        ((Y < y0)) && y0=$Y
        ((X + W > x1)) && x1=$((X + W))
        ((Y + H > y1)) && y1=$((Y + H))
    done
    /usr/bin/import -window root -crop "$((x1 - x0))x$((y1 - y0))+$x0+$y0" +repage \
        "$sw_dir/shot.png"
    /usr/bin/convert "$sw_dir/shot.png" -strip -define png:compression-level=9 "$out/$file"
    echo "saved $out/$file ($(stat -c %s "$out/$file") bytes)"
}

sw_start_sim() {
    wg_start_sim "$sw_sim_exe" "$sw_link" "$sw_dir/sim.out" "$@" ||
        sw_fail "the simulated logger did not start ($(cat "$sw_dir/sim.out"))"
}

sw_start_gui() {
    wg_start_gui "$sw_gui_exe" "$sw_dir/gui.log" ||
        sw_fail "the main window did not appear ($(wg_seen failure))"
}

sw_stop_gui() {
    wg_stop_gui || sw_fail "the program did not end"
    wg_stop_sim
}

# The percentage stands in the main window's title while the update runs. Without a visual
# theme (as under Wine) the bar draws its first block only at about 12 %.
sw_progress() {
    [[ $(xdotool getwindowname "$wg_main") =~ ^([0-9]+)%$ ]] && ((BASH_REMATCH[1] >= 15))
}

# sw_prefix_setup: a fresh prefix with Wine's own fonts and COM5 on $sw_link; leaves its server
# running (persistent).
sw_prefix_setup() {
    local ports='HKLM\Software\Wine\Ports' n
    wineserver -k 2>/dev/null || true # a server left over in the old prefix
    rm -rf "$sw_prefix"
    wineboot -i >/dev/null 2>&1 || true
    [ -d "$sw_prefix/drive_c/windows" ] || sw_fail "Wine cannot start a prefix in $sw_prefix"
    # Without them "MS Shell Dlg" falls back to a serif face; with them the dialogs use Tahoma
    # and the caption buttons their Marlett glyphs, as on Windows.
    mkdir -p "$sw_prefix/drive_c/windows/Fonts"
    cp /usr/share/wine/fonts/*.ttf "$sw_prefix/drive_c/windows/Fonts/" ||
        echo "screenshots (Windows): no fonts in /usr/share/wine/fonts; the font may differ" >&2
    ln -sfn /dev/null "$sw_link" # a harmless target until the simulator takes the link over
    wine reg add "$ports" /v COM5 /t REG_SZ /d "$sw_link" /f >/dev/null
    for n in 1 2 3 4; do
        wine reg add "$ports" /v "COM$n" /t REG_SZ /d "" /f >/dev/null
    done
    wineserver -k
    wineserver -w
    wineserver -p >"$sw_dir/wineserver.log" 2>&1 # the server keeps these descriptors
    wine reg delete 'HKCU\Software\Orlenta' /f >/dev/null 2>&1 || true # starts the services
    wine_only_com5 "$sw_prefix" "$sw_link" || sw_fail "COM5 is not mapped to $sw_link"
}

sw_run() {
    if [ ! -f "$sw_gui_exe" ]; then
        say "WINDOWS PICTURES SKIPPED: no Windows build ($sw_gui_exe; scripts/run-tests makes it)"
        return 0
    fi
    if ! command -v wine >/dev/null || ! command -v wineserver >/dev/null; then
        say "WINDOWS PICTURES SKIPPED: Wine is not installed (packages wine wine64)"
        return 0
    fi
    [ -x "$sw_sim_exe" ] || sw_fail "missing $sw_sim_exe"
    install_missing x11-utils # xwininfo

    local -x WINEPREFIX=$sw_prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY
    mkdir -p "$sw_dir" "$out"

    say "Windows: X server and Wine prefix"
    wg_start_x "$sw_dir" || sw_fail "Xvfb did not start ($(cat "$sw_dir/xvfb.log"))"
    echo "display $DISPLAY, prefix $WINEPREFIX"
    sw_prefix_setup

    say "Windows, normal mode: idle, overview, question, success"
    sw_start_sim
    sw_start_gui
    sw_shot windows-main-idle.png "$wg_main"

    # The menu is the only one in the bar, at its left end, below the title bar.
    wg_click "$wg_main" 40 33
    sleep 0.3
    xdotool key Down Return
    wg_wait 50 wg_has_window Overview || sw_fail "the overview did not open"
    sleep 0.5
    sw_shot windows-overview.png "$(wg_window Overview)"
    xdotool key Return
    wg_wait 50 wg_no_window Overview || sw_fail "the overview did not close"

    wg_press_update COM5
    wg_wait 50 wg_has_window Confirm || sw_fail "no question after \"Update\""
    sleep 0.5
    sw_shot windows-confirm.png "$wg_main" "$(wg_window Confirm)"
    xdotool key Return # "Yes" is the default
    wg_wait 600 wg_has_window Information || sw_fail "no outcome after the update"
    sleep 0.5
    sw_shot windows-success.png "$wg_main" "$(wg_window Information)"
    sw_stop_gui

    say "Windows, internal mode: an update in progress at the real line speed"
    wine reg add 'HKCU\Software\Orlenta\Quarn' /v intern /t REG_DWORD /d 7315 /f >/dev/null
    sw_start_sim --baud 9600
    sw_start_gui
    wg_wait 50 wg_has_window Report ||
        sw_fail "the report window did not appear in the internal mode"
    wg_press_update COM5
    wg_wait 900 sw_progress || sw_fail "the update did not progress"
    sleep 0.5
    sw_shot windows-update-running.png "$wg_main" "$(wg_window Report)"
    sw_cleanup
    # Made fresh each run, about 700 MB: kept only after a failure, for a look inside.
    rm -rf "$sw_prefix" "$sw_dir/shot.png"
    say "Windows pictures done: $out"
}

sw_saved_traps=$(trap -p EXIT INT TERM)
# The sourcing script's EXIT action runs after this file's cleanup, on every path.
sw_prev_exit=$(trap -p EXIT)
if [ -n "$sw_prev_exit" ]; then
    sw_words=()
    eval "sw_words=($sw_prev_exit)" # trap -- 'COMMAND' EXIT
    sw_prev_exit=${sw_words[2]}
fi
trap 'sw_cleanup; eval "$sw_prev_exit"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
sw_run
sw_cleanup
trap - EXIT INT TERM
eval "$sw_saved_traps"
