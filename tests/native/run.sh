#!/usr/bin/env bash
# Build the native tests against the library sources and run them.
#   tests/native/run.sh release    optimised (-O3), as the modules are built
#   tests/native/run.sh asan       -O1 -g, AddressSanitizer + UBSan, no recovery
#   tests/native/run.sh valgrind   -O2 -g under memcheck, shortened sweeps; every
#                                  byte outside a piece is made inaccessible
# Exits non-zero when a build or a test fails. CXX picks the compiler (g++).
set -uo pipefail

mode="${1:-release}"
root="$(cd "$(dirname "$0")/../.." && pwd)"
out="$root/build/native/$mode"
cxx="${CXX:-g++}"
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

# The libraries get the modules' own flags: the validator is baseline x86-64
# (its SSE4.1 routine carries its own target), the masker is built for SSE4.1.
lib=(-std=c++17 -fno-exceptions -fno-rtti -Wall -Wextra "${opt[@]}")
tst=(-std=c++17 -Wall -Wextra "${opt[@]}" -I"$root/tests/native")

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

step "compile validator library" "$cxx" "${lib[@]}" -I"$root/utf8check" -c "$root/utf8check/_tav_utf8check.cpp" -o "$out/utf8check.o"
step "compile masker library" "$cxx" "${lib[@]}" -msse4.1 -I"$root/bytemask" -c "$root/bytemask/_tav_bytemask.cpp" -o "$out/bytemask.o"

step "build test_validators" "$cxx" "${tst[@]}" -I"$root/utf8check" "$root/tests/native/test_validators.cpp" "$out/utf8check.o" -o "$out/test_validators"
# Needs _tav_utf8vld_validate_sse2 and _tav_utf8vld_validate_sse4 in the library.
step "build test_block_validators" "$cxx" "${tst[@]}" -DTAV_WITH_BLOCK_ROUTINES -I"$root/utf8check" "$root/tests/native/test_validators.cpp" "$out/utf8check.o" -o "$out/test_block_validators"
step "build test_maskers" "$cxx" "${tst[@]}" -I"$root/bytemask" "$root/tests/native/test_maskers.cpp" "$out/bytemask.o" -o "$out/test_maskers"

runner=()
if [ "$mode" = valgrind ]; then
    export TAV_NATIVE_QUICK=1
    runner=(valgrind --tool=memcheck --error-exitcode=1 --partial-loads-ok=no --track-fds=no -q)
fi
if [ "$mode" = asan ]; then
    export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:halt_on_error=1}"
    export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
fi

for t in test_validators test_block_validators test_maskers; do
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
