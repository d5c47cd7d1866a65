# Shared by the desktop test scripts: Wine needs a display, and every Wine
# process of a run (wineserver included) must start inside the same xvfb-run.
#
#   desktop_run SECONDS COMMAND...   runs COMMAND inside xvfb-run, killed at
#                                    the deadline; returns its exit code
#   desktop_prefix_up / _down        inside desktop_run: a prefix of its own at
#                                    $WINEPREFIX, created once, server kept up
DESKTOP_PREFIX=${DESKTOP_PREFIX:-$QB_BUILD/wineprefix-desktop}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree=d;mshtml=d"

desktop_run()
{
    local limit=$1 rc=0
    shift
    timeout -k 10 "$limit" xvfb-run -a -s "-screen 0 1024x768x24" "$@" || rc=$?
    [ $rc = 124 ] && echo "desktop: deadline of $limit s passed" >&2
    return $rc
}

# The server's streams must not hold the caller's pipes open (CTest waits for
# them to close).
desktop_prefix_up()
{
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        mkdir -p "$WINEPREFIX"
        wineboot -i </dev/null >/dev/null 2>&1
        wineserver -w </dev/null >/dev/null 2>&1
    fi
    wineserver -p </dev/null >/dev/null 2>&1
}

desktop_prefix_down()
{
    wineserver -k </dev/null >/dev/null 2>&1 || true
}

# Scripts that use the desktop world (world-desktop) call
#   desktop_world_script DEADLINE_S "$0" "$@"
# first: the outer run starts the script again inside xvfb-run and brings the
# world down afterwards (after a deadline too); the inner run returns here.
world() { "$QB_SOURCE/tools/world" "$@"; }
desktop_world_script() {
    local deadline=$1 script=$2
    shift 2
    export QUENBRAX_WORLD=$QB_BUILD/world-desktop
    [ "${1:-}" = --inside ] && return 0
    desktop_run "$deadline" bash "$script" --inside
    local rc=$?
    world down >/dev/null 2>&1
    exit $rc
}
