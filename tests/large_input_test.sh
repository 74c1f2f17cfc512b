#!/usr/bin/env bash
# Converts a 3 GiB input completely: sizes and positions past 2 GiB and past
# 32 bits of any sign. The input is sparse, with marker bytes around the
# 2 GiB edge and at the end; the output is written in full (3 GiB of disk).
#
#   large_input_test.sh PROGRAM [DIRECTORY]
#
# Exit status 77 (skipped) when the directory's file system has too little
# free space.
set -euo pipefail
program=$(realpath "$1")
parent=${2:-.}

gib=$((1 << 30))
length=$((3 * gib))
need_kib=$((length / 1024 + 256 * 1024))  # the output, and a margin
free_kib=$(df -Pk "$parent" | awk 'NR == 2 { print $4 }')
if ((free_kib < need_kib)); then
    echo "SKIPPED: $((free_kib / 1024)) MiB free in $parent, $((need_kib / 1024)) MiB needed"
    exit 77
fi

work=$(mktemp -d "$parent/large-input.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

# offset, byte (hexadecimal): the header, then markers around 2 GiB and at the end
markers=(
    0 5a 1 a5 2 08 3 ff
    $((2 * gib - 2)) 11 $((2 * gib - 1)) 22 $((2 * gib)) 33 $((2 * gib + 1)) 44
    $((gib)) 55 $((length - 2)) 66 $((length - 1)) 77
)
truncate -s "$length" in.wbmp
for ((i = 0; i < ${#markers[@]}; i += 2)); do
    printf "\\x${markers[i + 1]}" | dd of=in.wbmp bs=1 seek="${markers[i]}" conv=notrunc status=none
done

byte_at() { dd if="$1" bs=1 skip="$2" count=1 status=none | od -An -tx1 | tr -d ' \n'; }

start=$(date +%s)
set +e
out=$("$program" in.wbmp out.scrn)
status=$?
set -e
echo "converted $length bytes in $(($(date +%s) - start)) s"

failed=0
check() {
    if [[ "$2" != "$3" ]]; then
        echo "FAIL: $1: got '$2', expected '$3'"
        failed=1
    fi
}
check "exit status" "$status" 0
check "standard output" "$out" $'Done...\r'
check "output length" "$(stat -c %s out.scrn)" $((length - 2))
for ((i = 4; i < ${#markers[@]}; i += 2)); do
    check "output byte at $((markers[i] - 2))" "$(byte_at out.scrn $((markers[i] - 2)))" "${markers[i + 1]}"
done
check "width byte" "$(byte_at out.scrn 0)" 08
check "byte after the width" "$(byte_at out.scrn 1)" ff
check "a byte between the markers" "$(byte_at out.scrn $((2 * gib + 12345)))" 00
check "input length" "$(stat -c %s in.wbmp)" "$length"
check "input byte at 2 GiB" "$(byte_at in.wbmp $((2 * gib)))" 33
exit "$failed"
