#!/usr/bin/env bash
# Builds imgstrip and runs every test: the optimised build, then the build
# with AddressSanitizer and UndefinedBehaviorSanitizer.
#
# BUILD_ROOT (default: build) is where the build trees go, one per preset.
set -euo pipefail
cd "$(dirname "$0")/.."
root=${BUILD_ROOT:-build}
jobs=$(nproc 2>/dev/null || echo 2)

native() {
    local preset=$1 dir=$root/$1
    echo "== $preset build, in $dir"
    cmake --preset "$preset" -B "$dir" >/dev/null
    cmake --build "$dir" -j "$jobs"
    ctest --test-dir "$dir" -j "$jobs" --output-on-failure
}

native release
native debug

# ---- Windows build under wine

# ---- Slow tests (release build only)

# ---- Install, man page and packages

# ---- Fuzzing and static analysis
