# The one library of the script tests (bash): the simulated world, holders,
# deadlines, assertions, tmux panes and the Xvfb desktop. Source it first:
#     . "$QB_SOURCE/tests/lib.sh"
#
# World and programs (the world of $QUENBRAX_WORLD, default $QB_BUILD/world)
#   world_up [ARGS]        tools/world up --fresh ARGS: demo volumes (unless
#                          --empty) with their docs\readme.txt alone, no plans,
#                          log or session links
#   world_exec PROG ARGS   tools/world exec, bounded by the deadline
#   qb ARGS                Quenbrax.exe ARGS, stdin /dev/null, stdout and stderr
#                          into a file: QB_OUT (its path), QB_RC (exit code)
#   world_run PROGRAM ARGS the same for another program
#   simctl ARGS            simctl in the world; a non-zero exit fails the test
#   requests               the request log since the last call, emptied, one
#                          "MS X:F:A" line per answered request (F force, A answer)
#   holder_start [-p PROGRAM] ARGS
#                          holder (or PROGRAM, which takes --until and --seconds
#                          too) in the background; returns once it printed its
#                          pid: HOLDER_PID (Windows pid), HOLDER (its number)
#   holder_stop [N]        let holder N (default: the last) go and wait for it
#   holder_stop_all        every holder, the last started first; numbers restart
#   winpath PATH           the Windows name (Z:\...) of a unix path
# Assertions: each failure names the calling line; the script goes on and fails
# at its end.
#   expect_rc N   expect_line TEXT (a whole line of QB_OUT)   expect_text TEXT
#   expect_no_text TEXT   expect_eq ACTUAL EXPECTED [WHAT]   out_text (QB_OUT, no CR)
#   check WHAT COMMAND...  fails with WHAT unless COMMAND succeeds
#   within SECONDS COMMAND...  true once COMMAND succeeds (tried every 0.1 s)
#   fail MESSAGE           record a failure;  die MESSAGE: fail and end now
# Time: every script has a deadline (QB_DEADLINE s, default 300); program calls
#   are bounded by the time left. deadline SECONDS sets a new one from now.
# Terminal (tmux; each script has a tmux server of its own)
#   term_start NAME COLS ROWS PROGRAM ARGS   PROGRAM under Wine in a pane of
#                          exactly that size, which stays after it ends (in
#                          $LANG, which sets Wine's code pages)
#   term_keys NAME KEYS    tmux send-keys;  term_wait NAME TEXT SECONDS
#   term_shows NAME TEXT   TEXT is in the pane (history and screen)
#   term_capture NAME [-e] history and screen (-e: colour escapes)
#   term_screen NAME [-e]  the screen only;  term_stop NAME
#   term_exit_status NAME SECONDS   the exit code once the program ended
#   line_colour NAME TEXT  SGR foreground of the screen line TEXT ("-": start-up
#                          colours);  line_row NAME TEXT: its row (0 = top)
# Desktop: on_desktop "$@" first thing runs the script again inside xvfb-run,
#   with a world of its own (world-desktop) that is taken down afterwards.
# QB_TMP is the script's scratch folder, removed when it passes.

QB_SOURCE=${QB_SOURCE:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
QB_BUILD=${QB_BUILD:-$QB_SOURCE/build}
QUENBRAX_WORLD=${QUENBRAX_WORLD:-$QB_BUILD/world}
export QB_SOURCE QB_BUILD QUENBRAX_WORLD
export WINEPREFIX=$QUENBRAX_WORLD/prefix WINEDEBUG=${WINEDEBUG:--all}

QB_FAILS=0
QB_CALLS=0
QB_HOLDERS=()       # unix pids of the holders, by number
QB_HOLDER_STOPS=()  # their stop files
QB_TMP=$(mktemp -d "${TMPDIR:-/tmp}/qbtest.XXXXXX")
_qb_lib=${BASH_SOURCE[0]}
_qb_script=${BASH_SOURCE[1]:-$0}
_qb_tmux=

# Where the test script called in from: the innermost frame outside this file.
_qb_where() {
    local i
    for ((i = 1; i < ${#BASH_SOURCE[@]}; i++)); do
        if [ "${BASH_SOURCE[$i]}" != "$_qb_lib" ]; then
            echo "$(basename "${BASH_SOURCE[$i]}"):${BASH_LINENO[$((i - 1))]}"
            return
        fi
    done
    basename "$_qb_script"
}

fail() {
    QB_FAILS=$((QB_FAILS + 1))
    echo "FAIL $(_qb_where): $*" >&2
}

die() { fail "$@"; exit 1; }
check() { "${@:2}" || fail "$1"; }
within() {
    local end=$(( $(date +%s%3N) + $1 * 1000 ))
    until "${@:2}"; do
        [ "$(date +%s%3N)" -lt "$end" ] || return 1
        sleep 0.1
    done
}

# ---- deadline ----

deadline() {
    QB_DEADLINE_AT=$((SECONDS + $1))
    [ -n "${_qb_watchdog:-}" ] && kill "$_qb_watchdog" 2>/dev/null
    local script_pid=$$
    (
        # Short sleeps: a sleep left behind by the end of this watchdog would
        # hold the test's output pipe open.
        while [ $SECONDS -lt $QB_DEADLINE_AT ]; do sleep 1 </dev/null >/dev/null 2>&1; done
        echo "FAIL $(basename "$_qb_script"): deadline of $1 s passed" >&2
        # The script ends (its trap cleans up) once what it waits for has
        # ended: the programs it started, each ended by its id.
        kill -TERM "$script_pid" 2>/dev/null
        local child
        for child in $(ps -o pid= --ppid "$script_pid"); do
            [ "$child" = "$BASHPID" ] || kill -TERM "$child" 2>/dev/null
        done
    ) </dev/null >/dev/null &
    _qb_watchdog=$!
}

# Seconds until the deadline (at least 1: the watchdog ends the script).
_qb_time_left() {
    local left=$((QB_DEADLINE_AT - SECONDS))
    [ $left -gt 0 ] || left=1
    echo $left
}

# ---- world and programs ----

world_up() {
    timeout -k 5 "$(_qb_time_left)" "$QB_SOURCE/tools/world" up --fresh "$@" >/dev/null ||
        die "tools/world up $* failed"
    find "$QUENBRAX_WORLD/volumes" -mindepth 2 ! -path '*/docs' ! -path '*/docs/readme.txt' \
        -delete 2>/dev/null
}

world_exec() { timeout -k 5 "$(_qb_time_left)" "$QB_SOURCE/tools/world" exec "$@"; }

qb() { world_run quenbrax "$@"; }
world_run() {
    QB_CALLS=$((QB_CALLS + 1))
    QB_OUT=$QB_TMP/qb.$QB_CALLS.out
    world_exec "$@" </dev/null >"$QB_OUT" 2>&1
    QB_RC=$?
}

simctl() { world_exec simctl "$@" </dev/null || fail "simctl $* exited with $?"; }

requests() {
    world_exec simctl log --clear </dev/null | tr -d '\r' |
        awk 'NF { sub(/force=/, "", $3); sub(/answer=/, "", $4); print $1, substr($2, 1, 2) $3 ":" $4 }'
}

winpath() { local path; path=$(realpath -m "$1"); echo "Z:${path//\//\\}"; }

holder_start() {
    local program=holder
    [ "$1" = -p ] && { program=$2; shift 2; }
    local n=${#QB_HOLDERS[@]} left i
    local stop=$QB_TMP/holder.$n.stop out=$QB_TMP/holder.$n.out
    rm -f "$stop" "$out"
    left=$(_qb_time_left)
    timeout -k 5 "$left" "$QB_SOURCE/tools/world" exec "$program" "$@" \
        --until "$(winpath "$stop")" --seconds "$left" </dev/null >"$out" 2>&1 &
    QB_HOLDERS[$n]=$!
    QB_HOLDER_STOPS[$n]=$stop
    HOLDER=$n
    for ((i = 0; i < 300; i++)); do
        HOLDER_PID=$(sed -n 's/^pid \([0-9]*\).*/\1/p' "$out" 2>/dev/null | head -n 1)
        [ -n "$HOLDER_PID" ] && return 0
        kill -0 "${QB_HOLDERS[$n]}" 2>/dev/null ||
            die "$program $* ended before it was ready: $(tr -d '\r' <"$out" | cut -c1-300)"
        sleep 0.1
    done
    die "$program $* did not report its pid within 30 s"
}

holder_stop() {
    local n=${1:-$HOLDER}
    local pid=${QB_HOLDERS[$n]:-}
    [ -n "$pid" ] || return 0
    touch "${QB_HOLDER_STOPS[$n]}"
    within 10 eval "! kill -0 $pid 2>/dev/null" ||
        { kill -TERM "$pid" 2>/dev/null; fail "holder $n did not stop within 10 s"; }
    wait "$pid" 2>/dev/null
    QB_HOLDERS[$n]=
}

holder_stop_all() {
    local n
    for ((n = ${#QB_HOLDERS[@]} - 1; n >= 0; n--)); do holder_stop "$n"; done
    QB_HOLDERS=()
}

# ---- assertions on QB_OUT ----

out_text() { tr -d '\r' <"$QB_OUT"; }

expect_rc() {
    [ "$QB_RC" = "$1" ] || fail "exit code $QB_RC, expected $1: $(out_text | tail -n 5)"
}

expect_line() { out_text | grep -qxF -- "$1" || fail "no line '$1' in the output"; }
expect_text() { out_text | grep -qF -- "$1" || fail "no '$1' in the output"; }
expect_no_text() { ! out_text | grep -qF -- "$1" || fail "unexpected '$1' in the output"; }
expect_eq() { [ "$1" = "$2" ] || fail "${3:-value}: got '$1', expected '$2'"; }

# ---- terminal (tmux) ----
# Wine's console host under tmux: keys typed before the program first asks for
# console input meet the terminal's line mode (echoed, delivered after Enter),
# so send keys only once the program watches its input. "F" arrives as Shift
# down, F with SHIFT_PRESSED, Shift up; Escape as VK 27 with character 0; C-c
# raises CTRL_C_EVENT. The console window belongs to Wine's console host and
# is hidden. Wine writes colour 10 as SGR 92, 12 as 91, 14 as 93, 15 as 97.

_term() { tmux -L "$_qb_tmux" -f "$QB_TMP/tmux.conf" "$@"; }

term_start() {
    local name=$1 cols=$2 rows=$3
    shift 3
    if [ -z "$_qb_tmux" ]; then
        _qb_tmux="qb-$(basename "$QB_BUILD")-$$"
        printf 'set -g remain-on-exit on\nset -g status off\nset -g history-limit 2000\n' \
            >"$QB_TMP/tmux.conf"
    fi
    _term new-session -d -s "$name" -x "$cols" -y "$rows" \
        env WINEPREFIX="$WINEPREFIX" WINEDEBUG="$WINEDEBUG" LANG="$LANG" "$QB_SOURCE/tools/wine-run" "$@" ||
        die "cannot start tmux session $name"
}

term_keys() { _term send-keys -t "$1" "${@:2}"; }
term_capture() { _term capture-pane -p -S - "${@:2}" -t "$1"; }
term_screen() { _term capture-pane -p "${@:2}" -t "$1"; }
term_stop() { _term kill-session -t "$1" >/dev/null 2>&1; return 0; }
term_ms() { date +%s%3N; }
term_shows() { term_capture "$1" | grep -qF -- "$2"; }

term_wait() {
    within "$3" term_shows "$1" "$2" && return 0
    echo "term_wait: \"$2\" not shown in $1 within $3 s; screen:" >&2
    term_capture "$1" | sed 's/^/  | /' >&2
    return 1
}

# The pane's exit code once its program has ended ("signal N"), else false.
# tmux can miss the end of a program (it sets SIGCHLD to the default action
# while its utmp helper runs): the pane never turns dead and the program stays
# a zombie, whose wait status is the last field of /proc/PID/stat.
_term_ended() {
    local info dead status signal pid stat
    info=$(_term display-message -p -t "$1" \
        '#{pane_dead}|#{pane_dead_status}|#{pane_dead_signal}|#{pane_pid}' 2>/dev/null) ||
        return 1
    IFS='|' read -r dead status signal pid <<<"$info"
    if [ "$dead" = 1 ] && [ -n "$status$signal" ]; then
        [ -n "$status" ] && echo "$status" || echo "signal $signal"
        return 0
    fi
    stat=$(sed 's/.*) //' "/proc/$pid/stat" 2>/dev/null)
    [ -n "$pid" ] && [ "${stat%% *}" = Z ] || return 1
    status=${stat##* }
    [ $((status & 127)) = 0 ] && echo $((status >> 8)) || echo "signal $((status & 127))"
}

term_exit_status() { within "$2" _term_ended "$1" || { echo timeout; return 1; }; }

# "FG|TEXT" per screen line: FG is the foreground of the line's first
# character. The attribute state runs on across lines, as tmux writes a change
# only where it happens.
term_colours() {
    term_screen "$1" -e | awk '{
        s = $0; text = ""; first = ""
        while (match(s, /\033\[[0-9;]*m/)) {
            before = substr(s, 1, RSTART - 1)
            if (first == "" && before != "") first = (fg == "" ? "-" : fg)
            text = text before
            n = split(substr(s, RSTART + 2, RLENGTH - 3), code, ";")
            if (n == 0) fg = ""
            for (i = 1; i <= n; i++) {
                c = code[i] + 0
                if (c == 0 || c == 39) fg = ""
                else if ((c >= 30 && c <= 37) || (c >= 90 && c <= 97)) fg = c
                else if (c == 38) i += (code[i + 1] == 5 ? 2 : 4)
            }
            s = substr(s, RSTART + RLENGTH)
        }
        if (first == "" && s != "") first = (fg == "" ? "-" : fg)
        text = text s
        sub(/ +$/, "", text)
        print (first == "" ? "-" : first) "|" text
    }'
}

line_colour() {
    term_colours "$1" |
        T=$2 awk '{ i = index($0, "|") } substr($0, i + 1) == ENVIRON["T"] { c = substr($0, 1, i - 1) } END { print c }'
}

line_row() {
    term_screen "$1" | sed 's/ *$//' | T=$2 awk '$0 == ENVIRON["T"] { r = NR - 1 } END { print r }'
}

# ---- desktop (Xvfb) ----
# Wine needs a display for windows, and every Wine process of the world
# (wineserver included) must start inside the same xvfb-run.
on_desktop() {
    export QUENBRAX_WORLD=$QB_BUILD/world-desktop WINEPREFIX=$QB_BUILD/world-desktop/prefix
    [ "${1:-}" = --inside ] && return 0
    local rc=0
    timeout -k 10 "$(_qb_time_left)" xvfb-run -a -s "-screen 0 1024x768x24" \
        bash "$_qb_script" --inside || rc=$?
    "$QB_SOURCE/tools/world" down >/dev/null 2>&1
    QB_DESKTOP_OUTER=1
    exit $rc
}

# ---- end of the script ----

_qb_finish() {
    local rc=$?
    # A watchdog subshell ended before it dropped the inherited traps must not
    # clean up (or report) for the script.
    [ "$BASHPID" = "$$" ] || exit $rc
    trap - EXIT TERM INT
    holder_stop_all
    [ -n "$_qb_tmux" ] && _term kill-server >/dev/null 2>&1 &&
        rm -f "${TMUX_TMPDIR:-/tmp}/tmux-$(id -u)/$_qb_tmux"
    [ -n "${_qb_watchdog:-}" ] && kill "$_qb_watchdog" 2>/dev/null
    [ $rc = 0 ] && [ $QB_FAILS -gt 0 ] && rc=1
    if [ $rc = 0 ]; then
        rm -rf "$QB_TMP"
        [ -n "${QB_DESKTOP_OUTER:-}" ] || echo "PASS $(basename "$_qb_script")"
    else
        echo "FAILED $(basename "$_qb_script") ($QB_FAILS failed checks; files in $QB_TMP)" >&2
    fi
    exit $rc
}
trap _qb_finish EXIT
trap 'exit 1' TERM INT
deadline "${QB_DEADLINE:-300}"
