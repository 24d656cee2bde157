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
# elsewhere (CI, a log) about one line a minute tells how far it is, and the output of a failed
# build is shown without Ninja's step lines.
build_with_progress() {
    local start=$SECONDS
    if [ -t 1 ]; then
        "$@"
    else
        local log status last=$SECONDS line
        log=$(mktemp)
        set +e
        "$@" 2>&1 | tee "$log" | while IFS= read -r line; do
            if [[ $line =~ ^\[([0-9]+)/([0-9]+)\] ]] && ((SECONDS - last >= 60)); then
                last=$SECONDS
                echo "  building: step ${BASH_REMATCH[1]} of ${BASH_REMATCH[2]}," \
                    "$(((SECONDS - start) / 60)) min"
            fi
        done
        status=${PIPESTATUS[0]}
        set -e
        if [ "$status" -ne 0 ]; then
            grep -Ev '^\[[0-9]+/[0-9]+\] ' "$log" || true
            rm -f "$log"
            return "$status"
        fi
        rm -f "$log"
    fi
    echo "Built in $(((SECONDS - start) / 60)) min $(((SECONDS - start) % 60)) s"
}
