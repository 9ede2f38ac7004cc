#!/usr/bin/env bash
# Build the native tests against the library sources and run them.
#   tests/native/run.sh release    optimised (-O3), as the modules are built
#   tests/native/run.sh asan       -O1 -g, AddressSanitizer + UBSan, no recovery
#   tests/native/run.sh valgrind   -O2 -g under memcheck, shortened sweeps; every
#                                  byte outside a piece is made inaccessible
# Exits non-zero when a build or a test fails. CXX picks the compiler (g++),
# and so the target: a cross compiler such as aarch64-linux-gnu-g++ builds
# the portable routines and that target's own (NEON). TAV_NATIVE_RUNNER, if set, is put before each
# test program (an emulator: "qemu-aarch64 -L /usr/aarch64-linux-gnu").
# TAV_NATIVE_DECODERS (e.g. "neon") names the decoder families to test, all
# that the processor runs when unset.
set -uo pipefail

mode="${1:-release}"
root="$(cd "$(dirname "$0")/../.." && pwd)"
cxx="${CXX:-g++}"
arch="$("$cxx" -dumpmachine 2>/dev/null)"
arch="${arch%%-*}"
if [ -z "$arch" ]; then
    echo "cannot run $cxx" >&2
    exit 1
fi
out="$root/build/native/$arch/$mode"
mkdir -p "$out"
rm -f "$out"/*.o "$out"/test_*  # never run a binary left from an earlier build

case "$mode" in
release) opt=(-O3) ;;
asan) opt=(-O1 -g -fno-omit-frame-pointer -fsanitize=address,undefined -fno-sanitize-recover=all) ;;
valgrind) opt=(-O2 -g) ;;
*)
    echo "usage: $0 [release|asan|valgrind]" >&2
    exit 2
    ;;
esac

# The libraries get the modules' own flags: the validator is baseline code
# (its SSE4.1 routine carries its own target), the masker is built for SSE4.1
# on x86-64. On other processors neither has an x86 routine or flag.
lib=(-std=c++17 -fno-exceptions -fno-rtti -Wall -Wextra "${opt[@]}")
tst=(-std=c++17 -Wall -Wextra "${opt[@]}" -I"$root/tests/native")
mask_isa=()
[ "$arch" = x86_64 ] && mask_isa=(-msse4.1)

failed=()
step() { # name, command...
    local name="$1"
    shift
    echo "== $name"
    if ! "$@"; then
        failed+=("$name")
        return 1
    fi
}

# The validator library's units, as utf8check/utf8check_build.py lists them.
utf8_units=(_tav_utf8check utf8_block utf8_ssse3 utf8_avx2 utf8_avx512 utf8_decode_scalar utf8_neon)
utf8_objs=()
utf8_probe_objs=()
for u in "${utf8_units[@]}"; do
    step "compile validator unit $u" "$cxx" "${lib[@]}" -I"$root/utf8check" -c "$root/utf8check/$u.cpp" -o "$out/$u.o"
    utf8_objs+=("$out/$u.o")
    # The same unit reporting where its vector kernel hands over to the automaton.
    step "compile validator unit $u (probe)" "$cxx" "${lib[@]}" -DTAV_LOOKUP_PROBE -I"$root/utf8check" -c "$root/utf8check/$u.cpp" -o "$out/probe_$u.o"
    utf8_probe_objs+=("$out/probe_$u.o")
done
step "compile masker library" "$cxx" "${lib[@]}" "${mask_isa[@]}" -I"$root/bytemask" -c "$root/bytemask/_tav_bytemask.cpp" -o "$out/bytemask.o"

echo "== target $arch"
step "build test_validators" "$cxx" "${tst[@]}" -I"$root/utf8check" "$root/tests/native/test_validators.cpp" "${utf8_objs[@]}" -o "$out/test_validators"
if [ "$arch" = x86_64 ]; then
    # Needs _tav_utf8vld_validate_sse2 and _tav_utf8vld_validate_sse4 in the library.
    step "build test_block_validators" "$cxx" "${tst[@]}" -DTAV_WITH_BLOCK_ROUTINES -I"$root/utf8check" "$root/tests/native/test_validators.cpp" "${utf8_objs[@]}" -o "$out/test_block_validators"
else
    echo "== skipped test_block_validators: the block validators exist on x86-64 only"
fi
if [ "$arch" = x86_64 ] || [ "$arch" = aarch64 ]; then
    # The vector validators: SSSE3, AVX2 and AVX-512 on x86-64, NEON on aarch64.
    step "build test_vector_validators" "$cxx" "${tst[@]}" -I"$root/utf8check" "$root/tests/native/test_vector_validators.cpp" "${utf8_objs[@]}" -o "$out/test_vector_validators"
    step "build test_vector_probe" "$cxx" "${tst[@]}" -DTAV_LOOKUP_PROBE -I"$root/utf8check" "$root/tests/native/test_vector_validators.cpp" "${utf8_probe_objs[@]}" -o "$out/test_vector_probe"
else
    echo "== skipped test_vector_validators: the vector validators exist on x86-64 and aarch64 only"
fi
step "build test_decoders" "$cxx" "${tst[@]}" -I"$root/utf8check" "$root/tests/native/test_decoders.cpp" "${utf8_objs[@]}" -o "$out/test_decoders"
step "build test_cpu_features" "$cxx" "${tst[@]}" -I"$root/utf8check" "$root/tests/native/test_cpu_features.cpp" "${utf8_objs[@]}" -o "$out/test_cpu_features"
step "build test_maskers" "$cxx" "${tst[@]}" -I"$root/bytemask" "$root/tests/native/test_maskers.cpp" "$out/bytemask.o" -o "$out/test_maskers"

# The texts the vector tests mutate and chunk: the corpus TAV_CORPUS names,
# else the short sample shipped with tav.
export TAV_NATIVE_CORPUS="${TAV_CORPUS:-$root/tav/bench/corpus}"

# shellcheck disable=SC2206  # the runner is a command line, split on purpose
runner=(${TAV_NATIVE_RUNNER:-})
if [ "$mode" = valgrind ]; then
    export TAV_NATIVE_QUICK=1
    runner+=(valgrind --tool=memcheck --error-exitcode=1 --partial-loads-ok=no --track-fds=no -q)
fi
if [ "$mode" = asan ]; then
    # The vector sweeps visit every 7th address residue under the sanitizers.
    export TAV_NATIVE_STRIDE="${TAV_NATIVE_STRIDE:-7}"
    export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:halt_on_error=1}"
    export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
fi

for t in test_cpu_features test_validators test_block_validators test_vector_validators test_vector_probe test_decoders test_maskers; do
    if [ -x "$out/$t" ]; then
        start=$(date +%s)
        step "run $t ($mode)" "${runner[@]}" "$out/$t" && echo "   $(($(date +%s) - start)) s"
    fi
done

if [ "${#failed[@]}" -ne 0 ]; then
    printf 'native tests (%s) FAILED: %s\n' "$mode" "$(IFS=';'; echo "${failed[*]}")" >&2
    exit 1
fi
echo "native tests ($mode) passed"
