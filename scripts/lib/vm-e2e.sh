# kelvo-update behind Linux's real USB serial driver: a QEMU guest (Debian's kernel, TCG) whose
# emulated FTDI converter (usb-serial, driven by ftdi_sio as /dev/ttyUSB0) is wired to the
# pseudo-terminal of kelvo-logger-sim on the host. The guest is a small initramfs: busybox, the
# USB modules, the native kelvo-update with its shared libraries and tests/vm/init, which runs
# the scenario named on the kernel command line and reports between markers on the console.
# The host unplugs and replugs the converter through QMP (tests/vm/qmp.py).
#
# Sourced by scripts/run-tests after the native build. Expects $root, $build, say() and
# install_missing of scripts/lib/common.sh, and kelvo-update and kelvo-logger-sim in
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

ve_stop_pid() {
    [ -n "$1" ] || return 0
    kill -TERM "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}

ve_qemu_stop() {
    ve_stop_pid "$ve_qemu_pid"
    ve_qemu_pid=
}

ve_sims_stop() {
    local p
    for p in "${ve_sim_pids[@]}"; do ve_stop_pid "$p"; done
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

ve_skip_banner() {
    say "VM END-TO-END PART SKIPPED: $*"
    echo "!!! kelvo-update did NOT run behind a real USB serial driver in a QEMU guest. !!!"
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

# ve_boot NAME SCENARIO: QEMU in the background with the converter on $ve_pty, the console in
# $ve_dir/NAME.console and the monitor (QMP) on $ve_dir/NAME.qmp.
ve_boot() {
    local name=$1 scenario=$2
    rm -f "$ve_dir/$name.console" "$ve_dir/$name.qmp"
    qemu-system-x86_64 -accel tcg -m 256 -nodefaults -display none \
        -serial "file:$ve_dir/$name.console" -no-reboot \
        -kernel "$ve_kernel/vmlinux" -initrd "$ve_initrd" \
        -append "console=ttyS0 quiet panic=-1 kelvo=$scenario" \
        -device qemu-xhci,id=xhci \
        -chardev "serial,id=lg,path=$ve_pty" \
        -device "usb-serial,id=logger,chardev=lg,bus=xhci.0,serial=$ve_serial" \
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

# ve_qmp ARGS...: tests/vm/qmp.py on the monitor of the unplug scenario's guest.
ve_qmp() { python3 "$root/tests/vm/qmp.py" "$ve_dir/unplug.qmp" "$@"; }

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
        ve_qmp unplug logger &&
            ve_wait_for unplug 60 1 '^KELVO-UNPLUGGED$' &&
            ve_qmp plug logger lg "$ve_serial" &&
            ve_wait_for unplug 60 1 '^KELVO-END replug-info rc=' &&
            ve_qmp unplug logger &&
            ve_wait_for unplug 60 2 '^KELVO-UNPLUGGED$' &&
            ve_sim_start unplug-rerun --preset entry9 --start bootloader &&
            ve_qmp rewire lg "$ve_pty" &&
            ve_qmp plug logger lg "$ve_serial"
    }; then
        ve_fail "unplug: the converter could not be pulled out and plugged in again"
    fi
    ve_wait_exit unplug 120
    ve_rc[unplug]="$(ve_step_rc unplug unplug-update)/$(ve_step_rc unplug replug-info)"
    ve_rc[unplug]+="/$(ve_step_rc unplug replug-update)"
    ve_expect unplug unplug-update 11
    ve_expect_text unplug unplug-update \
        "The logger is waiting in its bootloader: run the update again to finish it."
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

ve_run() {
    local f
    for f in "$ve_sim_exe" "$ve_cli_exe"; do
        if [ ! -x "$f" ]; then
            ve_fail "missing $f"
            return 0
        fi
    done
    if ! install_missing --no-recommends qemu-system-x86 busybox-static cpio python3 binutils; then
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
}

say "kelvo-update in a QEMU guest behind Linux's USB serial driver against kelvo-logger-sim"
trap 've_cleanup' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
ve_t0=$SECONDS
ve_run

if [ ${#ve_order[@]} -gt 0 ]; then
    printf '\n%-10s %-10s %s\n' scenario "exit" "what happened"
    for ve_key in "${ve_order[@]}"; do
        printf '%-10s %-10s %s\n' "$ve_key" "${ve_rc[$ve_key]:-?}" "${ve_note[$ve_key]}"
    done
    echo "(exit statuses of kelvo-update in the guest; $((SECONDS - ve_t0)) s)"
fi
ve_done
if [ ${#ve_failures[@]} -gt 0 ]; then
    say "kelvo-update in a QEMU guest: ${#ve_failures[@]} failure(s)"
    printf '  %s\n' "${ve_failures[@]}"
    exit 1
fi
