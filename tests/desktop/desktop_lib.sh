# Shared by the desktop test scripts: a Wine prefix of their own whose whole
# life (wineserver included) runs inside xvfb-run, so that Wine has a display.
#
#   desktop_run SECONDS COMMAND...   runs COMMAND inside xvfb-run with
#                                    WINEPREFIX=$DESKTOP_PREFIX up; ends the
#                                    prefix's wineserver afterwards in any case
DESKTOP_PREFIX=${DESKTOP_PREFIX:-$QB_BUILD/wineprefix-desktop}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree=d;mshtml=d"

desktop_run()
{
    limit=$1; shift
    rc=0
    WINEPREFIX=$DESKTOP_PREFIX timeout -k 10 "$limit" xvfb-run -a -s "-screen 0 1024x768x24" \
        bash -c '
            # Inside xvfb-run: create the prefix once, keep its server up for
            # the run; its streams must not hold the caller'"'"'s pipes open.
            if [ ! -f "$WINEPREFIX/system.reg" ]; then
                mkdir -p "$WINEPREFIX"
                wineboot -i </dev/null >/dev/null 2>&1
                wineserver -w </dev/null >/dev/null 2>&1
            fi
            wineserver -p </dev/null >/dev/null 2>&1
            "$@"; rc=$?
            wineserver -k </dev/null >/dev/null 2>&1; exit $rc' desktop "$@" || rc=$?
    # A run cut off by the deadline leaves its server behind.
    WINEPREFIX=$DESKTOP_PREFIX wineserver -k </dev/null >/dev/null 2>&1 || true
    return $rc
}
