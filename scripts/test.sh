#!/usr/bin/env bash
# Builds imgstrip and runs every test: the optimised build, then the build
# with AddressSanitizer and UndefinedBehaviorSanitizer.
#
# BUILD_ROOT (default: build) is where the build trees go, one per preset.
# FUZZ_SECONDS (default: 60) is how long each fuzz target runs.
set -euo pipefail
cd "$(dirname "$0")/.."
root=${BUILD_ROOT:-build}
mkdir -p "$root"
root=$(cd "$root" && pwd)  # absolute: cppcheck misreads a compile database given by a relative path
jobs=$(nproc 2>/dev/null || echo 2)

native() {
    local preset=$1 dir=$root/$1
    echo "== $preset build, in $dir"
    cmake --preset "$preset" -B "$dir" >/dev/null
    cmake --build "$dir" -j "$jobs"
    ctest --test-dir "$dir" -j "$jobs" --output-on-failure -LE slow
}

native release
native debug

# ---- Windows build under wine
# The win32 preset cross-built and its imports checked, then its unit tests
# and the black-box cases against imgstrip.exe run under wine (in one wine
# prefix made first: its first start takes seconds and talks on stderr),
# then the release zip.
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

    echo "== unit tests and black-box cases under wine, in $win and $tests"
    rm -rf "$tests/prefix"
    mkdir -p "$tests/prefix"
    export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    WINEPREFIX=$(cd "$tests/prefix" && pwd)
    trap 'wineserver -k 2>/dev/null || true' EXIT
    wineboot -i >/dev/null 2>&1 || problem "wineboot could not make a wine prefix"
    ctest --test-dir "$win" -j "$jobs" --output-on-failure
    cmake --preset release -B "$tests" -DIMGSTRIP_WINE_PROGRAM="$exe" >/dev/null
    cmake --build "$tests" -j "$jobs" --target blackbox_tests
    ctest --test-dir "$tests" -j "$jobs" -L wine --output-on-failure

    rm -rf "$win/package"
    cpack --config "$win/CPackConfig.cmake" -B "$win/package" >/dev/null
    zip=$(echo "$win"/package/imgstrip-*-win32.zip)
    [ -f "$zip" ] || problem "cpack made no imgstrip-*-win32.zip"
    listing=$(cmake -E tar tf "$zip")
    for name in imgstrip.exe README.md; do
        grep -qx "imgstrip-[^/]*-win32/$name" <<<"$listing" || problem "$(basename "$zip") holds no $name"
    done
    echo "windows: passed, $zip"
)

# ---- Slow tests (release build only)
# A 3 GiB input converted in full; skipped, visibly, without 3.3 GiB free.
echo "== slow tests, in $root/release"
ctest --test-dir "$root/release" -L slow --output-on-failure

# ---- Install, man page and packages
# The release build installed into a scratch prefix, the manual page checked
# by groff, and as root the Debian package installed, run and removed.
(
    echo "== install, man page and package"
    release=$root/release sample=$PWD/examples/sample.wbmp
    scratch=$(mktemp -d)
    trap 'rm -rf "$scratch"' EXIT
    problem() { echo "install: $*"; exit 1; }
    # converts PROGRAM: the usage line with status 1, then the sample converted.
    converts() {
        local out
        out=$("$1"; echo "/$?")
        [ "$out" = $'Usage: imgstrip input.wbmp output.scrn\r\n/1' ] || problem "$1 alone: $(printf %q "$out")"
        out=$("$1" "$sample" "$scratch/sample.scrn"; echo "/$?")
        [ "$out" = $'Done...\r\n/0' ] || problem "$1 on the sample: $(printf %q "$out")"
        tail -c +3 "$sample" | cmp -s - "$scratch/sample.scrn" || problem "$1 wrote a wrong screen image"
    }

    cmake --install "$release" --prefix "$scratch/prefix" >/dev/null
    [ -x "$scratch/prefix/bin/imgstrip" ] || problem "no bin/imgstrip in the prefix"
    cmp -s docs/imgstrip.1 "$scratch/prefix/share/man/man1/imgstrip.1" || problem "no share/man/man1/imgstrip.1 in the prefix"
    converts "$scratch/prefix/bin/imgstrip"

    if command -v groff >/dev/null; then
        warnings=$(groff -ww -z -man docs/imgstrip.1 2>&1)
        [ -z "$warnings" ] || problem "groff on docs/imgstrip.1: $warnings"
    elif [ "${CI:-}" = true ]; then
        problem "groff is missing"
    else
        echo "SKIP: the manual page check (groff is missing)"
    fi

    if [ "$(id -u)" != 0 ] || ! command -v dpkg >/dev/null; then
        [ "${CI:-}" != true ] || problem "the Debian package needs root and dpkg in CI"
        echo "SKIP: the Debian package (needs root and dpkg)"
        exit 0
    fi
    if dpkg -s imgstrip >/dev/null 2>&1 && [ "${CI:-}" != true ]; then
        echo "SKIP: the Debian package (imgstrip is installed already; left alone)"
        exit 0
    fi
    cpack --config "$release/CPackConfig.cmake" -G DEB -B "$scratch/package" >/dev/null
    deb=$(echo "$scratch"/package/imgstrip_*.deb)
    [ -f "$deb" ] || problem "cpack made no imgstrip_*.deb"
    [ "$(dpkg-deb -f "$deb" Package Architecture | tr '\n' ' ')" = "Package: imgstrip Architecture: $(dpkg --print-architecture) " ] ||
        problem "$(basename "$deb"): wrong name or architecture"
    dpkg -i "$deb" >/dev/null
    trap 'dpkg -r imgstrip >/dev/null 2>&1; rm -rf "$scratch"' EXIT
    [ -f /usr/share/man/man1/imgstrip.1 ] || problem "the package holds no manual page"
    converts /usr/bin/imgstrip
    dpkg -r imgstrip >/dev/null
    trap 'rm -rf "$scratch"' EXIT
    [ ! -e /usr/bin/imgstrip ] && [ ! -e /usr/share/man/man1/imgstrip.1 ] || problem "dpkg -r left files behind"
    ! dpkg -s imgstrip >/dev/null 2>&1 || problem "dpkg -r left the package installed"
    echo "install, man page and package: passed"
)

# The benchmark's smoke run: the script keeps working, the tools agree on the bytes.
echo "== benchmark, quick"
status=0
bench/run.sh --quick --program "$root/release/imgstrip" || status=$?
if [ $status = 77 ] && [ "${CI:-}" != true ]; then
    echo "SKIP: the benchmark (a tool it needs is missing)"
elif [ $status != 0 ]; then
    echo "bench/run.sh --quick failed ($status)"
    exit 1
fi

# ---- Fuzzing and static analysis
# Each libFuzzer target runs for FUZZ_SECONDS (default 60), both at once, on
# a scratch copy of its corpus; a failing input fails the suite and is kept
# in $root/fuzz/artifacts. Then clang-tidy (.clang-tidy) and cppcheck over
# src/: the POSIX files through the release build's compile commands, the
# Windows files through a configured win32 tree. A missing tool skips its
# part visibly, except in CI.
(
    problem() { echo "fuzz/static: $*"; exit 1; }
    missing() {
        [ "${CI:-}" != true ] || problem "$1 is needed in CI"
        echo "SKIP: $2 ($1 is missing)"
    }
    scratch=$(mktemp -d)
    trap 'rm -rf "$scratch"' EXIT

    echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' >"$scratch/probe.cpp"
    if ! command -v clang++ >/dev/null || ! clang++ -fsanitize=fuzzer "$scratch/probe.cpp" -o "$scratch/probe" 2>/dev/null; then
        missing "clang++ with libFuzzer" "fuzzing"
    else
        fuzz=$root/fuzz seconds=${FUZZ_SECONDS:-60}
        echo "== fuzzing for ${seconds} s per target, in $fuzz"
        cmake --preset fuzz -B "$fuzz" >/dev/null
        cmake --build "$fuzz" -j "$jobs" --target command_line_fuzz conversion_fuzz
        rm -rf "$fuzz/artifacts"
        mkdir -p "$fuzz/artifacts"
        targets=(command_line conversion) pids=()
        for target in "${targets[@]}"; do
            cp -r "fuzz/corpus/$target" "$scratch/$target"
            "$fuzz/fuzz/${target}_fuzz" -max_total_time="$seconds" -timeout=5 -rss_limit_mb=512 \
                -print_final_stats=1 -artifact_prefix="$fuzz/artifacts/$target-" "$scratch/$target" \
                >"$scratch/$target.log" 2>&1 &
            pids+=($!)
        done
        failed=
        for i in "${!targets[@]}"; do
            target=${targets[$i]}
            if wait "${pids[$i]}"; then
                echo "${target}_fuzz: $(grep -E '^#[0-9]+[[:space:]]+DONE' "$scratch/$target.log" | tr -s ' \t' ' ')"
            else
                tail -n 30 "$scratch/$target.log"
                failed+=" ${target}_fuzz"
            fi
        done
        if [ -n "$failed" ]; then
            for input in "$fuzz"/artifacts/*; do
                [ -f "$input" ] && { echo "$input:"; od -An -c "$input" | head -n 20; }
            done
            problem "failing inputs from$failed, kept in $fuzz/artifacts (once fixed, add them to fuzz/corpus/)"
        fi
    fi

    posix_sources=$(find src -name '*.cpp' ! -name '*_win32.cpp' | sort)
    win32_sources=$(find src -name '*.cpp' ! -name '*_posix.cpp' | sort)
    win32=$root/win32-analysis
    have_win32=
    if ! command -v i686-w64-mingw32-g++ >/dev/null; then
        missing "i686-w64-mingw32-g++" "static analysis of the Windows files"
    elif ! cmake --list-presets 2>/dev/null | grep -q '"win32"'; then
        echo "SKIP: static analysis of the Windows files (no win32 preset yet)"
    else
        cmake --preset win32 -B "$win32" >/dev/null
        have_win32=yes
    fi

    if ! command -v clang-tidy >/dev/null; then
        missing clang-tidy "clang-tidy"
    else
        echo "== clang-tidy over src/"
        # 2 files per process, $jobs processes at once; any finding is an error.
        xargs -P "$jobs" -n 2 clang-tidy -p "$root/release" --quiet <<<"$posix_sources" 2>&1 |
            grep -v ' warnings\? generated\.$' >"$scratch/tidy.log" || true
        if [ -n "$have_win32" ]; then
            # clang finds the mingw C++ headers only when told: the cross
            # compiler's own C++ and Windows directories, after clang's.
            tidy_win32=(--extra-arg=--target=i686-w64-mingw32 --extra-arg=-nostdinc
                        "--extra-arg=-isystem$(clang++ -print-resource-dir)/include")
            for dir in $(i686-w64-mingw32-g++ -E -x c++ -v /dev/null 2>&1 |
                         sed -n '/<\.\.\.> search starts/,/End of/s/^ \(.*\(c++\|mingw32\/include\).*\)$/\1/p'); do
                tidy_win32+=("--extra-arg=-isystem$dir")
            done
            xargs -P "$jobs" -n 2 clang-tidy -p "$win32" --quiet "${tidy_win32[@]}" <<<"$win32_sources" 2>&1 |
                grep -v ' warnings\? generated\.$' >>"$scratch/tidy.log" || true
        fi
        if [ -s "$scratch/tidy.log" ]; then
            cat "$scratch/tidy.log"
            problem "clang-tidy has findings"
        fi
        echo "clang-tidy: clean"
    fi

    if ! command -v cppcheck >/dev/null; then
        missing cppcheck "cppcheck"
    else
        echo "== cppcheck over src/"
        checks=(--enable=warning,style,performance,portability --error-exitcode=1 --inline-suppr --quiet
                --std=c++20 "--file-filter=$PWD/src/*")
        cppcheck "${checks[@]}" --project="$root/release/compile_commands.json" || problem "cppcheck has findings (POSIX)"
        if [ -n "$have_win32" ]; then
            # The cross build passes its include path in a response file, which cppcheck does not read.
            cppcheck "${checks[@]}" --project="$win32/compile_commands.json" --platform=win32A -Isrc ||
                problem "cppcheck has findings (Windows)"
        fi
        echo "cppcheck: clean"
    fi
)
