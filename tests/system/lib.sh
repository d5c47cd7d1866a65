# Helpers for script tests that run Quenbrax.exe in the simulated world.
# Source it first thing:  . "$QB_SOURCE/tests/system/lib.sh"   (bash only)
#
# World and programs
#   world_up [ARGS]        tools/world up --fresh ARGS: drivers running, demo volumes
#                          mounted (unless --empty), no plans, log or session links
#   qb ARGS...             Quenbrax.exe ARGS, stdin /dev/null, stdout+stderr into a
#                          file; sets QB_OUT (its path) and QB_RC (exit code)
#   simctl ARGS...         simctl in the world; fails the test on a non-zero exit
#   simctl_try ARGS...     the same, returning simctl's exit code instead
#   world_exec PROG ARGS   tools/world exec, bounded by the deadline
#   holder_start ARGS...   holder in the background (stop file and time limit added);
#                          returns once it printed its pid: HOLDER_PID (Windows pid),
#                          HOLDER (its number for holder_stop)
#   holder_stop [N]        stop holder N (default: the last one) and wait for it
#   winpath PATH           the Windows name (Z:\...) of a unix path
#   volume_dir X           the unix backing folder of the volume mounted as X:
# Assertions (each failure names the calling line; the script goes on, and fails
# at its end)
#   expect_rc N            QB_RC is N
#   expect_line TEXT       QB_OUT has a line that is exactly TEXT (CR ignored)
#   expect_text TEXT       QB_OUT contains TEXT;  expect_no_text TEXT: it does not
#   expect_eq ACTUAL EXPECTED [WHAT]   expect_contains TEXT PART [WHAT]
#   fail MESSAGE           record a failure;  die MESSAGE: fail and stop now
# Time
#   Every script has a deadline (QB_DEADLINE seconds, default 300): each program
#   call is bounded by the time left, and a watchdog ends the script when it
#   passes. deadline SECONDS sets a new one, counted from now.
# QB_TMP is a scratch folder of the script, removed when it passes.

QB_SOURCE=${QB_SOURCE:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}
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

# Where the test script called in from: the innermost frame outside this file.
_qb_where() {
    local i
    for ((i = 1; i < ${#BASH_SOURCE[@]}; i++)); do
        if [ "${BASH_SOURCE[$i]}" != "$_qb_lib" ]; then
            echo "$(basename "${BASH_SOURCE[$i]}"):${BASH_LINENO[$((i - 1))]}"
            return
        fi
    done
    echo "$(basename "$_qb_script")"
}

fail() {
    QB_FAILS=$((QB_FAILS + 1))
    echo "FAIL $(_qb_where): $*" >&2
}

die() {
    fail "$@"
    exit 1
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
}

world_exec() {
    timeout -k 5 "$(_qb_time_left)" "$QB_SOURCE/tools/world" exec "$@"
}

qb() {
    QB_CALLS=$((QB_CALLS + 1))
    QB_OUT=$QB_TMP/qb.$QB_CALLS.out
    world_exec quenbrax "$@" </dev/null >"$QB_OUT" 2>&1
    QB_RC=$?
    if [ -z "${QB_QUIET:-}" ]; then
        echo "--- qb $* (exit $QB_RC)"
        tr -d '\r' <"$QB_OUT"
    fi
    return 0
}

simctl_try() {
    world_exec simctl "$@" </dev/null
}

simctl() {
    local rc
    world_exec simctl "$@" </dev/null
    rc=$?
    [ $rc = 0 ] || fail "simctl $* exited with $rc"
    return $rc
}

winpath() {
    local path
    path=$(realpath -m "$1")
    echo "Z:${path//\//\\}"
}

volume_dir() {
    local letter=${1:0:1}
    echo "$QUENBRAX_WORLD/volumes/${letter^^}"
}

holder_start() {
    local n=${#QB_HOLDERS[@]}
    local stop=$QB_TMP/holder.$n.stop out=$QB_TMP/holder.$n.out left
    left=$(_qb_time_left)
    timeout -k 5 "$left" "$QB_SOURCE/tools/world" exec holder "$@" --until "$(winpath "$stop")" \
        --seconds "$left" </dev/null >"$out" 2>&1 &
    QB_HOLDERS[$n]=$!
    QB_HOLDER_STOPS[$n]=$stop
    HOLDER=$n
    HOLDER_PID=
    local i
    for ((i = 0; i < 300; i++)); do
        HOLDER_PID=$(sed -n 's/^pid \([0-9]*\).*/\1/p' "$out" 2>/dev/null | head -n 1)
        [ -n "$HOLDER_PID" ] && return 0
        if ! kill -0 "${QB_HOLDERS[$n]}" 2>/dev/null; then
            die "holder $* ended before it was ready: $(tr -d '\r' <"$out")"
        fi
        sleep 0.1
    done
    die "holder $* did not report its pid within 30 s"
}

holder_stop() {
    local n=${1:-$HOLDER} i
    local pid=${QB_HOLDERS[$n]:-}
    [ -n "$pid" ] || return 0
    touch "${QB_HOLDER_STOPS[$n]}"
    for ((i = 0; i < 100; i++)); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$pid" 2>/dev/null; then
        kill -TERM "$pid" 2>/dev/null
        fail "holder $n did not stop within 10 s"
    fi
    wait "$pid" 2>/dev/null
    QB_HOLDERS[$n]=
}

# ---- assertions ----

expect_rc() {
    [ "$QB_RC" = "$1" ] || fail "exit code $QB_RC, expected $1"
}

expect_line() {
    tr -d '\r' <"$QB_OUT" | grep -qxF -- "$1" || fail "no line '$1' in the output"
}

expect_text() {
    tr -d '\r' <"$QB_OUT" | grep -qF -- "$1" || fail "no '$1' in the output"
}

expect_no_text() {
    ! tr -d '\r' <"$QB_OUT" | grep -qF -- "$1" || fail "unexpected '$1' in the output"
}

expect_eq() {
    [ "$1" = "$2" ] || fail "${3:-value}: got '$1', expected '$2'"
}

expect_contains() {
    case "$1" in *"$2"*) ;; *) fail "${3:-text}: '$2' not found in '$1'" ;; esac
}

# ---- end of the script ----

_qb_finish() {
    local rc=$? n
    # A watchdog subshell ended before it dropped the inherited traps must not
    # clean up (or report) for the script.
    [ "$BASHPID" = "$$" ] || exit $rc
    trap - EXIT TERM INT
    for n in "${!QB_HOLDERS[@]}"; do holder_stop "$n"; done
    [ -n "${_qb_watchdog:-}" ] && kill "$_qb_watchdog" 2>/dev/null
    [ $rc = 0 ] && [ $QB_FAILS -gt 0 ] && rc=1
    if [ $rc = 0 ]; then
        rm -rf "$QB_TMP"
        echo "PASS $(basename "$_qb_script")"
    else
        echo "FAILED $(basename "$_qb_script") ($QB_FAILS failed checks; files in $QB_TMP)" >&2
    fi
    exit $rc
}
trap _qb_finish EXIT
trap 'exit 1' TERM INT
deadline "${QB_DEADLINE:-300}"
