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
# The win32 preset cross-built and its imports checked, then the black-box
# cases run against imgstrip.exe under wine (in one wine prefix made first:
# its first start takes seconds and talks on stderr).
# Without the tools the suite is skipped, except in CI.
(
    problem() { echo "windows: $*"; exit 1; }
    if ! command -v i686-w64-mingw32-g++ >/dev/null || ! command -v wine >/dev/null; then
        [ "${CI:-}" != true ] || problem "i686-w64-mingw32-g++ and wine are needed in CI"
        echo "SKIP: the Windows suite (needs i686-w64-mingw32-g++ and wine)"
        exit 0
    fi
    win=$root/win32 tests=$root/wine
    echo "== win32 build, in $win"
    cmake --preset win32 -B "$win" >/dev/null
    cmake --build "$win" -j "$jobs"
    exe=$(cd "$win" && pwd)/imgstrip.exe
    imports=$(i686-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' | sort | tr '\n' ' ')
    [ "$imports" = "KERNEL32.dll msvcrt.dll " ] || problem "imgstrip.exe imports: $imports"

    echo "== black-box cases under wine, in $tests"
    rm -rf "$tests/prefix"
    mkdir -p "$tests/prefix"
    export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    WINEPREFIX=$(cd "$tests/prefix" && pwd)
    trap 'wineserver -k 2>/dev/null || true' EXIT
    wineboot -i >/dev/null 2>&1 || problem "wineboot could not make a wine prefix"
    cmake --preset release -B "$tests" -DIMGSTRIP_WINE_PROGRAM="$exe" >/dev/null
    cmake --build "$tests" -j "$jobs" --target blackbox_tests
    ctest --test-dir "$tests" -j "$jobs" -L wine --output-on-failure

    echo "windows: passed"
)

# ---- Slow tests (release build only)

# ---- Install, man page and packages

# ---- Fuzzing and static analysis
