# Terminal test harness: runs Windows programs under Wine inside detached tmux
# sessions, so that each gets a real console (keys arrive as key events, colours
# come out as escape sequences, the screen can be read back).
#
#   . "$QB_SOURCE/tests/terminal/lib.sh"
#   term_init 120                          # whole-script deadline + clean-up trap
#   term_start probe 80 25 "$QB_BUILD/bin/keywatch_probe.exe" watch
#   term_wait probe "ready" 20             # wait for a text on the screen
#   term_keys probe f                      # tmux send-keys: f, F (Shift+F), Escape, C-c, Up, F5...
#   term_capture probe -e                  # print the screen (-e: with colour escapes)
#   status=$(term_exit_status probe 10)    # wait for the program to end, print its exit code
#   term_stop probe
#
# Functions:
#   term_init DEADLINE_S        Call first. After DEADLINE_S seconds the script is
#                               ended with a message; on any exit every session
#                               of this script is ended (its own tmux server).
#   term_start NAME COLS ROWS PROGRAM [ARGS...]
#                               Runs PROGRAM under tools/wine-run in a new session
#                               NAME of exactly COLS x ROWS (no status line). The
#                               pane stays after the program ends, so its last
#                               screen and exit code can still be read.
#   term_keys NAME KEYS...      tmux send-keys (key names or literal text).
#   term_text NAME TEXT         Sends TEXT literally, character by character.
#   term_wait NAME TEXT DEADLINE_S
#                               Returns 0 once TEXT (a fixed string) is in the
#                               pane (history included); after DEADLINE_S prints
#                               the pane and returns 1.
#   term_capture NAME [-e]      Prints the pane's history and screen (-e keeps
#                               colour escapes). After the program has ended,
#                               tmux usually adds a last line "Pane is dead
#                               (status N...)" and scrolls the screen up by one
#                               line for it (not when it missed the end, below).
#   term_screen NAME [-e]       Prints the visible screen only (for rows/columns).
#   term_running NAME           Returns 0 while the program still runs.
#   term_exit_status NAME DEADLINE_S
#                               Waits until the program ends and prints its exit
#                               code ("signal N" when a signal ended it); prints
#                               "timeout" and returns 1 after DEADLINE_S.
#   term_stop NAME              Ends the session (and the program in it).
#   term_sleep SECONDS          Sleeps in a way the deadline can interrupt (a plain
#                               long `sleep` holds the deadline off until it ends).
#   term_ms                     Prints a clock in milliseconds, for measured waits.
#   term_fail MESSAGE           Prints MESSAGE and exits with 1.
#   term_check CONDITION_TEXT COMMAND...
#                               Runs COMMAND; prints "ok"/"FAIL" with the text and
#                               counts failures in term_failures.
#
# What Wine's console host does under tmux (checked with small programs):
# - Keys typed before the program first asks for console input (a wait on the
#   input handle, a peek or a read) meet the terminal's line mode: they are
#   echoed and reach the program only after Enter. Send keys only after the
#   program has shown that it watches the input.
# - "A" (upper case) arrives as Shift down, A down and up with SHIFT_PRESSED,
#   Shift up; C-a and M-a likewise with Ctrl and Alt. tmux sends "S-F" as the
#   three characters S, -, F: use "F" for Shift+F.
# - Escape arrives as VK 27 with character 0 (Windows gives character 27);
#   Enter as VK 13 with character 13; cursor and function keys without one.
# - C-c raises CTRL_C_EVENT while processed input is on.
# - GetConsoleWindow gives a hidden window that belongs to Wine's console host,
#   so the program never owns a visible console window here.
#
# Every script runs against its own tmux server (socket qb-<build dir>-<pid>), so
# tests of several build directories and helpers never meet. Wine uses the
# build's prefix ($QB_BUILD/wineprefix) unless WINEPREFIX is set.

: "${QB_SOURCE:=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}"
: "${QB_BUILD:=$QB_SOURCE/build}"
: "${WINEPREFIX:=$QB_BUILD/wineprefix}"
: "${WINEDEBUG:=-all}"
export QB_SOURCE QB_BUILD WINEPREFIX WINEDEBUG

term_socket="qb-$(basename "$QB_BUILD")-$$"
term_failures=0
term_watchdog=
term_dir=

term__tmux() {
    tmux -L "$term_socket" -f "$term_dir/tmux.conf" "$@"
}

term_cleanup() {
    if [ -n "$term_dir" ]; then
        term__tmux kill-server >/dev/null 2>&1
        # tmux leaves its socket file behind.
        rm -f "${TMUX_TMPDIR:-/tmp}/tmux-$(id -u)/$term_socket"
        rm -rf "$term_dir"
        term_dir=
    fi
    if [ -n "$term_watchdog" ]; then
        kill "$term_watchdog" 2>/dev/null
        term_watchdog=
    fi
}

term_init() {
    local deadline=${1:-120}
    term_dir=$(mktemp -d "${TMPDIR:-/tmp}/qb-term.XXXXXX")
    # The pane stays after the program ends; no status line, so the pane has
    # exactly the size asked for.
    cat >"$term_dir/tmux.conf" <<'EOF'
set -g remain-on-exit on
set -g status off
set -g history-limit 2000
EOF
    trap 'term_cleanup' EXIT
    trap 'echo "terminal test: deadline passed or interrupted" >&2; exit 124' TERM INT
    # The watchdog ends the script at the deadline; ended itself, it ends its sleep.
    (
        trap 'kill $sleeper 2>/dev/null; exit 0' TERM
        sleep "$deadline" &
        sleeper=$!
        wait $sleeper
        kill -TERM $$ 2>/dev/null
    ) </dev/null >/dev/null 2>&1 &
    term_watchdog=$!
}

term_start() {
    local name=$1 cols=$2 rows=$3
    shift 3
    [ -n "$term_dir" ] || term_fail "term_init was not called"
    term__tmux new-session -d -s "$name" -x "$cols" -y "$rows" \
        env WINEPREFIX="$WINEPREFIX" WINEDEBUG="$WINEDEBUG" QB_BUILD="$QB_BUILD" \
        "$QB_SOURCE/tools/wine-run" "$@" ||
        term_fail "cannot start tmux session $name"
}

term_keys() {
    local name=$1
    shift
    term__tmux send-keys -t "$name" "$@"
}

term_text() {
    term__tmux send-keys -t "$1" -l "$2"
}

term_capture() {
    local name=$1
    shift
    term__tmux capture-pane -p -S - "$@" -t "$name"
}

term_screen() {
    local name=$1
    shift
    term__tmux capture-pane -p "$@" -t "$name"
}

term_wait() {
    local name=$1 text=$2 deadline=$3
    local end=$(( $(term_ms) + deadline * 1000 ))
    while [ "$(term_ms)" -lt "$end" ]; do
        if term_capture "$name" | grep -qF -- "$text"; then
            return 0
        fi
        sleep 0.1
    done
    echo "term_wait: \"$text\" not shown in $name within ${deadline}s; screen:" >&2
    term_capture "$name" | sed 's/^/  | /' >&2
    return 1
}

# Prints the pane's exit code once its program has ended ("signal N" when a
# signal ended it); prints nothing while it runs.
# tmux can miss the end of a program: when the pane's terminal closes it removes
# the utmp record through a helper process and sets SIGCHLD to the default
# action while that helper runs, so an exit that falls into that moment is never
# collected. The pane then never turns dead and its program stays a zombie; the
# zombie's wait status is still in the last field of /proc/PID/stat.
term__ended() {
    local info dead status signal pid stat
    info=$(term__tmux display-message -p -t "$1" \
        '#{pane_dead}|#{pane_dead_status}|#{pane_dead_signal}|#{pane_pid}' 2>/dev/null) ||
        return 0
    IFS='|' read -r dead status signal pid <<<"$info"
    if [ "$dead" = 1 ] && [ -n "$status" ]; then
        echo "$status"
        return 0
    fi
    if [ "$dead" = 1 ] && [ -n "$signal" ]; then
        echo "signal $signal"
        return 0
    fi
    stat=$(sed 's/.*) //' "/proc/$pid/stat" 2>/dev/null)
    if [ -n "$pid" ] && [ "${stat%% *}" = Z ]; then
        status=${stat##* }
        if [ $((status & 127)) = 0 ]; then
            echo $((status >> 8))
        else
            echo "signal $((status & 127))"
        fi
    fi
}

term_running() {
    [ -z "$(term__ended "$1")" ]
}

term_exit_status() {
    local name=$1 deadline=$2 status
    local end=$(( $(term_ms) + deadline * 1000 ))
    while [ "$(term_ms)" -lt "$end" ]; do
        status=$(term__ended "$name")
        if [ -n "$status" ]; then
            echo "$status"
            return 0
        fi
        sleep 0.05
    done
    echo timeout
    return 1
}

term_stop() {
    term__tmux kill-session -t "$1" >/dev/null 2>&1
    return 0
}

term_sleep() {
    sleep "$1" </dev/null >/dev/null 2>&1 &
    wait $!
}

term_ms() {
    date +%s%3N
}

term_fail() {
    echo "FAIL: $*" >&2
    exit 1
}

term_check() {
    local text=$1
    shift
    if "$@"; then
        echo "ok   $text"
    else
        echo "FAIL $text"
        term_failures=$((term_failures + 1))
    fi
}
