# kelvo-update behind Linux's real USB serial driver: a QEMU guest (Debian's kernel, TCG) whose
# emulated FTDI converter (usb-serial, driven by ftdi_sio as /dev/ttyUSB0) is wired to the
# pseudo-terminal of kelvo-logger-sim on the host. The guest is a small initramfs: busybox, the
# USB modules, the native kelvo-update with its shared libraries and tests/vm/init, which runs
# the scenario named on the kernel command line and reports between markers on the console.
# The host unplugs and replugs the converter through QMP (tests/vm/qmp.py).
#
# Sourced by scripts/run-tests after the native build. Expects $root, $build, say(),
# stage_unavailable and install_missing of scripts/lib/common.sh, and kelvo-update and kelvo-logger-sim in
# $build/native. Leaves the EXIT trap as it found it; stops its QEMU and simulators on every path.
# shellcheck shell=bash disable=SC2154 # $root, $build: scripts/lib/common.sh

ve_sim_exe=$build/native/sim/kelvo-logger-sim
ve_cli_exe=$build/native/cli/kelvo-update
ve_dir=$build/native/vm
ve_initrd=$ve_dir/initrd.cpio
ve_saved_traps=$(trap -p EXIT INT TERM)
ve_kernel=
ve_qemu_pid=
ve_sim_pids=()
ve_pty=
ve_failures=()
declare -A ve_rc=() ve_note=()
ve_order=()
# The converter as QEMU emulates it (FTDI FT232) with a fixed serial number, and the link udev
# would give it.
ve_serial=KELVO0001
ve_by_id=/dev/serial/by-id/usb-QEMU_QEMU_USB_SERIAL_${ve_serial}-if00-port0

ve_fail() {
    ve_failures+=("$*")
    echo "FAILED: $*" >&2
}

ve_qemu_stop() {
    stop_pid "$ve_qemu_pid"
    ve_qemu_pid=
}

ve_sims_stop() {
    local p
    for p in "${ve_sim_pids[@]}"; do stop_pid "$p"; done
    ve_sim_pids=()
}

ve_cleanup() {
    ve_qemu_stop
    ve_sims_stop
}

# ve_done: puts back what this file changed in the sourcing shell.
ve_done() {
    ve_cleanup
    trap - EXIT INT TERM
    eval "$ve_saved_traps"
}

# ve_skip_banner WHY: the tools cannot be had (under CI=true the run fails here).
ve_skip_banner() {
    stage_unavailable "VM END-TO-END PART" "$*" \
        "kelvo-update did NOT run behind a real USB serial driver in a QEMU guest."
}

# ve_sim_start NAME SIMARGS...: a simulator on a fresh pty behind $ve_dir/NAME.link, recording to
# $ve_dir/NAME.record; its pty in $ve_pty once the link points at it.
ve_sim_start() {
    local name=$1 i
    shift
    rm -f "$ve_dir/$name.record"
    "$ve_sim_exe" --link "$ve_dir/$name.link" --record "$ve_dir/$name.record" "$@" \
        >"$ve_dir/$name.sim" 2>&1 &
    ve_sim_pids+=($!)
    for ((i = 0; i < 100; i++)); do
        ve_pty=$(head -n 1 "$ve_dir/$name.sim" 2>/dev/null || true)
        [ -n "$ve_pty" ] &&
            [ "$(readlink "$ve_dir/$name.link" 2>/dev/null || true)" = "$ve_pty" ] && return 0
        sleep 0.05
    done
    ve_fail "$name: the simulator did not start ($(cat "$ve_dir/$name.sim"))"
    return 1
}

# ve_initramfs: the guest's root file system as an uncompressed cpio archive (the kernel unpacks
# it faster under TCG than a gzipped one).
ve_initramfs() {
    local tree=$ve_dir/root lib
    rm -rf "$tree"
    mkdir -p "$tree/bin" "$tree/modules" "$tree/dev" "$tree/proc" "$tree/sys" "$tree/tmp"
    cp /bin/busybox "$tree/bin/busybox"
    # What busybox cannot show: the serial driver's flags (TIOCGSERIAL).
    gcc -static -O2 -o "$tree/bin/serial-flags" "$root/tests/vm/serial-flags.c"
    ln -s busybox "$tree/bin/sh"
    install -m 755 "$root/tests/vm/init" "$tree/init"
    cp "$ve_kernel"/modules/*.ko "$ve_kernel/modules/order" "$tree/modules/"
    # Without its debugging information: a quarter of the size, a faster boot.
    strip -o "$tree/bin/kelvo-update" "$ve_cli_exe"
    # Its shared libraries and the loader, at the paths it was linked against.
    for lib in $(ldd "$ve_cli_exe" |
        awk '$2 == "=>" && $3 ~ /^\// { print $3 } $1 ~ /^\// { print $1 }'); do
        mkdir -p "$tree$(dirname "$lib")"
        cp -L "$lib" "$tree$lib"
    done
    (cd "$tree" && find . | LC_ALL=C sort | cpio -o -H newc --quiet) >"$ve_initrd"
}

# ve_boot NAME SCENARIO [PTY SERIAL]...: QEMU in the background with a converter on each PTY
# with its USB serial number (default: one, $ve_serial on $ve_pty; the first is the device
# "logger" on the character device "lg", the next ones "logger2" on "lg2" and so on), the console
# in $ve_dir/NAME.console and the monitor (QMP) on $ve_dir/NAME.qmp.
ve_boot() {
    local name=$1 scenario=$2 i=1 id
    local converters=()
    shift 2
    [ $# -gt 0 ] || set -- "$ve_pty" "$ve_serial"
    while [ $# -ge 2 ]; do
        id=$([ "$i" -eq 1 ] || echo "$i")
        converters+=(-chardev "serial,id=lg$id,path=$1"
            -device "usb-serial,id=logger$id,chardev=lg$id,bus=xhci.0,serial=$2")
        shift 2
        i=$((i + 1))
    done
    rm -f "$ve_dir/$name.console" "$ve_dir/$name.qmp"
    qemu-system-x86_64 -accel tcg -m 256 -nodefaults -display none \
        -serial "file:$ve_dir/$name.console" -no-reboot \
        -kernel "$ve_kernel/vmlinux" -initrd "$ve_initrd" \
        -append "console=ttyS0 quiet panic=-1 kelvo=$scenario" \
        -device qemu-xhci,id=xhci "${converters[@]}" \
        -qmp "unix:$ve_dir/$name.qmp,server=on,wait=off" \
        </dev/null >"$ve_dir/$name.qemu" 2>&1 &
    ve_qemu_pid=$!
}

# ve_console NAME: the guest's console without carriage returns.
ve_console() { tr -d '\r' <"$ve_dir/$1.console" 2>/dev/null || true; }

# ve_wait_exit NAME SECONDS: until QEMU has powered off; stopped and failed after SECONDS.
ve_wait_exit() {
    local name=$1 end=$((SECONDS + $2))
    while kill -0 "$ve_qemu_pid" 2>/dev/null; do
        if [ "$SECONDS" -ge "$end" ]; then
            ve_fail "$name: the guest did not power off within $2 s"
            break
        fi
        sleep 0.2
    done
    ve_qemu_stop
}

# ve_wait_for NAME SECONDS COUNT PATTERN: until the console has COUNT lines matching PATTERN
# (grep -E); fails when the guest stops or SECONDS pass first.
ve_wait_for() {
    local name=$1 end=$((SECONDS + $2)) count=$3 pattern=$4 n
    while :; do
        n=$(ve_console "$name" | grep -cE -- "$pattern" || true)
        [ "$n" -ge "$count" ] && return 0
        if ! kill -0 "$ve_qemu_pid" 2>/dev/null; then
            ve_fail "$name: the guest stopped before '$pattern'"
            return 1
        fi
        if [ "$SECONDS" -ge "$end" ]; then
            ve_fail "$name: no '$pattern' from the guest within $2 s"
            return 1
        fi
        sleep 0.2
    done
}

# ve_step_rc NAME STEP: the exit status the guest reported for STEP ("none" if it did not).
ve_step_rc() {
    local rc
    rc=$(ve_console "$1" | sed -n "s/^KELVO-END $2 rc=\([0-9]*\)\$/\1/p" | tail -n 1)
    echo "${rc:-none}"
}

# ve_step_out NAME STEP: what STEP printed.
ve_step_out() {
    ve_console "$1" | sed -n "/^KELVO-BEGIN $2\$/,/^KELVO-END $2 rc=/p" | sed '1d;$d'
}

# ve_expect NAME STEP RC: STEP ended with RC.
ve_expect() {
    local rc
    rc=$(ve_step_rc "$1" "$2")
    [ "$rc" = "$3" ] || ve_fail "$1: $2 ended with $rc, expected $3"
}

# ve_expect_text NAME STEP TEXT: STEP printed a line holding TEXT.
ve_expect_text() {
    # A here-string, not a pipe: grep -q leaving early must not fail the writer under pipefail.
    grep -qF -- "$3" <<<"$(ve_step_out "$1" "$2")" || ve_fail "$1: $2 printed no line with '$3'"
}

# ve_expect_record NAME RECORD LINES: the simulator took LINES lines, the finish request last.
ve_expect_record() {
    local n last
    n=$(wc -l <"$ve_dir/$2.record" 2>/dev/null || echo 0)
    last=$(tail -n 1 "$ve_dir/$2.record" 2>/dev/null || true)
    [ "$n" -eq "$3" ] || ve_fail "$1: the simulator recorded $n lines, expected $3"
    [ "$last" = :0100000533C7 ] || ve_fail "$1: the last recorded line is '$last', not the finish"
    ve_note[$1]+=" | record: $n lines, last $last"
}

# ve_scenario_end NAME FAILURES_BEFORE: the guest's console when the scenario failed.
ve_scenario_end() {
    ve_cleanup
    if [ ${#ve_failures[@]} -gt "$2" ]; then
        echo "--- console of the guest ($1), $ve_dir/$1.console:" >&2
        ve_console "$1" >&2
        echo "--- QEMU: $(cat "$ve_dir/$1.qemu" 2>/dev/null)" >&2
        echo "--- end of the console ($1)" >&2
    fi
}

# ve_qmp NAME ARGS...: tests/vm/qmp.py on the monitor of the guest NAME.
ve_qmp() {
    local name=$1
    shift
    python3 "$root/tests/vm/qmp.py" "$ve_dir/$name.qmp" "$@"
}

# ve_wait_line NAME SECONDS FILE TEXT: until FILE has a line holding TEXT; fails when the guest
# stops or SECONDS pass first.
ve_wait_line() {
    local name=$1 end=$((SECONDS + $2)) file=$3 text=$4
    until grep -qF -- "$text" "$file" 2>/dev/null; do
        if ! kill -0 "$ve_qemu_pid" 2>/dev/null; then
            ve_fail "$name: the guest stopped before '$text' in $file"
            return 1
        fi
        if [ "$SECONDS" -ge "$end" ]; then
            ve_fail "$name: no '$text' in $file within $2 s"
            return 1
        fi
        sleep 0.05
    done
}

# ve_expect_no_text NAME STEP TEXT: STEP printed no line holding TEXT.
ve_expect_no_text() {
    ! grep -qF -- "$3" <<<"$(ve_step_out "$1" "$2")" || ve_fail "$1: $2 printed '$3'"
}

# The operator's note when an update leaves the logger in its bootloader.
ve_bootloader_note="The logger is waiting in its bootloader: run the update again to finish it."

# update: a whole update through the guest's ttyUSB0.
ve_update() {
    local n=${#ve_failures[@]}
    ve_order+=(update)
    ve_note[update]="kelvo-update --port /dev/ttyUSB0 --yes, unpaced entry9"
    ve_sim_start update --preset entry9 || return 0
    ve_boot update update
    ve_wait_exit update 120
    ve_rc[update]=$(ve_step_rc update update)
    ve_expect update update 0
    ve_expect_text update update "succesfully completed."
    ve_expect_record update update 787
    ve_scenario_end update "$n"
}

# list: the port list shows the converter's USB details and its by-id link.
ve_list() {
    local n=${#ve_failures[@]} out row line want t=$'\t'
    ve_order+=(list)
    ve_note[list]="--list-ports and --list-ports --json"
    ve_sim_start list --preset entry9 || return 0
    ve_boot list list
    ve_wait_exit list 120
    ve_rc[list]="$(ve_step_rc list list)/$(ve_step_rc list list-json)"
    ve_expect list list 0
    ve_expect list list-json 0
    out=$(ve_step_out list list)
    [[ "${out%%$'\n'*}" == *"${t}By-id" ]] ||
        ve_fail "list: By-id is not the last column of the header"
    row=$(grep "^/dev/ttyUSB0$t" <<<"$out" || true)
    for want in 0403:6001 "QEMU USB SERIAL" "$ve_serial" "$ve_by_id"; do
        [[ "$t$row$t" == *"$t$want$t"* ]] || ve_fail "list: no column '$want' in '$row'"
    done
    line=$(ve_step_out list list-json | grep -F '"port":"/dev/ttyUSB0"' || true)
    for want in '"by-id":"'"$ve_by_id"'"' '"vendor-id":"0403"' '"product-id":"6001"' \
        '"product":"QEMU USB SERIAL"' '"serial":"'"$ve_serial"'"'; do
        [[ "$line" == *"$want"* ]] || ve_fail "list: no $want in '$line'"
    done
    ve_note[list]+=" | ${row//$t/, }"
    ve_scenario_end list "$n"
}

# unplug: the converter pulled out during a paced transfer (11, the logger left in its
# bootloader), plugged in again: the internal mode reads the bootloader's class from the same
# logger; pulled out once more and plugged into an unpaced logger in its bootloader, which the
# rerun finishes. A paced rerun of the whole image would take four minutes.
ve_unplug() {
    local n=${#ve_failures[@]} i lines=0
    ve_order+=(unplug)
    ve_note[unplug]="pulled out mid-transfer (9600 baud); replug: --read-info-only; rerun"
    ve_sim_start unplug --preset entry9 --baud 9600 || return 0
    ve_boot unplug unplug
    # Unplugged once data lines flow: the record holds three requests before them.
    for ((i = 0; i < 600; i++)); do
        lines=$(wc -l <"$ve_dir/unplug.record" 2>/dev/null || echo 0)
        [ "$lines" -ge 10 ] && break
        kill -0 "$ve_qemu_pid" 2>/dev/null || break
        sleep 0.1
    done
    if [ "$lines" -lt 10 ]; then
        ve_fail "unplug: the transfer did not begin within 60 s ($lines lines recorded)"
        ve_scenario_end unplug "$n"
        return 0
    fi
    # The guest says when /dev/ttyUSB0 is gone; only then is the converter plugged in again.
    if ! {
        ve_qmp unplug unplug logger &&
            ve_wait_for unplug 60 1 '^KELVO-UNPLUGGED$' &&
            ve_qmp unplug plug logger lg "$ve_serial" &&
            ve_wait_for unplug 60 1 '^KELVO-END replug-info rc=' &&
            ve_qmp unplug unplug logger &&
            ve_wait_for unplug 60 2 '^KELVO-UNPLUGGED$' &&
            ve_sim_start unplug-rerun --preset entry9 --start bootloader &&
            ve_qmp unplug rewire lg "$ve_pty" &&
            ve_qmp unplug plug logger lg "$ve_serial"
    }; then
        ve_fail "unplug: the converter could not be pulled out and plugged in again"
    fi
    ve_wait_exit unplug 120
    ve_rc[unplug]="$(ve_step_rc unplug unplug-update)/$(ve_step_rc unplug replug-info)"
    ve_rc[unplug]+="/$(ve_step_rc unplug replug-update)"
    ve_expect unplug unplug-update 11
    ve_expect_text unplug unplug-update "$ve_bootloader_note"
    # Why: the driver's own word that the device went away.
    ve_expect_text unplug unplug-update "Reason: the device was disconnected"
    ve_expect unplug replug-info 70
    # The first answer to the identification comes from the bootloader, not the application.
    local first
    first=$(grep -m 1 -- '-> Class ' <<<"$(ve_step_out unplug replug-info)" || true)
    [[ "$first" == *"Class 51202 [BL3]" ]] ||
        ve_fail "unplug: after the replug the logger did not answer first as Class 51202 [BL3]"
    ve_expect unplug replug-update 0
    ve_expect_record unplug unplug-rerun 787
    ve_note[unplug]+=" | pulled out after $lines lines; 11, then 70 with Class 51202 [BL3], then 0"
    ve_scenario_end unplug "$n"
}

# moments: the converter pulled out at two other moments. First while the logger leaves the
# identification unanswered (before any data line: the logger is still in its application, so no
# bootloader note); then, plugged into another logger, right after the finish request, while the
# program waits for the logger's restart: whether it restarted cannot be told, so the outcome says
# so and asks to plug it in again, without the bootloader note.
ve_moments() {
    local n=${#ve_failures[@]} step
    ve_order+=(ident-unplug finish-unplug)
    ve_note[ident-unplug]="pulled out while the identification goes unanswered"
    ve_note[finish-unplug]="pulled out during the wait for the restart after the finish request"
    ve_sim_start moments --preset entry9 --verbose --fault ident:noanswer:1:10 || return 0
    ve_boot moments moments
    if ! {
        ve_wait_line moments 60 "$ve_dir/moments.sim" "ident #1 fault noanswer" &&
            ve_qmp moments unplug logger &&
            ve_wait_for moments 60 1 '^KELVO-UNPLUGGED$' &&
            ve_sim_start moments-finish --preset entry9 &&
            ve_qmp moments rewire lg "$ve_pty" &&
            ve_qmp moments plug logger lg "$ve_serial" &&
            ve_wait_line moments 60 "$ve_dir/moments-finish.record" :0100000533C7 &&
            ve_qmp moments unplug logger
    }; then
        ve_fail "moments: the converter could not be pulled out and plugged in again"
    fi
    ve_wait_exit moments 120
    for step in ident-unplug finish-unplug; do
        ve_rc[$step]=$(ve_step_rc moments "$step")
        ve_expect moments "$step" 11
        # Why: the driver's own word, in the report and in the trace.
        ve_expect_text moments "$step" "Reason: the device was disconnected"
        ve_expect_text moments "$step-trace" "failed: the device was disconnected"
    done
    ve_expect_no_text moments ident-unplug "$ve_bootloader_note"
    ve_expect_no_text moments ident-unplug "Repeat update"
    [ ! -s "$ve_dir/moments.record" ] ||
        ve_fail "moments: the silent logger recorded lines: $(head -n 3 "$ve_dir/moments.record")"
    ve_expect_text moments finish-unplug "restart could not be confirmed (plug it in again to check)"
    ve_expect_no_text moments finish-unplug "$ve_bootloader_note"
    ve_expect_record finish-unplug moments-finish 787
    for step in ident-unplug finish-unplug; do
        ve_note[$step]+=" | $(grep -m 1 -o 'Reason:.*' <<<"$(ve_step_out moments "$step")" || true)"
    done
    ve_note[ident-unplug]+=", no bootloader note"
    ve_note[finish-unplug]+=", restart not confirmed, no bootloader note"
    ve_scenario_end moments "$n"
}

# ve_setting NAME STEP WHEN KEY: the value of KEY in the settings the guest reported for STEP.
ve_setting() {
    ve_console "$1" | sed -n "s/^KELVO-SETTINGS $2 $3 .*\\b$4=\\([^ ]*\\).*/\\1/p" | tail -n 1
}

# settings: the program asks the driver for low latency while the port is open (the FTDI latency
# timer reads 1) and puts the driver's flags and the line settings back on every way out: an
# update, no answer (with flags of the port's own before), a cancel (SIGINT once data lines flow
# at 9600 baud); and low latency that was set before stays set.
ve_settings() {
    local n=${#ve_failures[@]} step rc key before after
    local p1 p2 p3
    ve_order+=(settings-ok settings-fail settings-kept settings-cancel)
    ve_note[settings-ok]="update"
    ve_note[settings-fail]="--max-repeats 0, a logger that never answers; flags 0x10 before"
    ve_note[settings-kept]="the same with low latency set before"
    ve_note[settings-cancel]="SIGINT during a paced transfer"
    ve_sim_start settings-ok --preset entry9 && p1=$ve_pty &&
        ve_sim_start settings-fail --preset entry9 --fault ident:noanswer:1:1000 && p2=$ve_pty &&
        ve_sim_start settings-cancel --preset entry9 --baud 9600 && p3=$ve_pty || return 0
    ve_boot settings settings "$p1" KELVO0001 "$p2" KELVO0002 "$p3" KELVO0003
    ve_wait_exit settings 120
    for step in settings-ok:0 settings-fail:30 settings-kept:30 settings-cancel:20; do
        rc=${step#*:}
        step=${step%:*}
        ve_rc[$step]=$(ve_step_rc settings "$step")
        ve_expect settings "$step" "$rc"
        [ "$(ve_setting settings "$step" before speed)" = 19200 ] ||
            ve_fail "settings: $step: the port was not at 19200 baud before"
        before=$([ "$step" = settings-kept ] && echo 1 || echo 0)
        [ "$(ve_setting settings "$step" before low_latency)" = "$before" ] ||
            ve_fail "settings: $step: low latency was not $before before"
        [[ "/$(ve_setting settings "$step" during latency)/" == */1/* ]] ||
            ve_fail "settings: $step: the latency timer never read 1 while the program ran"
        for key in latency flags stty; do
            before=$(ve_setting settings "$step" before "$key")
            after=$(ve_setting settings "$step" after "$key")
            if [ -z "$before" ] || [ "$before" != "$after" ]; then
                ve_fail "settings: $step: $key '$before' before, '$after' after"
            fi
        done
        ve_note[$step]+=" | latency timer $(ve_setting settings "$step" before latency)"
        ve_note[$step]+=" -> $(ve_setting settings "$step" during latency)"
        ve_note[$step]+=" -> $(ve_setting settings "$step" after latency)"
        ve_note[$step]+=", $(ve_setting settings "$step" after speed) baud after"
    done
    [ "$(ve_setting settings settings-fail before flags)" = 0x10 ] ||
        ve_fail "settings: the driver did not take the flags 0x10 before settings-fail"
    ve_expect_text settings settings-cancel "$ve_bootloader_note"
    ve_scenario_end settings "$n"
}

# ve_expect_two_updates NAME RECORD: the simulator took two whole updates of 787 lines each.
ve_expect_two_updates() {
    local f=$ve_dir/$2.record n
    n=$(wc -l <"$f" 2>/dev/null || echo 0)
    if [ "$n" -ne 1574 ] || [ "$(sed -n 787p "$f")" != :0100000533C7 ] ||
        [ "$(sed -n 1574p "$f")" != :0100000533C7 ] ||
        ! cmp -s <(head -n 787 "$f") <(tail -n 787 "$f"); then
        ve_fail "$1: $2 did not record two whole updates of 787 lines ($n lines)"
    fi
}

# ports: two converters (KELVO0001, KELVO0002) on two loggers, updated at once with --all-ports
# and with two --port; then a port that another program (busybox sleep) holds open.
ve_ports() {
    local n=${#ve_failures[@]} p1 p2 pid
    ve_order+=(two holder)
    ve_note[two]="--all-ports, then --port ttyUSB0 --port ttyUSB1"
    ve_note[holder]="sleep 100 </dev/ttyUSB0 & before --port /dev/ttyUSB0"
    ve_sim_start two-1 --preset entry9 && p1=$ve_pty &&
        ve_sim_start two-2 --preset entry9 && p2=$ve_pty || return 0
    ve_boot ports ports "$p1" KELVO0001 "$p2" KELVO0002
    ve_wait_exit ports 120
    ve_rc[two]="$(ve_step_rc ports two-all)/$(ve_step_rc ports two-ports)"
    ve_expect ports two-all 0
    ve_expect ports two-ports 0
    if ! grep -qx "KELVO-PORT KELVO0001 ttyUSB0" <<<"$(ve_console ports)" ||
        ! grep -qx "KELVO-PORT KELVO0002 ttyUSB1" <<<"$(ve_console ports)"; then
        ve_fail "ports: KELVO0001 and KELVO0002 are not ttyUSB0 and ttyUSB1"
    fi
    ve_expect_two_updates ports two-1
    ve_expect_two_updates ports two-2
    ve_note[two]+=" | each record: two updates of 787 lines"
    ve_rc[holder]=$(ve_step_rc ports holder)
    ve_expect ports holder 10
    pid=$(ve_console ports | sed -n 's/^KELVO-HOLDER pid=//p')
    ve_expect_text ports holder "Reason: in use by another program: sleep (pid ${pid:-?})"
    ve_note[holder]+=" | $(grep -m 1 -o 'Reason:.*' <<<"$(ve_step_out ports holder)" || true)"
    ve_scenario_end ports "$n"
}

ve_run() {
    local f
    for f in "$ve_sim_exe" "$ve_cli_exe"; do
        if [ ! -x "$f" ]; then
            ve_fail "missing $f"
            return 0
        fi
    done
    if ! install_missing --no-recommends qemu-system-x86 busybox-static cpio python3 binutils \
        gcc libc6-dev; then
        ve_skip_banner "QEMU, busybox-static or cpio could not be installed"
        return 0
    fi
    if ! ve_kernel=$("$root/scripts/build-vm-kernel" --print-prefix); then
        say "fetching Debian's kernel package into $ve_kernel (once; later runs reuse it)"
        if ! "$root/scripts/build-vm-kernel" ||
            ! ve_kernel=$("$root/scripts/build-vm-kernel" --print-prefix); then
            ve_skip_banner "Debian's kernel package could not be fetched and unpacked"
            return 0
        fi
    fi
    rm -rf "$ve_dir"
    mkdir -p "$ve_dir"
    ve_initramfs
    echo "guest: $ve_kernel, initramfs $(du -h "$ve_initrd" | cut -f1)"
    ve_update
    ve_list
    ve_unplug
    ve_moments
    ve_settings
    ve_ports
}

say "kelvo-update in a QEMU guest behind Linux's USB serial driver against kelvo-logger-sim"
trap 've_cleanup' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
ve_t0=$SECONDS
ve_run

if [ ${#ve_order[@]} -gt 0 ]; then
    printf '\n%-15s %-9s %s\n' scenario "exit" "what happened"
    for ve_key in "${ve_order[@]}"; do
        printf '%-15s %-9s %s\n' "$ve_key" "${ve_rc[$ve_key]:-?}" "${ve_note[$ve_key]}"
    done
    echo "(exit statuses of kelvo-update in the guest; $((SECONDS - ve_t0)) s)"
fi
ve_done
if [ ${#ve_failures[@]} -gt 0 ]; then
    say "kelvo-update in a QEMU guest: ${#ve_failures[@]} failure(s)"
    printf '  %s\n' "${ve_failures[@]}"
    exit 1
fi
