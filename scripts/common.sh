# Helpers for the scripts, sourced: quietly COMMAND..., build_with_progress COMMAND...

# Runs a command with its output kept aside; shows the output only when it fails.
quietly() {
    local log
    log=$(mktemp)
    if ! "$@" >"$log" 2>&1; then
        cat "$log"
        rm -f "$log"
        return 1
    fi
    rm -f "$log"
}

# Runs a build command (cmake --build ...). On a terminal Ninja shows its own progress line;
# elsewhere (CI, a log) a line a minute tells how far it is, and the output of a failed build is
# shown without Ninja's step lines.
build_with_progress() {
    local start=$SECONDS
    if [ -t 1 ]; then
        "$@"
    else
        local log pid status=0 last=$SECONDS step
        log=$(mktemp)
        "$@" >"$log" 2>&1 &
        pid=$!
        while kill -0 "$pid" 2>/dev/null; do
            sleep 1
            if ((SECONDS - last >= 60)); then
                last=$SECONDS
                step=$(grep -Eo '^\[[0-9]+/[0-9]+\]' "$log" | tail -n 1 | tr -d '[]') || true
                echo "  building: step ${step:-0/?}, $(((SECONDS - start) / 60)) min"
            fi
        done
        wait "$pid" || status=$?
        if [ "$status" -ne 0 ]; then
            grep -Ev '^\[[0-9]+/[0-9]+\] ' "$log" || true
            rm -f "$log"
            return "$status"
        fi
        rm -f "$log"
    fi
    echo "Built in $(((SECONDS - start) / 60)) min $(((SECONDS - start) % 60)) s"
}
