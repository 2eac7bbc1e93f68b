#!/bin/sh
# Runs the interpreter benchmarks of bench/vm/ side by side: each program on
# our VM (assembled .qasm, no hook), on our VM with a line hook that does
# nothing, and the same program in Lua under lua5.4. Prints the median
# processor time of N runs of each and the ratios. Builds the Release
# runner first.
#
#   bench/vm_compare.sh [-n RUNS] [-b BUILD_DIR] [--no-build] [PROGRAM...]
#
# PROGRAM is a name from bench/vm/ (fib loop tables methods strings).
set -eu

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
runs=5
build="$root/build-vmbench"
do_build=1
while [ $# -gt 0 ]; do
    case "$1" in
    -n) runs=$2; shift 2 ;;
    -b) build=$2; shift 2 ;;
    --no-build) do_build=0; shift ;;
    -*) echo "usage: $0 [-n RUNS] [-b BUILD_DIR] [--no-build] [PROGRAM...]" >&2; exit 2 ;;
    *) break ;;
    esac
done
programs=${*:-fib loop tables methods strings}
lua=${LUA:-lua5.4}

if [ "$do_build" = 1 ]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DQM_BENCH=ON -DQM_TESTS=OFF -DQM_SANITIZE=OFF -DQM_FORCE_SWITCH=OFF >/dev/null
    cmake --build "$build" --target vm_run >/dev/null
fi
runner="$build/bench/vm_run"

# median of the numbers on a "times" line
median() {
    sed -n 's/^times //p' | tr ' ' '\n' | sort -g | awk '{ v[NR] = $1 } END {
        if (NR % 2) printf "%.1f", v[(NR + 1) / 2]; else printf "%.1f", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
result() { sed -n 's/^result //p'; }

printf '%-9s %10s %10s %9s %12s %10s\n' program "ours ms" "lua ms" ours/lua "hooked ms" hook/ours
status=0
for p in $programs; do
    ours_out=$("$runner" -n "$runs" "$here/vm/$p.qasm")
    hook_out=$("$runner" --hook -n "$runs" "$here/vm/$p.qasm")
    lua_out=$("$lua" "$here/vm_run.lua" "$here/vm/$p.lua" "$runs")
    ours=$(echo "$ours_out" | median)
    hooked=$(echo "$hook_out" | median)
    luat=$(echo "$lua_out" | median)
    r_ours=$(echo "$ours_out" | result)
    r_lua=$(echo "$lua_out" | result)
    printf '%-9s %10s %10s %9s %12s %10s' "$p" "$ours" "$luat" \
        "$(awk -v a="$ours" -v b="$luat" 'BEGIN { printf "%.2f", a / b }')" "$hooked" \
        "$(awk -v a="$hooked" -v b="$ours" 'BEGIN { printf "%.2f", a / b }')"
    if [ "$r_ours" != "$r_lua" ]; then
        printf '   RESULTS DIFFER: ours %s, lua %s' "$r_ours" "$r_lua"
        status=1
    fi
    printf '\n'
done
exit $status
