# Helpers of the open-handle report's terminal scripts: Quenbrax in a tmux
# pane against the simulated world, and the colours of its lines.
# Source after setting QB_SOURCE/QB_BUILD; it sources lib.sh and calls term_init.
#
#   handles_init DEADLINE_S      term_init, the world up (fresh), clean-up trap:
#                                holders stopped; the world taken down again
#                                when this script brought it up
#   holder_run NAME PROGRAM ARGS...
#                                a program of the world (holder or a copy, or
#                                handle_hog) that holds until holder_end NAME;
#                                waits until it printed its pid
#   holder_end NAME              lets it go and waits for it
#   line_colour NAME TEXT        foreground of the last screen line whose text is
#                                TEXT: an SGR number (97 bright white) or "-" for
#                                the start-up colour; empty when no line shows it
#   line_row NAME TEXT           its row on the screen (0 = top); empty when none

export QUENBRAX_WORLD=${QUENBRAX_WORLD:-$QB_BUILD/world}
export WINEPREFIX=$QUENBRAX_WORLD/prefix
. "$QB_SOURCE/tests/terminal/lib.sh"

handles_world_was_up=0
declare -A handles_holder_pids=()

handles_cleanup() {
    local name
    for name in "${!handles_holder_pids[@]}"; do holder_end "$name"; done
    term_cleanup
    [ $handles_world_was_up = 1 ] || "$QB_SOURCE/tools/world" down >/dev/null 2>&1
}

handles_init() {
    term_init "$1"
    handles_tmp=$term_dir
    trap 'handles_cleanup' EXIT
    "$QB_SOURCE/tools/world" status >/dev/null 2>&1 && handles_world_was_up=1
    timeout 240 "$QB_SOURCE/tools/world" up --fresh >/dev/null || term_fail "the world did not come up"
}

holder_run() {
    local name=$1
    shift
    local stop="Z:${handles_tmp//\//\\}\\$name.stop"
    rm -f "$handles_tmp/$name.stop" "$handles_tmp/$name.out"
    timeout 600 "$QB_SOURCE/tools/world" exec "$@" --until "$stop" </dev/null \
        >"$handles_tmp/$name.out" 2>&1 &
    handles_holder_pids[$name]=$!
    for _ in $(seq 1 300); do
        grep -q '^pid ' "$handles_tmp/$name.out" 2>/dev/null && return 0
        sleep 0.1
    done
    term_fail "$name did not start: $(cat "$handles_tmp/$name.out")"
}

holder_end() {
    local pid=${handles_holder_pids[$1]:-}
    [ -n "$pid" ] || return 0
    touch "$handles_tmp/$1.stop"
    wait "$pid" 2>/dev/null
    unset "handles_holder_pids[$1]"
}

# "FG|TEXT" per line of a capture with escapes: FG is the foreground of the
# line's first character. The attribute state runs on across lines, as tmux
# writes a change only where it happens.
handles_colours() {
    awk '{
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
    term_screen "$1" -e | handles_colours |
        T=$2 awk '{ i = index($0, "|") } substr($0, i + 1) == ENVIRON["T"] { c = substr($0, 1, i - 1) } END { print c }'
}

line_row() {
    term_screen "$1" | sed 's/ *$//' |
        T=$2 awk '$0 == ENVIRON["T"] { r = NR - 1 } END { print r }'
}
