#!/usr/bin/env bash
# Measures imgstrip beside dd, tail and cp on the same inputs: wall time
# (hyperfine), system calls (strace -f -c) and peak memory (/usr/bin/time -v),
# then plots time against input size with gnuplot.
#
#   bench/run.sh [--quick] [--program PATH] [--plot FILE]
#
# --program  the imgstrip to measure (default build/release/imgstrip, built
#            with the release preset if it is missing)
# --plot     where the PNG goes (default docs/performance.png; with --quick,
#            the scratch directory, which is removed at the end)
# --quick    a smoke run: few repetitions, a 16 MiB input instead of 256 MiB
#
# Needs hyperfine, strace, GNU time (/usr/bin/time), gnuplot, netpbm, a C++
# compiler, readelf and coreutils (exits 77 when one is missing). Prints the
# machine and Markdown tables on standard output.
set -euo pipefail
caller=$PWD
cd "$(dirname "$0")/.."
repo=$PWD

program=build/release/imgstrip
program_given=no
plot=
quick=no
while [ $# -gt 0 ]; do
    case $1 in
        --quick) quick=yes ;;
        --program) program=$2; program_given=yes; shift ;;
        --plot) plot=$2; shift ;;
        *) echo "usage: bench/run.sh [--quick] [--program PATH] [--plot FILE]" >&2; exit 2 ;;
    esac
    shift
done

for tool in hyperfine strace /usr/bin/time gnuplot pbmmake pbmtowbmp readelf c++ dd tail cp; do
    command -v "$tool" >/dev/null || { echo "bench: $tool is missing" >&2; exit 77; }
done

if [ ! -x "$program" ]; then
    if [ $program_given = yes ]; then echo "bench: no program at $program" >&2; exit 2; fi
    echo "== building $program" >&2
    cmake --preset release >/dev/null && cmake --build --preset release --target imgstrip >&2
fi
program=$(cd "$caller" && realpath "$program")
if [ -n "$plot" ]; then
    case $plot in /*) ;; *) plot=$caller/$plot ;; esac
elif [ $quick = no ]; then
    plot=$repo/docs/performance.png
fi

if [ $quick = yes ]; then
    small_runs=20 big_runs=3 big_size=$((16 << 20)) sweep_top=$((16 << 20))
else
    small_runs=300 big_runs=40 big_size=$((256 << 20)) sweep_top=$((256 << 20))
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
[ -n "$plot" ] || plot=$work/performance.png

# ---- Inputs

# bytes N: N random bytes (nothing for a file system or cp to skip as holes).
bytes() { head -c "$1" /dev/urandom; }

cp "$repo/examples/sample.wbmp" sample.wbmp                  # 96 x 64, 772 bytes
{ printf '\000\000\360\201\177'; bytes 7650; } > wide.wbmp     # width byte 240, 255 rows of 30
pbmmake -gray 120 120 | pbmtowbmp > netpbm.wbmp               # the widest WBMP that converts
{ printf '\000\000\360'; bytes $((big_size - 3)); } > big.wbmp

# The empty C++ program, linked like the program under test.
echo 'int main() {}' > empty.cpp
if ! readelf -lW "$program" | grep -q INTERP; then
    empty_link=-static
elif readelf -dW "$program" | grep -q 'libstdc++'; then
    empty_link=
else
    empty_link="-static-libstdc++ -static-libgcc"
fi
# shellcheck disable=SC2086  # empty_link is a list of flags
c++ -std=c++20 -O3 -DNDEBUG empty.cpp -o empty $empty_link

# ---- The four commands, on input $1. Run with a working directory of $work.

names=(imgstrip dd tail cp)
command_for() {
    case $1 in
        imgstrip) echo "$program $2 out-imgstrip" ;;
        dd) echo "dd if=$2 of=out-dd bs=64K skip=2 iflag=skip_bytes status=none" ;;
        tail) echo "sh -c 'tail -c +3 $2 > out-tail'" ;;
        cp) echo "cp $2 out-cp" ;;
    esac
}

# medians FILE: the median seconds of each command in a hyperfine JSON export, one a line.
medians() { grep -o '"median": *[-0-9.eE+]*' "$1" | sed 's/.*: *//'; }

# timed INPUT RUNS: hyperfine over the four commands; prints their medians in order.
# Before each run of a large input, sync (untimed) writes out the previous
# run's output, so that no command pays for another's write-back.
timed() {
    local input=$1 runs=$2 warmup=$(( $2 < 10 ? 1 : 10 ))
    local commands=() prepare=()
    for name in "${names[@]}"; do commands+=("$(command_for "$name" "$input")"); done
    [ "$(stat -c %s "$input")" -ge $((16 << 20)) ] && prepare=(--prepare sync)
    hyperfine -N --style none --runs "$runs" --warmup "$warmup" "${prepare[@]}" \
        --export-json "time-$input.json" "${commands[@]}" >/dev/null 2>&1
    medians "time-$input.json"
}

# syscalls NAME INPUT: "total read/write/seek/stat" of one traced run. tail's
# redirect is made by this shell, outside the trace, so no sh is counted.
syscalls() {
    local name=$1 input=$2
    case $name in
        imgstrip) strace -f -c -o trace "$program" "$input" out-imgstrip >/dev/null ;;
        dd) strace -f -c -o trace dd if="$input" of=out-dd bs=64K skip=2 iflag=skip_bytes status=none ;;
        tail) strace -f -c -o trace tail -c +3 "$input" > out-tail ;;
        cp) strace -f -c -o trace cp "$input" out-cp ;;
    esac
    awk '
        $NF == "total" { total = $4 }
        $NF ~ /^(read|write|pread64|pwrite64|readv|writev|lseek|_llseek|stat|lstat|fstat|newfstatat|fstatat64|statx|stat64|lstat64|fstat64)$/ { io += $4 }
        END { printf "%d %d\n", total, io }' trace
}

# peak COMMAND...: the largest maximum resident set size (KiB) of three runs.
peak() {
    local best=0 kib
    for _ in 1 2 3; do
        /usr/bin/time -v -o rss "$@" >/dev/null
        kib=$(awk -F': *' '/Maximum resident set size/ { print $2 }' rss)
        [ "$kib" -gt "$best" ] && best=$kib
    done
    echo "$best"
}
peak_of() {
    local name=$1 input=$2
    case $name in
        imgstrip) peak "$program" "$input" out-imgstrip ;;
        dd) peak dd if="$input" of=out-dd bs=64K skip=2 iflag=skip_bytes status=none ;;
        tail) peak sh -c "tail -c +3 $input > out-tail" ;;
        cp) peak cp "$input" out-cp ;;
    esac
}

# ---- The machine

describe() {
    local cpu cores fs compiler
    cpu=$(awk -F': *' '/^model name/ { print $2; exit }' /proc/cpuinfo)
    cores=$(nproc)
    fs=$(df -PT . | awk 'NR == 2 { print $2 " on " $1 }')
    compiler=$(readelf -p .comment "$program" 2>/dev/null | grep -o 'GCC: .*\|clang version .*' | head -1)
    echo "- CPU: $cpu, $cores cores"
    echo "- Kernel: $(uname -sr)"
    echo "- Scratch directory: $fs"
    echo "- Repository at commit $(git -C "$repo" rev-parse --short HEAD 2>/dev/null || echo unknown)$(git -C "$repo" diff --quiet HEAD -- src 2>/dev/null || echo ', with changes to src/ not committed')"
    echo "- Program: built by ${compiler:-an unknown compiler}; empty C++ program linked with: ${empty_link:-the default shared runtime}"
    echo "- Tools: $(hyperfine --version), $(strace -V | head -1), $(dd --version | head -1)"
    echo "- Load average at the start: $(cut -d' ' -f1-3 /proc/loadavg) (other work on the machine makes the times noisy)"
}

echo "## Machine"
echo
describe
echo

# ---- Time, system calls, memory on the four named inputs

inputs=(sample.wbmp wide.wbmp netpbm.wbmp big.wbmp)
big_label="$((big_size >> 20)) MiB"
label() {
    case $1 in
        sample.wbmp) echo "96 × 64 ($(stat -c %s sample.wbmp) B)" ;;
        wide.wbmp) echo "240 wide, hand-built ($(stat -c %s wide.wbmp) B)" ;;
        netpbm.wbmp) echo "120 × 120, pbmtowbmp ($(stat -c %s netpbm.wbmp) B)" ;;
        big.wbmp) echo "$big_label" ;;
    esac
}

empty_kib=$(peak ./empty)
declare -A median io total rss
for input in "${inputs[@]}"; do
    echo "== $input" >&2
    runs=$small_runs
    [ "$input" = big.wbmp ] && runs=$big_runs
    mapfile -t times < <(timed "$input" "$runs")
    for i in "${!names[@]}"; do median[${names[$i]},$input]=${times[$i]}; done
    # Compare like with like: every tool must have written the same bytes.
    for other in dd tail; do
        cmp -s out-imgstrip "out-$other" || { echo "bench: $other wrote other bytes than imgstrip for $input" >&2; exit 1; }
    done
    for name in "${names[@]}"; do
        read -r total[$name,$input] io[$name,$input] < <(syscalls "$name" "$input")
        rss[$name,$input]=$(peak_of "$name" "$input")
    done
done

ms() { awk -v s="$1" 'BEGIN { printf "%.3f", s * 1000 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

echo "## Results"
echo
echo "Median wall time over $small_runs runs ($big_runs for $big_label), as a ratio to dd's;"
echo "system calls of one run (all, and read/write/seek/stat-family); peak resident memory."
echo "tail runs under \`sh -c\` for its redirect, so its times include a shell start;"
echo "its system calls and memory are tail's own (the redirect made outside the trace)."
echo "The empty C++ program peaks at $empty_kib KiB."
echo
echo "| Input | Command | Median | vs dd | System calls | read/write/seek/stat | Peak memory |"
echo "|---|---|---:|---:|---:|---:|---:|"
for input in "${inputs[@]}"; do
    for name in "${names[@]}"; do
        m=${median[$name,$input]}
        printf '| %s | %s | %s ms | %s | %s | %s | %s KiB |\n' "$(label "$input")" "$name" "$(ms "$m")" \
            "$(ratio "$m" "${median[dd,$input]}")" "${total[$name,$input]}" "${io[$name,$input]}" "${rss[$name,$input]}"
    done
done
echo

# ---- The targets for imgstrip

verdict() { if [ "$1" = 1 ]; then echo met; else echo MISSED; fi; }
a=$(awk -v i="${median[imgstrip,sample.wbmp]}" -v d="${median[dd,sample.wbmp]}" 'BEGIN { print (i <= d) }')
b=$(( io[imgstrip,wide.wbmp] < 30 && io[imgstrip,wide.wbmp] == io[imgstrip,sample.wbmp] ))
c_time=$(awk -v i="${median[imgstrip,big.wbmp]}" -v d="${median[dd,big.wbmp]}" 'BEGIN { print (i <= 1.1 * d) }')
above=$(( rss[imgstrip,big.wbmp] - empty_kib ))
c_mem=$(( above < 2048 ))
echo "## Targets"
echo
echo "- (a) 96 × 64 image, median time no more than dd's: $(ms "${median[imgstrip,sample.wbmp]}") ms against $(ms "${median[dd,sample.wbmp]}") ms ($(ratio "${median[imgstrip,sample.wbmp]}" "${median[dd,sample.wbmp]}")×): $(verdict "$a")"
echo "- (b) 240-wide image, under 30 read/write/seek/stat calls and as many as for the 96 × 64 one: ${io[imgstrip,wide.wbmp]} against ${io[imgstrip,sample.wbmp]}: $(verdict "$b")"
echo "- (c) $big_label, time within 1.1× of dd's: $(ms "${median[imgstrip,big.wbmp]}") ms against $(ms "${median[dd,big.wbmp]}") ms ($(ratio "${median[imgstrip,big.wbmp]}" "${median[dd,big.wbmp]}")×): $(verdict "$c_time")"
echo "- (c) $big_label, peak memory under 2 MiB above an empty C++ program: ${rss[imgstrip,big.wbmp]} KiB, $above KiB above: $(verdict "$c_mem")"
echo

echo "Load average after the table: $(cut -d' ' -f1-3 /proc/loadavg)"
echo

# ---- Time against input size

echo "== size sweep" >&2
printf '# bytes %s\n' "${names[*]}" > sweep.dat
size=1024 xtics=
while [ "$size" -le "$sweep_top" ]; do
    if [ "$size" -ge $((1 << 20)) ]; then tic="$((size >> 20)) MiB"; else tic="$((size >> 10)) KiB"; fi
    xtics+="${xtics:+, }\"$tic\" $size"
    head -c "$size" big.wbmp > "sweep-$size"
    if [ $quick = yes ]; then runs=3; elif [ "$size" -ge $((16 << 20)) ]; then runs=10; else runs=100; fi
    echo "$size $(timed "sweep-$size" "$runs" | tr '\n' ' ')" >> sweep.dat
    rm -f "sweep-$size"
    size=$((size * 4))
done

gnuplot <<EOF
if (strstrt(GPVAL_TERMINALS, "pngcairo") > 0) {
    set terminal pngcairo size 900,600 font ",10"
} else {
    set terminal png size 900,600
}
set output "$plot"
set title "Median wall time against input size (whole process, $(nproc) cores, warm cache)"
set xlabel "input size (bytes)"
set ylabel "median time (s)"
set logscale xy
set xrange [700:$((sweep_top * 3 / 2))]
set xtics ($xtics)
set format y "%g"
set key top left
set grid
plot "sweep.dat" using 1:2 with linespoints lw 2 title "imgstrip", \
     "" using 1:3 with linespoints title "dd bs=64K", \
     "" using 1:4 with linespoints title "sh -c 'tail -c +3'", \
     "" using 1:5 with linespoints title "cp (floor)"
EOF
if [ "$plot" = "$work/performance.png" ]; then
    echo "== plot made and removed with the scratch directory (give --plot to keep it)" >&2
else
    echo "== plot: $plot" >&2
fi
