# The Windows setup program under Wine, in a fresh prefix of its own: a silent install (files,
# Start menu shortcut, Uninstall entry), both installed programs answering --version, the
# installed kelvo-update.exe updating the simulated logger through COM5 (which also writes the
# user's journal), the installed GUI doing the same as an operator would (in a Wine virtual
# desktop on a virtual X server, driven with xdotool), the refusal while an installed program
# runs, a second install over the first (still one Uninstall entry), and the silent uninstall
# (nothing of ours left; the journal and the internal-mode setting stay).
#
# Sourced by scripts/run-tests after scripts/lib/wine-e2e.sh. Expects $root, $build and say() of
# scripts/lib/common.sh, the Windows build in $build/mingw, the native one in $build/native, and
# WINEDEBUG/WINEDLLOVERRIDES as run-tests sets them, and Xvfb, xdotool and xwininfo. Leaves
# WINEPREFIX, DISPLAY and the EXIT trap as it found them; stops its simulator, the GUI, the X
# server and the prefix's wineserver on every path.

# shellcheck shell=bash disable=SC2154 # $root, $build: scripts/lib/common.sh
. "$root/scripts/lib/wine-ports.sh"
. "$root/scripts/lib/wine-gui-drive.sh"

wi_dir=$build/mingw/install-test
wi_prefix=$wi_dir/wineprefix
wi_link=$wi_dir/com5
wi_sim_exe=$build/native/sim/kelvo-logger-sim
wi_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\KelvoFirmwareUpdate'
wi_win_folder='C:\Program Files\Kelvo Firmware Update'
wi_saved_prefix=${WINEPREFIX-}
wi_saved_traps=$(trap -p EXIT INT TERM)
wi_gui_pid=
wi_failures=()

wi_fail() {
    wi_failures+=("$*")
    echo "FAILED: $*" >&2
}

wi_cleanup() {
    stop_pid "$wi_gui_pid"
    wi_gui_pid=
    # Every Wine process of the prefix (programs, desktop, services) ends with its server.
    WINEPREFIX=$wi_prefix wineserver -k 2>/dev/null || true
    wg_cleanup
}

# wi_cmd LINE: LINE run as a Windows command line, verbatim (Wine would quote an argument that
# holds a space, and the uninstaller's _?= must not be quoted), from a batch file, which waits
# for the program; its exit status in $wi_rc.
wi_cmd() {
    printf '@%s\r\n@exit /b %%ERRORLEVEL%%\r\n' "$1" >"$wi_prefix/drive_c/kelvo-test.bat"
    wi_rc=0
    timeout --foreground -k 5 120 wine cmd /c 'C:\kelvo-test.bat' </dev/null >"$wi_dir/cmd.out" \
        2>&1 || wi_rc=$?
}

# wi_install: the setup, silent, with the default folder; its exit status in $wi_rc.
wi_install() {
    wi_rc=0
    timeout --foreground -k 5 120 wine "$wi_setup" /S </dev/null >/dev/null 2>&1 || wi_rc=$?
}

# The entries of ours in the Uninstall key, as reg.exe lists the subkeys: the count.
wi_entries() {
    wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' 2>/dev/null |
        tr -d '\r' | grep -ci 'KelvoFirmwareUpdate$' || true
}

wi_value() {
    wine reg query "$wi_key" /v "$1" 2>/dev/null | tr -d '\r' |
        sed -n "s/^ *$1 *REG_[A-Z_]* *//p"
}

wi_check_installed() {
    local what=$1 f v
    for f in kelvo-firmware-update.exe kelvo-update.exe README.txt LICENSE.txt uninstall.exe \
        THIRD-PARTY-NOTICES.txt "${wi_release_files[@]}"; do
        [ -f "$wi_folder/$f" ] || wi_fail "$what: $f is not installed"
    done
    # The installed notices are the release folder's, and name NSIS, whose code the setup
    # program and the installed uninstall.exe are.
    cmp -s "$build/mingw/release/THIRD-PARTY-NOTICES.txt" "$wi_folder/THIRD-PARTY-NOTICES.txt" ||
        wi_fail "$what: THIRD-PARTY-NOTICES.txt differs from the release folder's"
    grep -q '^NSIS ' "$wi_folder/THIRD-PARTY-NOTICES.txt" 2>/dev/null ||
        wi_fail "$what: THIRD-PARTY-NOTICES.txt does not name NSIS"
    [ -f "$wi_shortcut" ] || wi_fail "$what: no shortcut $wi_shortcut"
    [ -f "$wi_station_shortcut" ] || wi_fail "$what: no shortcut $wi_station_shortcut"
    [ "$(wi_entries)" = 1 ] || wi_fail "$what: $(wi_entries) Uninstall entries, expected 1"
    for v in "DisplayName=Kelvo Firmware Update" "DisplayVersion=$wi_version" \
        "Publisher=Kelvo firmware tools" "InstallLocation=$wi_win_folder" \
        "DisplayIcon=$wi_win_folder\\kelvo-firmware-update.exe,0" \
        "UninstallString=\"$wi_win_folder\\uninstall.exe\"" \
        "QuietUninstallString=\"$wi_win_folder\\uninstall.exe\" /S" "NoModify=0x1" "NoRepair=0x1"; do
        [ "$(wi_value "${v%%=*}")" = "${v#*=}" ] ||
            wi_fail "$what: ${v%%=*} is [$(wi_value "${v%%=*}")], expected [${v#*=}]"
    done
    # EstimatedSize in KiB: the installed files are several MiB.
    v=$(wi_value EstimatedSize)
    if ! [[ $v =~ ^0x[0-9a-f]+$ ]] || ((v <= 4096)); then
        wi_fail "$what: EstimatedSize is [$v]"
    fi
}

# wi_gui_fail WHAT: a failure of the GUI's update, with what the screen showed; the program and
# the simulator stopped.
wi_gui_fail() {
    wi_fail "installed GUI: $*; $(wg_seen gui-failure | tr '\n' ' ')(log $wi_dir/gui.log)"
    wg_stop_gui || true
    wg_stop_sim
}

# wi_gui_start_again EXE LOG: the GUI stopped and started once more, when its first start showed
# no main window within 30 s. Once in a while Wine's virtual desktop in a fresh prefix shows no
# window at all (its log empty), which a second start does not repeat; what the screen showed is
# said and kept (gui-first.xwd), and a second start without a window fails the step.
wi_gui_start_again() {
    echo "GUI $1: no main window within 30 s; the screen showed: $(wg_seen gui-first |
        tr '\n' ' '); started once more"
    wg_stop_gui || true
    wg_start_gui "$1" "$2"
}

# wi_gui_update: the installed kelvo-firmware-update.exe, started from the install folder in a
# virtual desktop, updates the simulator on COM5 as an operator would: COM5 typed into the port
# box, "Update", "Yes" to the question, the outcome message closed with its "OK", the program
# closed. The simulator must have recorded the same lines as for the installed kelvo-update.exe
# (and as for the Linux build in the end-to-end scenarios, when they ran), and the journal must
# show the run.
wi_gui_update() {
    local -x DISPLAY=
    local n ref out=$wi_dir/gui-history.out
    if ! wg_start_x "$wi_dir"; then
        wi_fail "installed GUI: Xvfb did not start: $(cat "$wi_dir/xvfb.log")"
        wg_cleanup
        return 0
    fi
    if ! wg_start_sim "$wi_sim_exe" "$wi_link" "$wi_dir/gui-sim.out" \
        --record "$wi_dir/gui.record"; then
        wi_fail "installed GUI: the simulator did not start: $(cat "$wi_dir/gui-sim.out")"
    elif ! wg_start_gui "$wi_win_folder\\kelvo-firmware-update.exe" "$wi_dir/gui.log" &&
        ! wi_gui_start_again "$wi_win_folder\\kelvo-firmware-update.exe" "$wi_dir/gui.log"; then
        wi_gui_fail "the main window did not appear"
    elif ! {
        wg_press_update COM5
        wg_wait 100 wg_has_window Confirm
    }; then
        wi_gui_fail "no question after COM5 and \"Update\""
    elif ! {
        xdotool key Return # "Yes" is the default
        wg_wait 600 wg_has_window Information
    }; then
        wi_gui_fail "no outcome message within 60 s of \"Yes\""
    elif ! {
        xdotool key Return # its "OK"
        wg_wait 50 wg_no_window Information
    }; then
        wi_gui_fail "the outcome message did not close with \"OK\""
    elif ! {
        wg_click "$wg_main" 150 10
        sleep 0.3
        xdotool key alt+F4
        wg_wait 100 wg_no_window "Kelvo Firmware Update"
    }; then
        wi_gui_fail "the main window did not close with Alt+F4"
    elif ! wg_wait 100 wg_gui_ended; then
        wi_gui_fail "the program did not end within 10 s of closing its main window"
    fi
    wg_stop_gui || true
    wg_stop_sim
    wg_cleanup

    n=$(wc -l <"$wi_dir/gui.record" 2>/dev/null || echo 0)
    [ "$n" -eq 787 ] || wi_fail "installed GUI: the simulator recorded $n lines, expected 787"
    for ref in "$wi_dir/update.record" "$build/mingw/e2e/success.linux.record"; do
        [ -f "$ref" ] || continue
        cmp -s "$ref" "$wi_dir/gui.record" ||
            wi_fail "installed GUI: the simulator recorded other lines than in $ref"
    done
    # The journal's newest run.
    timeout --foreground -k 5 60 wine "$wi_folder/kelvo-update.exe" --history --json --limit 1 \
        </dev/null >"$out" 2>&1 || true
    if ! grep -q '"program":"kelvo-firmware-update"' "$out" || ! grep -q '"status":0' "$out" ||
        ! grep -q '"lines_sent":783' "$out" || ! grep -q '"port":"COM5"' "$out"; then
        wi_fail "installed GUI: the journal does not show its update; see $out"
    fi
}

# wi_zip_start: the release zip unpacked into a folder of its own; its GUI starts there on Windows'
# own platform (the Qt DLLs and plugins it needs come from the folder) and shows its main window,
# and its kelvo-update.exe answers --version.
wi_zip_start() {
    local -x DISPLAY=
    local zip dir=$wi_dir/zip out
    zip=$(find "$build/mingw" -maxdepth 1 -name 'kelvo-firmware-update-*-win64.zip' | head -n 1)
    mkdir -p "$dir"
    if [ -z "$zip" ] || ! (cd "$dir" && cmake -E tar xf "$zip"); then
        wi_fail "unpacked zip: no release zip in $build/mingw, or it does not unpack"
        return 0
    fi
    out=$(wine "$dir/kelvo-update.exe" --version </dev/null 2>&1 | tr -d '\r' || true)
    [ "$out" = "kelvo-update $wi_version" ] || wi_fail "unpacked zip: kelvo-update.exe --version: [$out]"
    if ! wg_start_x "$dir"; then
        wi_fail "unpacked zip: Xvfb did not start: $(cat "$dir/xvfb.log")"
    elif ! wg_start_gui "$dir/kelvo-firmware-update.exe" "$dir/gui.log" &&
        ! wi_gui_start_again "$dir/kelvo-firmware-update.exe" "$dir/gui.log"; then
        wi_fail "unpacked zip: the GUI showed no main window; $(wg_seen zip-gui | tr '\n' ' ')(log $dir/gui.log)"
    fi
    wg_stop_gui || true
    wg_cleanup
}

wi_run() {
    wi_setup=$(find "$build/mingw" -maxdepth 1 -name 'kelvo-firmware-update-*-win64-setup.exe' |
        head -n 1)
    if [ -z "$wi_setup" ]; then
        wi_fail "no setup program in $build/mingw: makensis (package nsis) missing when the build was configured?"
        return 0
    fi
    [ -x "$wi_sim_exe" ] || {
        wi_fail "missing $wi_sim_exe"
        return 0
    }
    wi_version=${wi_setup##*/kelvo-firmware-update-}
    wi_version=${wi_version%-win64-setup.exe}
    echo "setup program: $wi_setup, $(stat -c %s "$wi_setup") bytes"
    # Everything the release folder (and so its zip) holds must be installed too.
    mapfile -t wi_release_files < <(cd "$build/mingw/release" && find . -type f -printf '%P\n' | sort)

    rm -rf "$wi_dir"
    mkdir -p "$wi_dir"
    export WINEPREFIX=$wi_prefix
    if ! wine_prefix_com5 "$wi_prefix" "$wi_link"; then
        wi_fail "no fresh prefix with COM5 on $wi_link in $wi_prefix"
        return 0
    fi
    wi_folder="$wi_prefix/drive_c/Program Files/Kelvo Firmware Update"
    wi_shortcut="$wi_prefix/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Kelvo Firmware Update.lnk"
    wi_station_shortcut="$wi_prefix/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Kelvo Firmware Update Station.lnk"

    say "setup: silent install"
    wi_install
    [ "$wi_rc" = 0 ] || wi_fail "silent install: exit $wi_rc"
    wi_check_installed "first install"

    local out
    out=$(wine "$wi_folder/kelvo-update.exe" --version </dev/null 2>&1 | tr -d '\r' || true)
    [ "$out" = "kelvo-update $wi_version" ] || wi_fail "installed kelvo-update.exe --version: [$out]"
    out=$(wine "$wi_folder/kelvo-firmware-update.exe" --version </dev/null 2>&1 | tr -d '\r' || true)
    [ "$out" = "kelvo-firmware-update $wi_version" ] ||
        wi_fail "installed kelvo-firmware-update.exe --version: [$out]"

    say "setup: the programs of the unpacked release zip start"
    wi_zip_start

    say "setup: the installed kelvo-update.exe updates the simulated logger on COM5"
    local rc=0
    wg_start_sim "$wi_sim_exe" "$wi_link" "$wi_dir/sim.out" --record "$wi_dir/update.record" ||
        wi_fail "the simulator did not start: $(cat "$wi_dir/sim.out")"
    timeout --foreground -k 5 120 wine "$wi_folder/kelvo-update.exe" --port COM5 --yes \
        </dev/null >"$wi_dir/update.out" 2>&1 || rc=$?
    wg_stop_sim
    [ "$rc" = 0 ] || wi_fail "installed kelvo-update.exe --port COM5: exit $rc; see $wi_dir/update.out"
    [ "$(wc -l <"$wi_dir/update.record" 2>/dev/null || echo 0)" -eq 787 ] ||
        wi_fail "installed kelvo-update.exe: the simulator did not record 787 lines"
    local journal
    journal="$(wine cmd /c echo '%LOCALAPPDATA%' </dev/null 2>/dev/null | tr -d '\r')\\kelvo\\journal.sqlite3"
    journal=$(winepath -u "$journal" 2>/dev/null)
    [ -f "$journal" ] || wi_fail "no journal at $journal after the update"

    say "setup: the installed GUI updates the simulated logger on COM5"
    wi_gui_update
    wine reg add 'HKCU\Software\Orlenta\Quarn' /v intern /t REG_DWORD /d 1 /f >/dev/null

    say "setup: refused while the installed GUI runs"
    WINEQT_QPA_PLATFORM=offscreen wine "$wi_folder/kelvo-firmware-update.exe" \
        </dev/null >"$wi_dir/gui.out" 2>&1 &
    wi_gui_pid=$!
    sleep 3
    wi_install
    [ "$wi_rc" = 2 ] || wi_fail "install over a running GUI: exit $wi_rc, expected 2"
    wi_cmd "\"$wi_win_folder\\uninstall.exe\" /S _?=$wi_win_folder"
    [ "$wi_rc" = 2 ] || wi_fail "uninstall with the GUI running: exit $wi_rc, expected 2"
    [ -f "$wi_folder/kelvo-firmware-update.exe" ] || wi_fail "the refused uninstall removed files"
    stop_pid "$wi_gui_pid"
    wi_gui_pid=
    wine taskkill /f /im kelvo-firmware-update.exe >/dev/null 2>&1 || true

    say "setup: silent install over the installed version"
    touch "$wi_folder/user-notes.txt" # not ours: an uninstall leaves it
    wi_install
    [ "$wi_rc" = 0 ] || wi_fail "second install: exit $wi_rc"
    wi_check_installed "second install"

    say "setup: silent uninstall (the Uninstall entry's QuietUninstallString)"
    local quiet
    quiet=$(wi_value QuietUninstallString)
    wi_cmd "$quiet"
    [ "$wi_rc" = 0 ] || wi_fail "uninstall: exit $wi_rc"
    # The uninstaller runs on from a copy in the temporary folder: wait for every process.
    wineserver -w
    local left
    left=$(cd "$wi_folder" 2>/dev/null && find . -mindepth 1 | sort | tr '\n' ' ' || true)
    [ "$left" = "./user-notes.txt " ] || wi_fail "left in the install folder: [$left]"
    [ ! -e "$wi_shortcut" ] || wi_fail "the shortcut is still there"
    [ ! -e "$wi_station_shortcut" ] || wi_fail "the station's shortcut is still there"
    [ "$(wi_entries)" = 0 ] || wi_fail "the Uninstall entry is still there"
    [ -f "$journal" ] || wi_fail "the uninstall removed the journal"
    wine reg query 'HKCU\Software\Orlenta\Quarn' /v intern >/dev/null 2>&1 ||
        wi_fail "the uninstall removed the internal-mode setting"
    rm -rf "$wi_folder"
}

say "Windows setup program under Wine: install, update on COM5, upgrade, uninstall"
trap 'wi_cleanup' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
wi_run
wi_cleanup
trap - EXIT INT TERM
eval "$wi_saved_traps"
export WINEPREFIX=$wi_saved_prefix
if [ ${#wi_failures[@]} -gt 0 ]; then
    say "Windows setup program under Wine: ${#wi_failures[@]} failure(s)"
    printf '  %s\n' "${wi_failures[@]}"
    exit 1
fi
rm -rf "$wi_prefix" # about 700 MB; kept only after a failure, for a look inside
say "Windows setup program under Wine: passed ($(stat -c %s "$wi_setup") bytes)"
