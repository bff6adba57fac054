# Sourced by the scripts: the source tree, the build folder, the set-up each of them
# does before its own work, and a cabinet simulator to run against.
# shellcheck shell=bash

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${TAVREL_BUILD_DIR:-$root/build}

# configure DIR [cmake option...]: Ninja, RelWithDebInfo unless an option says otherwise.
configure() {
    local dir=$1
    shift
    cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
}

# compile DIR [target...]: the targets given, or the whole tree.
compile() {
    local dir=$1
    shift
    if [ $# -eq 0 ]; then
        cmake --build "$dir"
    else
        cmake --build "$dir" --target "$@"
    fi
}

# set_up [package...] -- [target...]: installs what is missing (the packages on top
# of the usual ones), configures $build and builds the targets.
set_up() {
    local packages=()
    while [ $# -gt 0 ] && [ "$1" != -- ]; do
        packages+=("$1")
        shift
    done
    if [ $# -gt 0 ]; then shift; fi
    "$root/scripts/install-deps" "${packages[@]}"
    configure "$build"
    compile "$build" "$@"
}

# start_simulator INPUT LOG [option...]: the build's cabinet simulator in the
# background, taking commands from INPUT and writing to LOG; returns once it listens
# on every address it was given, and leaves its process id in $sim. A simulator that
# does not come up ends the calling shell.
start_simulator() {
    local input=$1 log=$2
    shift 2
    "$build/sim/tavrel-cabinet-sim" "$@" <"$input" >"$log" 2>&1 &
    sim=$!
    local _
    for _ in $(seq 200); do
        grep -qsE '^([0-9]+ )?ready;' "$log" && return 0
        kill -0 "$sim" 2>/dev/null || break
        sleep 0.05
    done
    echo "the cabinet simulator did not start:" >&2
    cat "$log" >&2
    stop_simulator
    exit 1
}

stop_simulator() {
    kill "$sim" 2>/dev/null || true
    wait "$sim" 2>/dev/null || true
}
