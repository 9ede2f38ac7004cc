#!/usr/bin/env bash
# Build the libFuzzer targets and run each for a bounded time.
#   fuzz/run.sh [SECONDS] [TARGET...]     default: 60 s, fuzz_utf8 and fuzz_mask
# The targets run side by side, each on its own working corpus in
# build/fuzz/corpus/<target> seeded from fuzz/seeds/. A finding (a crash,
# abort, sanitizer report, leak or timeout) is written to build/fuzz/artifacts/
# and makes the script exit non-zero. CXX picks the compiler (clang++).
#
#   fuzz/run.sh replay [COUNT]            default: 3000 mutations per target
# Builds both targets without libFuzzer (fuzz/replay.cpp drives them), with
# UBSan, and runs each on its seeds and COUNT inputs mutated from them. CXX
# (g++) may be a cross compiler, whose target then gets the portable routines
# only; TAV_FUZZ_RUNNER, if set, is put before each program (an emulator).
# Needs FuzzedDataProvider.h, which clang's runtime package ships.
set -uo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
inc=(-I"$root/tests/native" -I"$root/utf8check" -I"$root/bytemask")
lib=(-fno-exceptions -fno-rtti)

# x86-64 only: the masker's SSE4.1 build and the block validators in the tables.
target_flags() { # compiler -> sets mask_isa and utf8_def
    local arch
    arch="$("$1" -dumpmachine 2>/dev/null)"
    mask_isa=() utf8_def=()
    if [ "${arch%%-*}" = x86_64 ]; then
        mask_isa=(-msse4.1)
        utf8_def=(-DTAV_WITH_BLOCK_ROUTINES)
    fi
}

if [ "${1:-}" = replay ]; then
    count="${2:-3000}"
    cxx="${CXX:-g++}"
    out="$root/build/fuzz/replay"
    mkdir -p "$out/include/fuzzer"
    rm -f "$out"/*.o "$out"/fuzz_utf8 "$out"/fuzz_mask
    header="$(ls /usr/lib/llvm-*/lib/clang/*/include/fuzzer/FuzzedDataProvider.h 2>/dev/null | tail -1)"
    if [ -z "$header" ]; then
        echo "replay: FuzzedDataProvider.h not found (install libclang-rt-14-dev)" >&2
        exit 1
    fi
    # Only that header: the folder it sits in also holds clang's own C headers.
    cp "$header" "$out/include/fuzzer/"
    target_flags "$cxx"
    common=(-std=c++17 -O1 -g -fsanitize=undefined -fno-sanitize-recover=all "${inc[@]}" -I"$out/include")
    # shellcheck disable=SC2206  # the runner is a command line, split on purpose
    runner=(${TAV_FUZZ_RUNNER:-})
    "$cxx" "${common[@]}" "${lib[@]}" -c "$root/utf8check/_tav_utf8check.cpp" -o "$out/utf8check.o" || exit 1
    "$cxx" "${common[@]}" "${lib[@]}" "${mask_isa[@]}" -c "$root/bytemask/_tav_bytemask.cpp" -o "$out/bytemask.o" || exit 1
    "$cxx" "${common[@]}" "${utf8_def[@]}" "$root/fuzz/fuzz_utf8.cpp" "$root/fuzz/replay.cpp" "$out/utf8check.o" -o "$out/fuzz_utf8" || exit 1
    "$cxx" "${common[@]}" "$root/fuzz/fuzz_mask.cpp" "$root/fuzz/replay.cpp" "$out/bytemask.o" -o "$out/fuzz_mask" || exit 1
    status=0
    "${runner[@]}" "$out/fuzz_utf8" -n "$count" "$root/fuzz/seeds/utf8" || status=1
    "${runner[@]}" "$out/fuzz_mask" -n "$count" "$root/fuzz/seeds/mask" || status=1
    exit "$status"
fi

seconds="${1:-60}"
shift || true
targets=("$@")
[ "${#targets[@]}" -eq 0 ] && targets=(fuzz_utf8 fuzz_mask)

out="$root/build/fuzz"
cxx="${CXX:-clang++}"
san=(-fsanitize=address,undefined -fno-sanitize-recover=all)
common=(-std=c++17 -O1 -g -fno-omit-frame-pointer "${san[@]}" "${inc[@]}")
mkdir -p "$out/artifacts"
rm -f "$out"/*.o "$out"/fuzz_utf8 "$out"/fuzz_mask
target_flags "$cxx"

# The libraries get coverage instrumentation too, so the fuzzer sees their branches.
"$cxx" "${common[@]}" -fsanitize=fuzzer-no-link "${lib[@]}" -c "$root/utf8check/_tav_utf8check.cpp" -o "$out/utf8check.o" || exit 1
"$cxx" "${common[@]}" -fsanitize=fuzzer-no-link "${lib[@]}" "${mask_isa[@]}" -c "$root/bytemask/_tav_bytemask.cpp" -o "$out/bytemask.o" || exit 1
"$cxx" "${common[@]}" -fsanitize=fuzzer "${utf8_def[@]}" "$root/fuzz/fuzz_utf8.cpp" "$out/utf8check.o" -o "$out/fuzz_utf8" || exit 1
"$cxx" "${common[@]}" -fsanitize=fuzzer "$root/fuzz/fuzz_mask.cpp" "$out/bytemask.o" -o "$out/fuzz_mask" || exit 1

seeds_of() { case "$1" in fuzz_utf8) echo "$root/fuzz/seeds/utf8" ;; fuzz_mask) echo "$root/fuzz/seeds/mask" ;; esac; }

pids=()
for t in "${targets[@]}"; do
    corpus="$out/corpus/$t"
    mkdir -p "$corpus"
    # Inputs up to 8 KiB; a single input running 10 s counts as a finding.
    "$out/$t" "$corpus" "$(seeds_of "$t")" -max_total_time="$seconds" -max_len=8192 -timeout=10 \
        -print_final_stats=1 -artifact_prefix="$out/artifacts/$t-" >"$out/$t.log" 2>&1 &
    pids+=($!)
done

status=0
for i in "${!targets[@]}"; do
    t="${targets[$i]}"
    corpus="$out/corpus/$t"
    if wait "${pids[$i]}"; then
        runs="$(grep -m1 -o 'stat::number_of_executed_units: [0-9]*' "$out/$t.log" | grep -o '[0-9]*$')"
        cov="$(grep -E '^#[0-9]+' "$out/$t.log" | tail -1 | grep -o 'cov: [0-9]*' || true)"
        echo "$t: ${runs:-?} executions in ${seconds} s, no finding ($cov, corpus $(ls "$corpus" 2>/dev/null | wc -l) inputs)"
    else
        echo "$t: FINDING, see $out/$t.log and $out/artifacts/" >&2
        grep -E 'ERROR|SUMMARY|differs|changed|written|deadly signal' "$out/$t.log" | head -20 >&2
        status=1
    fi
done
exit "$status"
