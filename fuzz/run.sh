#!/usr/bin/env bash
# Build the libFuzzer targets and run each for a bounded time.
#   fuzz/run.sh [SECONDS] [TARGET...]     default: 60 s, fuzz_utf8, fuzz_mask and fuzz_decode
# The targets run side by side, each on its own working corpus in
# build/fuzz/corpus/<target> seeded from fuzz/seeds/. A finding (a crash,
# abort, sanitizer report, leak or timeout) is written to build/fuzz/artifacts/
# and makes the script exit non-zero. CXX picks the compiler (clang++).
#
#   fuzz/run.sh api [SECONDS]             default: 45 s
# Runs fuzz/fuzz_api.py (atheris) on the safe API with a clang build of the
# native module that carries coverage instrumentation, libFuzzer preloaded;
# PYTHON names the interpreter (the active one), which must have tav and
# atheris installed. Prints a summary line with coverage and corpus size.
#
#   fuzz/run.sh replay [COUNT]            default: 3000 mutations per target
# Builds the targets without libFuzzer (fuzz/replay.cpp drives them), with
# UBSan, and runs each on its seeds and COUNT inputs mutated from them. CXX
# (g++) may be a cross compiler, whose target then gets the portable routines
# and its own (NEON on aarch64); TAV_FUZZ_RUNNER, if set, is put before each program (an emulator).
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
    rm -f "$out"/*.o "$out"/fuzz_utf8 "$out"/fuzz_mask "$out"/fuzz_decode
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
    "$cxx" "${common[@]}" "$root/fuzz/fuzz_decode.cpp" "$root/fuzz/replay.cpp" "$out/utf8check.o" -o "$out/fuzz_decode" || exit 1
    status=0
    "${runner[@]}" "$out/fuzz_utf8" -n "$count" "$root/fuzz/seeds/utf8" || status=1
    "${runner[@]}" "$out/fuzz_mask" -n "$count" "$root/fuzz/seeds/mask" || status=1
    "${runner[@]}" "$out/fuzz_decode" -n "$count" "$root/fuzz/seeds/utf8" || status=1
    exit "$status"
fi

if [ "${1:-}" = api ]; then
    # The safe API under atheris, its native module built by clang with coverage
    # instrumentation (-fsanitize=fuzzer-no-link) and libFuzzer preloaded, so
    # that the fuzzer sees the native branches as well as tav's Python ones.
    seconds="${2:-45}"
    python="${PYTHON:-python}"
    cxx="${CXX:-clang++}"
    out="$root/build/fuzz/api"
    corpus="$root/build/fuzz/corpus/fuzz_api"
    log="$root/build/fuzz/fuzz_api.log"
    mkdir -p "$out" "$corpus" "$root/build/fuzz/artifacts"
    pyinc="$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')" || exit 1
    suffix="$("$python" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')" || exit 1
    archive="$("$cxx" -print-resource-dir)/lib/linux/libclang_rt.fuzzer_no_main-$(uname -m).a"
    if [ ! -f "$archive" ]; then
        echo "api: $archive not found (install libclang-rt-14-dev)" >&2
        exit 1
    fi
    rm -f "$out"/_tav_native*.so "$out/libfuzzer.so"
    "$cxx" -std=c++17 -O1 -g -fPIC -shared "${lib[@]}" -fvisibility=hidden -fsanitize=fuzzer-no-link \
        -I"$root/capi" "${inc[@]}" -I"$pyinc" "$root/capi/_tav_native.cpp" "$root/capi/bytemask_lib.cpp" \
        -o "$out/_tav_native$suffix" || exit 1
    "$cxx" -shared -fPIC -Wl,--whole-archive "$archive" -Wl,--no-whole-archive -lpthread -o "$out/libfuzzer.so" || exit 1
    # Inputs up to 8 KiB; a single input running 20 s counts as a finding.
    PYTHONPATH="$out${PYTHONPATH:+:$PYTHONPATH}" LD_PRELOAD="$out/libfuzzer.so" \
        "$python" "$root/fuzz/fuzz_api.py" "$corpus" "$root/fuzz/seeds/utf8" -max_total_time="$seconds" \
        -max_len=8192 -timeout=20 -print_final_stats=1 -artifact_prefix="$root/build/fuzz/artifacts/fuzz_api-" >"$log" 2>&1
    status=$?
    if ! grep -q "^fuzz_api: tav native backend, $out/" "$log"; then
        echo "fuzz_api: the instrumented native module was not the one loaded:" >&2
        grep -m1 '^fuzz_api: ' "$log" >&2
        status=1
    fi
    if [ "$status" -ne 0 ]; then
        echo "fuzz_api: FINDING, see $log and $root/build/fuzz/artifacts/" >&2
        grep -E -A15 'Uncaught Python exception|ERROR' "$log" | head -40 >&2
        exit 1
    fi
    runs="$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | grep -o '[0-9]*$')"
    edges="$(grep -m1 -o '([0-9]* inline 8-bit counters)' "$log" | grep -o -m1 '^([0-9]*' | tr -d '(')"
    done_line="$(grep -E '^#[0-9]+' "$log" | tail -1)"
    cov="$(grep -o 'cov: [0-9]*' <<<"$done_line")"
    ft="$(grep -o 'ft: [0-9]*' <<<"$done_line")"
    echo "fuzz_api: ${runs:-?} executions in ${seconds} s, no finding" \
        "(${cov:-cov: ?}, ${ft:-ft: ?}, corpus $(ls "$corpus" | wc -l) inputs of $(du -sk "$corpus" | cut -f1) KiB;" \
        "native module instrumented with ${edges:-?} edges)"
    exit 0
fi

seconds="${1:-60}"
shift || true
targets=("$@")
[ "${#targets[@]}" -eq 0 ] && targets=(fuzz_utf8 fuzz_mask fuzz_decode)

out="$root/build/fuzz"
cxx="${CXX:-clang++}"
san=(-fsanitize=address,undefined -fno-sanitize-recover=all)
common=(-std=c++17 -O1 -g -fno-omit-frame-pointer "${san[@]}" "${inc[@]}")
mkdir -p "$out/artifacts"
rm -f "$out"/*.o "$out"/fuzz_utf8 "$out"/fuzz_mask "$out"/fuzz_decode
target_flags "$cxx"

# The libraries get coverage instrumentation too, so the fuzzer sees their branches.
"$cxx" "${common[@]}" -fsanitize=fuzzer-no-link "${lib[@]}" -c "$root/utf8check/_tav_utf8check.cpp" -o "$out/utf8check.o" || exit 1
"$cxx" "${common[@]}" -fsanitize=fuzzer-no-link "${lib[@]}" "${mask_isa[@]}" -c "$root/bytemask/_tav_bytemask.cpp" -o "$out/bytemask.o" || exit 1
"$cxx" "${common[@]}" -fsanitize=fuzzer "${utf8_def[@]}" "$root/fuzz/fuzz_utf8.cpp" "$out/utf8check.o" -o "$out/fuzz_utf8" || exit 1
"$cxx" "${common[@]}" -fsanitize=fuzzer "$root/fuzz/fuzz_mask.cpp" "$out/bytemask.o" -o "$out/fuzz_mask" || exit 1
"$cxx" "${common[@]}" -fsanitize=fuzzer "$root/fuzz/fuzz_decode.cpp" "$out/utf8check.o" -o "$out/fuzz_decode" || exit 1

seeds_of() { case "$1" in fuzz_utf8 | fuzz_decode) echo "$root/fuzz/seeds/utf8" ;; fuzz_mask) echo "$root/fuzz/seeds/mask" ;; esac; }

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
