#!/usr/bin/env bash
# Instructions per byte of the aarch64 routines against the portable ones,
# counted under qemu-user, for processors this machine is not: each routine
# runs once and twice over a text with every instruction it executes logged
# (-singlestep -d exec,nochain: one "Trace" line per instruction), and the
# difference is one call. Emulation says nothing of time: counts, not speed.
#   bash tests/native/insn_count.sh [TEXT...]   default: tav/bench/corpus's texts
# A Latin-1 text is made from the French one (its characters up to U+00FF).
# Needs aarch64-linux-gnu-g++ and qemu-aarch64, which .ci/aarch64 installs.
set -euo pipefail

root="$(cd "$(dirname "$0")/../.." && pwd)"
cxx=aarch64-linux-gnu-g++
qemu=(qemu-aarch64 -L /usr/aarch64-linux-gnu)
out="$root/build/insn_count"
mkdir -p "$out"

# The libraries as the modules build them: -O3, no -m flag.
flags=(-std=c++17 -O3 -fno-exceptions -fno-rtti -I"$root/utf8check" -I"$root/bytemask")
"$cxx" "${flags[@]}" "$root/tests/native/insn_count.cpp" "$root/utf8check/_tav_utf8check.cpp" \
    "$root/utf8check/utf8_neon.cpp" "$root/utf8check/utf8_decode_scalar.cpp" "$root/bytemask/_tav_bytemask.cpp" \
    -o "$out/insn_count"

corpus="$root/tav/bench/corpus"
texts=("$@")
if [ "${#texts[@]}" -eq 0 ]; then
    python3 -c 'import sys; t = open(sys.argv[1], encoding="utf-8").read(); open(sys.argv[2], "w", encoding="utf-8").write("".join(c for c in t if ord(c) < 256))' \
        "$corpus/wikipedia_mars/french.utf8.txt" "$out/latin1.utf8.txt"
    texts=("$corpus/ascii/python3.11-doc-library.ascii.txt" "$out/latin1.utf8.txt" "$corpus/wikipedia_mars/french.utf8.txt"
           "$corpus/wikipedia_mars/russian.utf8.txt" "$corpus/lipsum/Chinese-Lipsum.utf8.txt"
           "$corpus/lipsum/Emoji-Lipsum.utf8.txt")
fi

count() { # routine reps text -> instructions executed by the whole program
    "${qemu[@]}" -singlestep -d exec,nochain -D /dev/stdout "$out/insn_count" "$@" | grep -c '^Trace'
}

per_byte() { # routine text -> instructions per byte of one call
    local one two bytes
    one="$(count "$1" 1 "$2")"
    two="$(count "$1" 2 "$2")"
    bytes="$(wc -c <"$2")"
    awk -v d="$((two - one))" -v n="$bytes" 'BEGIN { printf "%.2f", d / n }'
}

printf '%-34s %6s  %-18s %-18s %-18s %-18s\n' "instructions per byte, NEON / portable" "bytes" "validator" "masker" \
    "measure" "transcoder"
for text in "${texts[@]}"; do
    row=()
    for pair in validate_neon:validate_unrolled mask_neon:mask_simple measure_neon:measure_scalar \
        transcode_neon:transcode_scalar; do
        row+=("$(per_byte "${pair%%:*}" "$text") / $(per_byte "${pair##*:}" "$text")")
    done
    printf '%-34s %6s  %-18s %-18s %-18s %-18s\n' "$(basename "$text")" "$(wc -c <"$text")" "${row[@]}"
done
