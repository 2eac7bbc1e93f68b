#!/bin/sh
# Runs the interpreter benchmarks of bench/vm/ side by side: each program on
# our VM (assembled .qasm, no hook), on our VM with a line hook that does
# nothing (on the program as it is, and on its copy in bench/vm/lines/ that
# carries the source lines of the Lua version, as compiled applets do), and
# the same program in Lua under lua5.4, without and with a line hook that
# does nothing; and, when it is installed, under LuaJIT's interpreter
# (`luajit -joff`, no target: for comparison). Every runner runs each
# program RUNS times in a process, in ROUNDS processes that take turns with
# the other runners', so that a change in the machine's load falls on all
# of them alike. Prints the best (lowest) processor time of each runner's
# runs and the ratios of those: another program on the machine can only
# add time, so the best run is the figure that repeats. A run after the
# first in a process starts from the heap and collector state the runs
# before it left, which moves its time by up to a factor of ten either way
# on both sides; so by default every run has a fresh process (RUNS 1). --no-hooks leaves
# out the three hooked runners (their columns print "-"), which take most
# of the time. Builds the Release runner first.
#
#   bench/vm_compare.sh [-n RUNS] [-r ROUNDS] [-b BUILD_DIR] [--no-build] [--no-hooks]
#                       [PROGRAM...]
#
# PROGRAM is a name from bench/vm/ (fib loop tables methods strings).
# Without one, trees and textwalk (the walk over a long text by character
# positions) run too.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
runs=1
rounds=9
build="$root/build-vmbench"
do_build=1
hooks=1
while [ $# -gt 0 ]; do
    case "$1" in
    -n) runs=$2; shift 2 ;;
    -r) rounds=$2; shift 2 ;;
    -b) build=$2; shift 2 ;;
    --no-build) do_build=0; shift ;;
    --no-hooks) hooks=0; shift ;;
    -*) echo "usage: $0 [-n RUNS] [-r ROUNDS] [-b BUILD_DIR] [--no-build] [--no-hooks] [PROGRAM...]" >&2
        exit 2 ;;
    *) break ;;
    esac
done
programs=${*:-fib loop tables methods strings}
# binary trees (many small tables made and dropped) and the text walk
[ $# -gt 0 ] || programs="$programs trees textwalk"
lua=${LUA:-lua5.4}
luajit=${LUAJIT:-$(command -v luajit || true)}

# clang, as the figures the engine is tuned against, unless CXX names another.
cxx=${CXX:-$(command -v clang++ || echo c++)}
cc=${CC:-$(command -v clang || echo cc)}
if [ "$do_build" = 1 ]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" \
        -DQM_BENCH=ON -DQM_TESTS=OFF -DQM_SANITIZE=OFF -DQM_FORCE_SWITCH=OFF >/dev/null
    cmake --build "$build" --target vm_run >/dev/null
fi
runner="$build/bench/vm_run"

# the lowest of the numbers on a "times" line ("-" when there are none)
best() {
    sed -n 's/^times //p' | tr ' ' '\n' | awk 'NF { if (n == 0 || $1 < v) v = $1; n++ } END {
        if (n) printf "%.1f", v; else printf "-" }'
}
result() { sed -n 's/^result //p'; }

printf '%-9s %9s %9s %9s %10s %9s %10s %9s %10s %9s' program "ours ms" "lua ms" ours/lua \
    "hooked ms" hook/ours "lined+hk" lhk/ours "lua+hk" lhk/lua
[ -n "$luajit" ] && printf ' %9s %9s' "ljit ms" ours/ljit
printf '\n'
status=0
for p in $programs; do
    # The runners take turns, ROUNDS times; each process runs the program
    # RUNS times.
    ours_out="times"; hook_out="times"; lua_out="times"; lined_out="times"; luah_out="times"
    jit_out="times"; r_jit=""
    lined="$here/vm/lines/$p.qasm"
    [ -f "$lined" ] || lined="$here/vm/$p.qasm"
    round=0
    while [ $round -lt "$rounds" ]; do
        o=$("$runner" -n "$runs" "$here/vm/$p.qasm")
        l=$("$lua" "$here/vm_run.lua" "$here/vm/$p.lua" "$runs")
        if [ "$hooks" = 1 ]; then
            h=$("$runner" --hook -n "$runs" "$here/vm/$p.qasm")
            hl=$("$runner" --hook -n "$runs" "$lined")
            lh=$("$lua" "$here/vm_run.lua" "$here/vm/$p.lua" "$runs" hook)
            hook_out="$hook_out $(echo "$h" | sed -n 's/^times //p')"
            lined_out="$lined_out $(echo "$hl" | sed -n 's/^times //p')"
            luah_out="$luah_out $(echo "$lh" | sed -n 's/^times //p')"
            r_lined=$(echo "$hl" | result)
        fi
        if [ -n "$luajit" ]; then
            j=$("$luajit" -joff "$here/vm_run.lua" "$here/vm/$p.lua" "$runs")
            jit_out="$jit_out $(echo "$j" | sed -n 's/^times //p')"
            r_jit=$(echo "$j" | result)
        fi
        ours_out="$ours_out $(echo "$o" | sed -n 's/^times //p')"
        lua_out="$lua_out $(echo "$l" | sed -n 's/^times //p')"
        r_ours=$(echo "$o" | result)
        r_lua=$(echo "$l" | result)
        [ "$hooks" = 1 ] || r_lined=$r_ours
        round=$((round + 1))
    done
    ours=$(echo "$ours_out" | best)
    hooked=$(echo "$hook_out" | best)
    luat=$(echo "$lua_out" | best)
    linedt=$(echo "$lined_out" | best)
    luah=$(echo "$luah_out" | best)
    ratio() {
        case "$1$2" in
        *-*) printf '-' ;;
        *) awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }' ;;
        esac
    }
    printf '%-9s %9s %9s %9s %10s %9s %10s %9s %10s %9s' "$p" "$ours" "$luat" "$(ratio "$ours" "$luat")" \
        "$hooked" "$(ratio "$hooked" "$ours")" "$linedt" "$(ratio "$linedt" "$ours")" \
        "$luah" "$(ratio "$luah" "$luat")"
    if [ -n "$luajit" ]; then
        jit=$(echo "$jit_out" | best)
        printf ' %9s %9s' "$jit" "$(ratio "$ours" "$jit")"
    fi
    if [ "$r_ours" != "$r_lua" ] || [ "$r_lined" != "$r_lua" ] ||
        { [ -n "$luajit" ] && [ "$r_jit" != "$r_lua" ]; }; then
        printf '   RESULTS DIFFER: ours %s, lua %s, luajit %s' "$r_ours" "$r_lua" "${r_jit:--}"
        status=1
    fi
    printf '\n'
done
exit $status
