# The Windows kelvo-update.exe end to end under Wine: COM5 of a private prefix is mapped to the
# pseudo-terminal of the native kelvo-logger-sim, and the same scenarios run with the Linux
# kelvo-update beside it, so the two builds' outcomes can be compared line by line.
#
# Sourced by scripts/run-tests after the Wine unit tests. Expects $root, $build, say() and
# stage_unavailable of scripts/lib/common.sh, the Windows build in $build/mingw, the native one in $build/native and
# WINEPREFIX/WINEDEBUG/WINEDLLOVERRIDES as run-tests sets them. Leaves WINEPREFIX and the EXIT
# trap as it found them; stops its simulators and the wineservers on every path.
#
# Why a prefix of its own: Wine creates its COM ports from HKLM\Software\Wine\Ports when the
# prefix's server starts, so the key must be in place before that start. This prefix is booted,
# given the key, stopped and started again. A bare dosdevices link would be rewritten at the
# next start, and Wine maps the machine's /dev/ttyS* to the first free COM numbers: COM1-COM4 are
# therefore disabled in the key and any other port Wine adds is unlinked, so nothing here can reach
# a real UART.

. "$root/scripts/lib/wine-ports.sh"

# shellcheck disable=SC2154 # $build comes from scripts/lib/common.sh
we_sim_exe=$build/native/sim/kelvo-logger-sim
we_linux_exe=$build/native/cli/kelvo-update
we_win_exe=$build/mingw/release/kelvo-update.exe
we_gui_exe=$build/mingw/tests/gui/gui_wine_update.exe # the main window's test build
we_dir=$build/mingw/e2e
we_prefix=$build/mingw/wineprefix-e2e
we_link=$we_dir/com5 # the stable path of the simulator's pty: COM5 points here
we_unit_prefix=$WINEPREFIX
we_saved_traps=$(trap -p EXIT INT TERM)
we_sim_pid=
we_cli_pid=
we_rc=0
we_failures=()
declare -A we_linux=() we_win=() we_note=()
we_order=()

we_fail() {
    we_failures+=("$*")
    echo "FAILED: $*" >&2
}

we_cleanup() {
    stop_pid "$we_cli_pid"
    we_cli_pid=
    stop_pid "$we_sim_pid"
    we_sim_pid=
    WINEPREFIX=$we_prefix wineserver -k 2>/dev/null || true
    WINEPREFIX=$we_unit_prefix wineserver -k 2>/dev/null || true
}

# we_done: puts back what this file changed in the sourcing shell.
we_done() {
    we_cleanup
    trap - EXIT INT TERM
    eval "$we_saved_traps"
    export WINEPREFIX=$we_unit_prefix
}

we_skipped=
# we_skip_banner WHY: Wine cannot run the programs here (under CI=true the run fails here).
we_skip_banner() {
    stage_unavailable "WINDOWS END-TO-END PART" "$*" \
        "kelvo-update.exe did NOT run against the simulated logger under Wine."
    we_skipped=1
}

# we_sim_start OUTNAME SIMARGS...: a simulator on a fresh pty behind $we_link, recording to
# $we_dir/OUTNAME.record; returns once the link points at its pty.
we_sim_start() {
    local name=$1 pty="" i
    shift
    rm -f "$we_dir/$name.record"
    "$we_sim_exe" --link "$we_link" --record "$we_dir/$name.record" "$@" \
        >"$we_dir/$name.sim" 2>&1 &
    we_sim_pid=$!
    for ((i = 0; i < 100; i++)); do
        pty=$(head -n 1 "$we_dir/$name.sim" 2>/dev/null || true)
        if [ -n "$pty" ] && [ "$(readlink "$we_link" 2>/dev/null || true)" = "$pty" ]; then
            return 0
        fi
        sleep 0.05
    done
    we_fail "$name: the simulator did not start ($(cat "$we_dir/$name.sim"))"
    return 1
}

we_sim_stop() {
    stop_pid "$we_sim_pid"
    we_sim_pid=
}

# we_cli OS OUTNAME ARGS...: one kelvo-update run (--json on stdout); its exit status in $we_rc.
# No run here is cancelled on purpose, so a cancel (20) means the operator pressed Ctrl+C: the
# program took the SIGINT, and bash, seeing it handled, would carry on. Stop instead.
we_cli() {
    local os=$1 name=$2 rc=0
    shift 2
    if [ "$os" = linux ]; then
        XDG_CONFIG_HOME=$we_dir/config KELVO_JOURNAL=$we_dir/journal-linux.sqlite3 \
            timeout --foreground -k 5 120 "$we_linux_exe" "$@" --json \
            </dev/null >"$we_dir/$name.out" 2>"$we_dir/$name.err" || rc=$?
    else
        timeout --foreground -k 5 120 wine "$we_win_exe" "$@" --json \
            </dev/null >"$we_dir/$name.out" 2>"$we_dir/$name.err" || rc=$?
    fi
    we_rc=$rc
    if [ "$rc" = 20 ]; then
        echo "interrupted" >&2
        exit 130
    fi
}

we_port() { if [ "$1" = linux ]; then echo "$we_link"; else echo COM5; fi; }

# we_trace FILE [PORT]: the JSON lines without their time, the port name replaced, CR LF as LF;
# the journal's row number (each build has its own journal) and the lines sent as a progress
# object is written (the worker may be a line or more ahead by then) as ROW and LINES.
we_trace() {
    sed -e 's/\r$//' -e 's/^{"time":"[^"]*",//' -e "s#${2:-//}#PORT#g" \
        -e 's/"journal_row":[0-9]*/"journal_row":ROW/' -e 's/"lines_sent":[0-9]*/"lines_sent":LINES/' \
        "$1"
}

# we_scenario KEY TITLE EXPECTED "SIMARGS" CLIARGS...: a fresh simulator per build, the same
# command line for both builds; checks the exit status and that both builds gave the same
# notifications and texts.
we_scenario() {
    local key=$1 title=$2 expected=$3 os
    local -a sim_args
    read -r -a sim_args <<<"$4"
    shift 4
    we_order+=("$key")
    we_note[$key]=$title
    for os in linux win; do
        we_sim_start "$key.$os" "${sim_args[@]}" || return 0
        we_cli "$os" "$key.$os" --port "$(we_port "$os")" "$@"
        local rc=$we_rc
        we_sim_stop
        if [ "$os" = linux ]; then we_linux[$key]=$rc; else we_win[$key]=$rc; fi
        [ "$rc" = "$expected" ] ||
            we_fail "$key ($os): exit $rc, expected $expected; see $we_dir/$key.$os.out"
    done
    if ! diff <(we_trace "$we_dir/$key.linux.out" "$we_link") \
        <(we_trace "$we_dir/$key.win.out" COM5) >"$we_dir/$key.diff"; then
        we_fail "$key: the Windows build reported differently; see $we_dir/$key.diff"
    fi
}

# we_records_match KEY LINES: both builds programmed the same lines, LINES of them.
we_records_match() {
    local key=$1 lines=$2 n
    if [ ! -f "$we_dir/$key.linux.record" ] || [ ! -f "$we_dir/$key.win.record" ]; then
        we_fail "$key: no record of the simulator"
        return 0
    fi
    n=$(wc -l <"$we_dir/$key.win.record")
    if ! cmp -s "$we_dir/$key.linux.record" "$we_dir/$key.win.record"; then
        we_fail "$key: the simulator recorded other lines for Windows than for Linux"
    elif [ "$n" -ne "$lines" ]; then
        we_fail "$key: the simulator recorded $n lines, expected $lines"
    fi
    we_note[$key]+=" | record: $n lines, $(head -n 1 "$we_dir/$key.win.record") ..."
    we_note[$key]+=" $(tail -n 1 "$we_dir/$key.win.record"), same as Linux"
}

we_count() { grep -c -- "$2" "$1" || true; }

# we_paced OS OUTNAME: an update of a paced simulator in the background ($we_cli_pid), returned
# once its transfer runs.
we_paced() {
    local os=$1 name=$2 i port
    port=$(we_port "$os")
    we_sim_start "$name" --preset entry9 --baud 9600 || return 1
    if [ "$os" = linux ]; then
        XDG_CONFIG_HOME=$we_dir/config "$we_linux_exe" --port "$port" --yes --json \
            </dev/null >"$we_dir/$name.out" 2>"$we_dir/$name.err" &
    else
        wine "$we_win_exe" --port "$port" --yes --json \
            </dev/null >"$we_dir/$name.out" 2>"$we_dir/$name.err" &
    fi
    we_cli_pid=$!
    for ((i = 0; i < 600; i++)); do
        grep -qs '"code":1,"value":1,' "$we_dir/$name.out" && return 0
        sleep 0.05
    done
    we_fail "$name: the transfer did not begin; see $we_dir/$name.out"
}

# we_interrupt: SIGINT to the background update (under Wine the signal becomes a CTRL_C_EVENT,
# which reaches the program's SIGINT handler); its exit status in $we_rc.
we_interrupt() {
    we_rc=0
    kill -INT "$we_cli_pid" 2>/dev/null || true
    wait "$we_cli_pid" || we_rc=$?
    we_cli_pid=
    we_sim_stop
}

we_cancel() {
    local os=$1 rc
    we_paced "$os" "cancel.$os" || return 0
    we_interrupt
    rc=$we_rc
    if [ "$os" = linux ]; then we_linux[cancel]=$rc; else we_win[cancel]=$rc; fi
    [ "$rc" = 20 ] || we_fail "cancel ($os): exit $rc, expected 20; see $we_dir/cancel.$os.out"
    grep -q 'Process cancelled!' "$we_dir/cancel.$os.out" ||
        we_fail "cancel ($os): no 'Process cancelled!' in $we_dir/cancel.$os.out"
}

# A second update on the port that a running one holds: refused (10). Linux only: Wine does not
# apply the exclusive share mode to serial devices, so under Wine the second program opens the
# port too, and the two then read from one pseudo-terminal, which can stall either of them for
# good. Windows' serial driver refuses the second open.
we_busy() {
    we_paced linux holder.linux || return 0
    we_cli linux busy.linux --port "$we_link" --yes
    we_linux[busy]=$we_rc
    we_interrupt
    [ "${we_linux[busy]}" = 10 ] || we_fail "busy (linux): exit ${we_linux[busy]}, expected 10"
    we_win[busy]=n/a
}

we_run() {
    local f
    for f in "$we_sim_exe" "$we_linux_exe" "$we_win_exe"; do
        if [ ! -x "$f" ]; then
            we_fail "missing $f"
            return 0
        fi
    done
    rm -rf "$we_dir"
    mkdir -p "$we_dir/config"

    # One self-contained program: no MinGW runtime DLLs among its imports.
    local dlls
    dlls=$(x86_64-w64-mingw32-objdump -p "$we_win_exe" | sed -n 's/^\s*DLL Name: //p' | tr '\n' ' ')
    echo "kelvo-update.exe imports: $dlls"
    case "${dlls,,}" in
    *libstdc++* | *libgcc* | *libwinpthread*) we_fail "release kelvo-update.exe is not static" ;;
    esac

    # The prefix: booted, given the port key, stopped, started again.
    WINEPREFIX=$we_unit_prefix wineserver -k 2>/dev/null || true
    export WINEPREFIX=$we_prefix
    local n rc=0
    wine_prefix_com5 "$we_prefix" "$we_link" || rc=$?
    if [ "$rc" = 2 ]; then
        we_skip_banner "Wine cannot start a prefix in $we_prefix"
        return 0
    elif [ "$rc" != 0 ]; then
        we_fail "COM5 is not mapped to $we_link"
        return 0
    fi

    we_scenario success "successful update" 0 "--preset entry9" --yes
    we_records_match success 787
    we_journal
    we_scenario silent "silent logger, --max-repeats 1" 30 \
        "--preset entry9 --fault ident:noanswer:1:100" --yes --max-repeats 1
    local os
    # The second failure announces no repeat: none is left.
    for os in linux win; do
        [ "$(we_count "$we_dir/silent.$os.out" '"code":13,')" = 1 ] ||
            we_fail "silent ($os): not one announced repeat (13)"
    done
    we_note[silent]+=" | 13 once, then 30; nothing recorded"
    we_scenario echo "echo mismatch at line 4" 0 "--preset entry9 --fault line:echo:5" --yes
    for os in linux win; do
        [ "$(we_count "$we_dir/echo.$os.out" '"code":10,"value":44,')" = 1 ] ||
            we_fail "echo ($os): no status 44"
        [ "$(we_count "$we_dir/echo.$os.out" 'Start at serial port')" = 2 ] ||
            we_fail "echo ($os): not repeated once"
    done
    we_note[echo]+=" | 44, one repeat, success"
    we_records_match echo 795

    we_order+=(cancel busy)
    we_note[cancel]="cancel (SIGINT during the paced transfer)"
    we_note[busy]="port held by a running update (not under Wine: no exclusive open there)"
    for os in linux win; do we_cancel "$os"; done
    we_busy

    we_order+=(noport)
    we_note[noport]="port that does not exist (COM9 / a missing path)"
    if [ -e "$we_prefix/dosdevices/com9" ] || [ -L "$we_prefix/dosdevices/com9" ]; then
        we_fail "COM9 exists in the prefix"
    fi
    we_cli linux noport.linux --port "$we_dir/no-such-port" --yes
    we_linux[noport]=$we_rc
    we_cli win noport.win --port COM9 --yes
    we_win[noport]=$we_rc
    for os in linux win; do
        local rc
        if [ "$os" = linux ]; then rc=${we_linux[noport]}; else rc=${we_win[noport]}; fi
        [ "$rc" = 10 ] || we_fail "noport ($os): exit $rc, expected 10"
        # The system's error code (GetLastError under Wine, errno under Linux) becomes the
        # same reason on standard error.
        grep -q 'Reason: no such device' "$we_dir/noport.$os.err" ||
            we_fail "noport ($os): no 'Reason: no such device' in $we_dir/noport.$os.err"
    done

    # The internal mode from its store: HKCU "Software\Orlenta\Quarn" value "intern" under
    # Windows, $XDG_CONFIG_HOME/Orlenta/Quarn.conf under Linux.
    local quarn='HKCU\Software\Orlenta\Quarn'
    mkdir -p "$we_dir/config/Orlenta"
    echo "intern=7315" >"$we_dir/config/Orlenta/Quarn.conf"
    wine reg add "$quarn" /v intern /t REG_DWORD /d 7315 /f >/dev/null
    we_scenario intern "internal mode on: --read-info-only" 70 "--preset entry9" --read-info-only
    we_several
    rm "$we_dir/config/Orlenta/Quarn.conf"
    wine reg add "$quarn" /v intern /t REG_SZ /d 7315 /f >/dev/null
    we_scenario internoff "internal mode off (Windows: the code as a string)" 2 \
        "--preset entry9" --read-info-only
    wine reg delete 'HKCU\Software\Orlenta' /f >/dev/null

    we_station

    # The port list: values added now, after the server has rebuilt the key at its start.
    local serialcomm='HKLM\hardware\devicemap\serialcomm' expected listed
    wine reg add "$serialcomm" /v '\Device\VCP1' /d COM3 /f >/dev/null
    wine reg add "$serialcomm" /v '\Device\Serial9' /d COM30 /f >/dev/null
    wine reg add "$serialcomm" /v '\device\vcp0' /d COM7 /f >/dev/null
    wine reg add "$serialcomm" /v '\Device\USBSER000' /d COM31 /f >/dev/null
    # Every port in the order the registry enumerates them, as reg.exe shows it, each marked
    # with whether the GUI's list (the \Device\VCP names) offers it.
    expected=$(wine reg query "$serialcomm" | tr -d '\r' |
        awk '$2 == "REG_SZ" { print $3 ":" (tolower($1) ~ /^\\device\\vcp/ ? "yes" : "no") }' |
        tr '\n' ' ' || true)
    # The list below its header: the COM names and the GUI list's column.
    listed=$(wine "$we_win_exe" --list-ports </dev/null | tr -d '\r' | tail -n +2 |
        awk -F '\t' '{ print $1 ":" $NF }' | tr '\n' ' ' || true)
    for n in '\Device\VCP1' '\Device\Serial9' '\device\vcp0' '\Device\USBSER000'; do
        wine reg delete "$serialcomm" /v "$n" /f >/dev/null
    done
    we_order+=(list)
    we_note[list]="--list-ports: [${listed% }], registry order [${expected% }]"
    we_linux[list]=-
    we_win[list]=ok
    if [ "$listed" != "$expected" ] || [ -z "$listed" ]; then
        we_win[list]=wrong
        we_fail "--list-ports printed [$listed], expected [$expected]"
    fi
}

# we_journal: the Windows program recorded the successful update in its journal (in the prefix,
# under %LOCALAPPDATA%), and --history shows it.
we_journal() {
    local out=$we_dir/history.win.out
    we_order+=(journal)
    we_note[journal]="--history --json after the successful update"
    we_linux[journal]=-
    timeout --foreground -k 5 60 wine "$we_win_exe" --history --json --limit 1 </dev/null \
        >"$out" 2>"$we_dir/history.win.err" || true
    if grep -q '"program":"kelvo-update"' "$out" && grep -q '"status":0' "$out" &&
        grep -q '"lines_sent":783' "$out" && grep -q '"port":"COM5"' "$out"; then
        we_win[journal]=ok
    else
        we_win[journal]=wrong
        we_fail "journal: the Windows program's --history does not show the update; see $out"
    fi
}

# we_several: two ports, one of them missing, and a firmware file (built-in image 9) in the
# internal mode: a child process per port, the file's bytes handed to each on its standard input.
# The first port's logger gets the whole image; the run ends with the missing port's 10.
we_several() {
    local kfw=$root/firmware/images/entry9.kfw os rc n
    we_order+=(several)
    we_note[several]="two ports (one missing), a firmware file handed to each process"
    for os in linux win; do
        we_sim_start "several.$os" --preset entry9 || return 0
        if [ "$os" = linux ]; then
            we_cli linux several.linux --port "$we_link" --port "$we_dir/no-such-port" --yes \
                --file "$kfw" f:+
            we_linux[several]=$we_rc
        else
            we_cli win several.win --port COM5 --port COM9 --yes --file "$(winepath -w "$kfw")" f:+
            we_win[several]=$we_rc
        fi
        rc=$we_rc
        we_sim_stop
        [ "$rc" = 10 ] || we_fail "several ($os): exit $rc, expected 10; see $we_dir/several.$os.err"
        n=$(wc -l <"$we_dir/several.$os.record" 2>/dev/null || echo 0)
        [ "$n" -eq 787 ] || we_fail "several ($os): the simulator recorded $n lines, expected 787"
        grep -q '"event":"summary"' "$we_dir/several.$os.out" ||
            we_fail "several ($os): no summary in $we_dir/several.$os.out"
    done
    we_note[several]+=" | 10, the present logger updated"
}

# we_station: the workshop station (--watch --count 1) started while no converter is present;
# then a logger arrives on COM5 and must be updated, after which the station ends with 0.
# The arrival as Windows shows it: a USB serial converter's driver adds its value
# ("\Device\VCP0" = COM5) to HARDWARE\DEVICEMAP\SERIALCOMM, which the port list and the watch
# read. Wine's mount manager fills that key only when the prefix's server starts, from its port
# links and with "\Device\SerialN" names, which the list leaves out as it leaves out real UARTs;
# a link made later is never added. So COM5's link is in place from the start (it points at
# $we_link, which the simulator takes over), and the driver's value is added here once the
# simulator runs, as the driver would.
we_station() {
    local serialcomm='HKLM\hardware\devicemap\serialcomm' out=$we_dir/station.win.out rc=0 n
    we_order+=(station)
    we_note[station]="--watch --yes --count 1, COM5 arriving after the start"
    we_linux[station]=-
    timeout --foreground -k 5 90 wine "$we_win_exe" --watch --yes --count 1 --json \
        </dev/null >"$out" 2>"$we_dir/station.win.err" &
    we_cli_pid=$!
    # No output tells that the station watches: give Wine's start its time, so that COM5 comes
    # after the first list (a port there at start would be updated all the same).
    sleep 3
    if we_sim_start station.win --preset entry9; then
        wine reg add "$serialcomm" /v '\Device\VCP0' /d COM5 /f >/dev/null
    fi
    wait "$we_cli_pid" || rc=$?
    we_cli_pid=
    wine reg delete "$serialcomm" /v '\Device\VCP0' /f >/dev/null 2>&1 || true
    we_sim_stop
    we_win[station]=$rc
    [ "$rc" = 0 ] || we_fail "station (win): exit $rc, expected 0; see $out"
    n=$(wc -l <"$we_dir/station.win.record" 2>/dev/null || echo 0)
    [ "$n" -eq 787 ] || we_fail "station (win): the simulator recorded $n lines, expected 787"
    grep -q '"event":"plugged".*"port":"COM5"' "$out" ||
        we_fail "station (win): no plugged event for COM5 in $out"
    grep -q '"event":"summary"' "$out" || we_fail "station (win): no summary in $out"
    we_note[station]+=" | plugged, updated ($n lines), summary"
}

# we_gui ROW "SIMARGS" TITLE: the operator's main window (its test build, offscreen) presses
# "Update" against the simulator on COM5 and checks its message and report: one row of
# gui_wine_update.exe. The record is checked by the caller.
we_gui() {
    local row=$1 key=gui-$1 rc=0
    local -a sim_args
    read -r -a sim_args <<<"$2"
    we_order+=("$key")
    we_note[$key]="GUI: $3"
    we_linux[$key]=-
    we_sim_start "$key" "${sim_args[@]}" || return 0
    KELVO_TEST_PORT=COM5 WINEQT_QPA_PLATFORM=offscreen \
        WINEQT_QPA_FONTDIR='Z:\usr\share\fonts\truetype\dejavu' \
        timeout --foreground -k 5 180 wine "$we_gui_exe" "update:$row" -o "$we_dir/$key.log,txt" \
        </dev/null >/dev/null 2>&1 || rc=$?
    we_sim_stop
    we_win[$key]=$rc
    [ "$rc" = 0 ] || we_fail "$key: exit $rc; see $we_dir/$key.log"
}

# we_gui_record KEY LINES: the simulator took LINES lines, the vector-table line last before the
# finish request.
we_gui_record() {
    local key=$1 lines=$2 n
    n=$(wc -l <"$we_dir/$key.record" 2>/dev/null || echo 0)
    [ "$n" -eq "$lines" ] || we_fail "$key: the simulator recorded $n lines, expected $lines"
    case "$(tail -n 2 "$we_dir/$key.record" | head -n 1)" in
    :4003DF00*) ;;
    *) we_fail "$key: the vector-table line was not the last data line" ;;
    esac
    we_note[$key]+=" | record: $n lines, vector table last"
}

we_gui_run() {
    if [ ! -x "$we_gui_exe" ]; then
        we_fail "missing $we_gui_exe"
        return 0
    fi
    we_gui success "--preset entry9" "Update pressed, success message"
    we_gui_record gui-success 787
    we_gui echo "--preset entry9 --fault line:echo:5" "echo mismatch, one repeat, success"
    we_gui_record gui-echo 795
    we_gui cancel "--preset entry9 --baud 9600" "Cancel during the paced transfer"
}

say "Windows end to end under Wine: kelvo-update.exe on COM5 against kelvo-logger-sim"
trap 'we_cleanup' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
we_t0=$SECONDS
we_run
[ -n "$we_skipped" ] || we_gui_run

if [ ${#we_order[@]} -gt 0 ]; then
    printf '\n%-10s %-8s %-8s %s\n' scenario Windows Linux "what happened"
    for we_key in "${we_order[@]}"; do
        printf '%-10s %-8s %-8s %s\n' "$we_key" "${we_win[$we_key]:-?}" "${we_linux[$we_key]:-?}" \
            "${we_note[$we_key]}"
    done
    echo "(exit statuses; Windows: release/kelvo-update.exe under Wine; $((SECONDS - we_t0)) s)"
fi
we_done
if [ -n "$we_skipped" ]; then
    exit 0 # as run-tests does when Wine is missing: the banner above is the outcome
fi
if [ ${#we_failures[@]} -gt 0 ]; then
    say "Windows end to end under Wine: ${#we_failures[@]} failure(s)"
    printf '  %s\n' "${we_failures[@]}"
    exit 1
fi
