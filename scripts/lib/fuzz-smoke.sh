# Sourced by scripts/run-tests: builds the libFuzzer targets (scripts/fuzz) and runs each for a
# short time under ASan + UBSan, the checked-in seeds and regression inputs first. Any finding
# fails the run. Only when clang or libFuzzer cannot be installed is the part skipped, loudly
# (under CI=true that fails the run too).
# KELVO_FUZZ_SMOKE_SECONDS sets the time per target (default 10).

fuzz_smoke() {
    local seconds=${KELVO_FUZZ_SMOKE_SECONDS:-10} rc=0 target log
    say "fuzz smoke: each target ${seconds} s under ASan + UBSan"
    "$root/scripts/fuzz" --build || rc=$?
    if [ "$rc" -eq 3 ]; then
        stage_unavailable "FUZZ SMOKE" "clang with libFuzzer could not be installed on this machine" \
            "The fuzz targets did NOT run."
        return 0
    fi
    [ "$rc" -eq 0 ] || return "$rc"
    for target in $("$root/scripts/fuzz" --list); do
        log=$build/fuzz/$target-smoke.log
        if ! "$root/scripts/fuzz" "$target" "$seconds" >"$log" 2>&1; then
            tail -n 80 "$log"
            echo "fuzz smoke: $target found a fault; the input is in $build/fuzz/artifacts/$target/" >&2
            return 1
        fi
        printf '%-16s %s\n' "$target" "$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1)"
    done
}

fuzz_smoke
