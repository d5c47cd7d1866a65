#!/bin/bash
# The layer order of src/: a folder includes only folders of a lower rank (and
# itself), the folder graph has no cycle, one file calls GetProcAddress, and no
# function is longer than 60 lines (signature to closing brace).
#   check_layers.sh [SRC]
src=${1:-$(dirname "$0")/../../src}
declare -A rank=([base]=0 [res]=0 [console]=1 [cryptdrv]=2 [handles]=2
                 [dosdevices]=2 [winactivate]=2 [diag]=2 [app]=3)
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

edges=""
while IFS=: read -r file _ line; do
    from=${file#"$src"/}; from=${from%%/*}
    to=$(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^/"]*\)\/.*/\1/p' <<<"$line")
    [ -z "$to" ] || [ "$to" = "$from" ] && continue
    [ -n "${rank[$from]}" ] || { fail "$file: folder $from has no rank"; continue; }
    [ -n "${rank[$to]}" ] || { fail "$file: includes unknown folder $to"; continue; }
    [ "${rank[$to]}" -lt "${rank[$from]}" ] ||
        fail "$file: $from (rank ${rank[$from]}) includes $to (rank ${rank[$to]})"
    edges+="$from $to"$'\n'
done < <(grep -rnH '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$src")
cycle=$(sort -u <<<"$edges" | tsort 2>&1 >/dev/null) || fail "include cycle between folders: $cycle"

callers=($(grep -rl GetProcAddress "$src"))
[ ${#callers[@]} -le 1 ] || fail "GetProcAddress in ${#callers[@]} files: ${callers[*]}"

# A definition starts at a line in column 0 that is no declaration; its body
# opens with "{" and closes with "}" in column 0.
while read -r where; do fail "$where"; done < <(find "$src" -name '*.cpp' -o -name '*.h' |
    xargs awk 'FNR == 1 { start = 0; body = 0 }
        /^[A-Za-z_]/ && !/;[ \t]*$/ && !body { start = FNR }
        /^\{/ && start { body = 1 }
        /^\}/ && body { if (FNR - start >= 60)
                            printf "%s:%d: function of %d lines\n", FILENAME, start, FNR - start + 1
                        body = 0; start = 0 }')

[ "$failures" -eq 0 ] && echo "layers: include order, one import table, function lengths all sound"
[ "$failures" -eq 0 ]
