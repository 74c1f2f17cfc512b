#!/usr/bin/env bash
# Round trip through real image tools: WBMP images written by netpbm (and by
# ImageMagick where it is installed) convert, the screen image with its two
# header bytes put back is byte for byte the original, and netpbm reads that
# restored file as the same picture. Images 128 pixels and wider, whose width
# takes two bytes, are refused with status 5 and leave an empty output.
#
#   roundtrip_test.sh PROGRAM [RUNNER...]
#
# Exits 77 (skipped) when netpbm is missing, unless CI=true, where that fails.
set -uo pipefail
[ $# -ge 1 ] || { echo "usage: roundtrip_test.sh PROGRAM [RUNNER...]" >&2; exit 2; }
program=$1
shift
runner=("$@")

for tool in pbmmake pbmtowbmp wbmptopbm; do
    if ! command -v "$tool" >/dev/null; then
        if [ "${CI:-}" = true ]; then echo "FAIL: netpbm's $tool is missing (install netpbm)"; exit 1; fi
        echo "SKIP: netpbm's $tool is missing (install netpbm to run this test)"
        exit 77
    fi
done
imagemagick=no
if command -v convert >/dev/null && convert -version 2>/dev/null | grep -q '^Version: ImageMagick'; then
    imagemagick=yes
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

passed=0 failed=0
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }

done_line=$'Done...\r\n'
width_lines=$'Wrong x size!\r\nThis must be multiple of 8 (8,16,24,...) and no more than 240 pixels\r\n'

# picture W H KIND: a raw PBM (P4) of W x H pixels on standard output.
picture() {
    local width=$1 height=$2
    case $3 in
        white) pbmmake -white "$width" "$height" ;;
        gray) pbmmake -gray "$width" "$height" ;;
        random) printf 'P4\n%d %d\n' "$width" "$height"; head -c $((width / 8 * height)) /dev/urandom ;;
    esac
}

# convertible NAME: NAME.wbmp converts, restores to itself, and reads back as NAME.pbm.
convertible() {
    local name=$1 out status
    rm -f "$name.scrn"
    out=$("${runner[@]}" "$program" "$name.wbmp" "$name.scrn"; echo "/$?")
    status=${out##*/}
    out=${out%/*}
    if [ "$status" != 0 ] || [ "$out" != "$done_line" ]; then
        fail "$name: status $status, output $(printf %q "$out")"
        return
    fi
    { printf '\000\000'; cat "$name.scrn"; } > "$name.back.wbmp"
    if ! cmp -s "$name.wbmp" "$name.back.wbmp"; then
        fail "$name: the screen image with 00 00 in front is not the original WBMP"
    elif ! wbmptopbm "$name.back.wbmp" > "$name.back.pbm" 2>/dev/null; then
        fail "$name: wbmptopbm cannot read the restored image"
    elif ! cmp -s "$name.back.pbm" "$name.pbm"; then
        fail "$name: the restored image is not the source picture"
    else
        passed=$((passed + 1))
    fi
}

# refused NAME W: NAME.wbmp, W pixels wide (two width bytes, the first 0x80 | W / 128),
# is refused with status 5 and an empty output.
refused() {
    local name=$1 first out status
    first=$(printf %x $((0x80 | $2 >> 7)))
    echo leftover > "$name.scrn"
    out=$("${runner[@]}" "$program" "$name.wbmp" "$name.scrn"; echo "/$?")
    status=${out##*/}
    out=${out%/*}
    if [ "$(od -An -tx1 -j2 -N1 "$name.wbmp" | tr -d ' ')" != "$first" ]; then
        fail "$name: expected the tool to store 0x$first at offset 2"
    elif [ "$status" != 5 ] || [ "$out" != "$width_lines" ]; then
        fail "$name: status $status, output $(printf %q "$out")"
    elif [ ! -f "$name.scrn" ] || [ -s "$name.scrn" ]; then
        fail "$name: the output is not an empty file"
    else
        passed=$((passed + 1))
    fi
}

# images NAME W H KIND: NAME.pbm and, from it, NAME.wbmp written by netpbm.
images() {
    picture "$2" "$3" "$4" > "$1.pbm"
    pbmtowbmp "$1.pbm" > "$1.wbmp" 2>/dev/null
}

# Widths across the one-byte range; heights below, at and past 128, where
# WBMP's height too takes two bytes (copied unchanged like the rest).
for width in 8 16 24 40 64 96 120; do
    for shape in 1:random 64:white 64:gray 127:random 128:random 300:random; do
        height=${shape%:*} kind=${shape#*:}
        name=w${width}h${height}$kind
        images "$name" "$width" "$height" "$kind"
        convertible "$name"
    done
done

for width in 128 136 160 240 256; do
    for height in 1 64 128; do
        name=w${width}h$height
        images "$name" "$width" "$height" random
        refused "$name" "$width"
    done
done

# ImageMagick writes WBMP on its own; it starts slowly, so a few shapes.
if [ $imagemagick = yes ]; then
    for shape in 8:1 64:128 120:300 128:64 240:128; do
        width=${shape%:*} height=${shape#*:}
        name=im-w${width}h$height
        picture "$width" "$height" random > "$name.pbm"
        convert "$name.pbm" "wbmp:$name.wbmp"
        if [ "$width" -lt 128 ]; then convertible "$name"; else refused "$name" "$width"; fi
    done
fi

echo "netpbm$([ $imagemagick = yes ] && echo ' and ImageMagick') round trip: $passed passed, $failed failed"
[ "$failed" = 0 ]
