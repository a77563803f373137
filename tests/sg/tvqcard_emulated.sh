#!/bin/sh
# tvqcard on the emulated TVQ-210CF, preloaded in place of the kernel: list,
# read, write --verify and hash of whole cards, each checked with sha256sum.
# Usage: tvqcard_emulated.sh TVQCARD TVQUNIT PRELOAD
set -eu
tvqcard=$1 tvqunit=$2 preload=$3
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
mkdir "$dir/unit"
export XDG_RUNTIME_DIR="$dir" QEVCRDIO_BACKEND=sg QEVCRDIO_BUS="$dir/bus" LANG=C LC_ALL=C
# A sanitized program takes a preloaded library after its own runtime.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"
fail() { echo "FAIL: $*"; exit 1; }
emu() { LD_PRELOAD="$preload" TVQ_EMU="210CF:last:$dir/unit" "$@" 2>>"$dir/stderr"; }
sum() { sha256sum <"$1" | cut -d' ' -f1; }

head -c 16777216 /dev/urandom >"$dir/unit/slot1.img"   # 16 MB master card
truncate -s 16M "$dir/unit/slot2.img"
head -c 16777216 /dev/urandom >"$dir/in.img"

emu "$tvqcard" list >"$dir/list" || fail "tvqcard list"
grep -q '^backend: sg .*USB bridge "TVQ-MTX"' "$dir/list" || fail "list does not name the sg backend: $(cat "$dir/list")"
grep -q 'TVQ-210CF' "$dir/list" || fail "list does not show the unit"

emu "$tvqcard" read 1 "$dir/out.img" >/dev/null || fail "tvqcard read"
[ "$(sum "$dir/out.img")" = "$(sum "$dir/unit/slot1.img")" ] || fail "read: the file is not the card"

emu "$tvqcard" write "$dir/in.img" 2 --verify >/dev/null || fail "tvqcard write --verify"
[ "$(sum "$dir/unit/slot2.img")" = "$(sum "$dir/in.img")" ] || fail "write: the card is not the file"

emu "$tvqcard" hash 2 >"$dir/hash" || fail "tvqcard hash"
[ "$(cut -d' ' -f1 "$dir/hash")" = "$(sum "$dir/in.img")" ] || fail "hash: $(cat "$dir/hash") is not sha256sum's"

emu "$tvqunit" list >"$dir/units" || fail "tvqunit list"
grep -q "TVQ-210CF	plugged in	11 targets	sg	bridge \"TVQ-MTX\"" "$dir/units" || fail "tvqunit list: $(cat "$dir/units")"

if grep -q 'emulated unit saw' "$dir/stderr"; then cat "$dir/stderr"; fail "the unit was sent fields it does not expect"; fi
echo "tvqcard on the emulated unit: list, read, write --verify and hash agree with sha256sum"
