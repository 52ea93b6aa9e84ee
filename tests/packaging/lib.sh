# shellcheck shell=bash
# Helpers shared by the packaging checks. A missing tool is a failure, never a skip: the checks
# are only worth something when they run.
set -euo pipefail

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

need() {
    local tool
    for tool in "$@"; do
        command -v "$tool" >/dev/null ||
            fail "$tool is not installed (scripts/setup.sh installs it)"
    done
}

# Starts a program headless from wherever it lies and waits until its main window has been
# painted and put on the (offscreen) screen, which Qt's widget painting log tells. A program that
# cannot load a library or its platform plugin, or that crashes while building its window, is
# gone before that. Then it must stay up for another second before it is ended.
start_and_stop() {
    local program=$1 log=$2 pid status tries=0
    QT_QPA_PLATFORM=offscreen QT_LOGGING_RULES='qt.widgets.painting=true' \
        "$program" >"$log" 2>&1 &
    pid=$!
    until grep -qs '^qt.widgets.painting: Flushing .* of MainWindow(' "$log"; do
        if ! kill -0 "$pid" 2>/dev/null; then
            status=0
            wait "$pid" || status=$?
            grep -v '^qt\.' "$log" >&2 || true
            fail "$program exited (status $status) before its window was shown"
        fi
        tries=$((tries + 1))
        if [ "$tries" -gt 300 ]; then
            kill -KILL "$pid"
            fail "$program did not show its window within 30 seconds"
        fi
        sleep 0.1
    done
    sleep 1
    if ! kill -0 "$pid" 2>/dev/null; then
        grep -v '^qt\.' "$log" >&2 || true
        fail "$program died after showing its window"
    fi
    kill -TERM "$pid"
    status=0
    wait "$pid" || status=$?
    # 143 = ended by SIGTERM, which Qt programs do not catch.
    [ "$status" -eq 143 ] || fail "$program ended with status $status"
    echo "ok: $program showed its window and stayed up until it was told to stop"
}
