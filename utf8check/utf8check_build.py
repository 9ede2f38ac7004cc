"""cffi build description of the extension module _tav_utf8check.

The validator library is these files of this folder, compiled into the module
(any other binding that builds the library compiles the same list):

- utf8_compiler.h   the compiler-specific spellings (target attributes,
                    forced inlining, visibility, intrinsic headers)
- utf8_internal.h   record, automaton (states, UTF8VALIDATOR_DFA, per-byte
                    step) and the exits shared by every routine
- _tav_utf8check.cpp  table-driven and unrolled validators, record life
                    cycle, dispatcher, tav_cpu_features, the table itself
- utf8_block.cpp    SSE2 and SSE4.1 block validators (x86-64)
- utf8_lookup.h     the vector kernel, written once over a register trait
- utf8_ssse3.cpp, utf8_avx2.cpp, utf8_avx512.cpp
                    its instantiations for 16, 32 and 64-byte registers
                    (x86-64), each under its own target attribute, with the
                    decoder's vector routines of the same family
- utf8_decode.h     the decoder's vector measure and transcoders, written
                    once over the register and lane traits
- utf8_decode_common.h
                    error positions, the portable measure and transcoder,
                    the masked-input driver, shared by every family
- utf8_decode_scalar.cpp
                    the decoder's portable routines
- utf8_neon.cpp     the vector kernel's instantiation for NEON (aarch64),
                    with the decoder's NEON routines

All of them build as baseline code: no -m flag; a routine that needs more
carries its own target attribute.
"""
import sys
import sysconfig
from pathlib import Path

from cffi import FFI

HERE = Path(__file__).resolve().parent

#: The library's translation units besides _tav_utf8check.cpp, which is the
#: source text of cffi's own unit.
LIBRARY_UNITS = [
    "utf8_block.cpp",
    "utf8_ssse3.cpp",
    "utf8_avx2.cpp",
    "utf8_avx512.cpp",
    "utf8_decode_scalar.cpp",
    "utf8_neon.cpp",
]
HEADERS = ["tav_utf8check.h", "utf8_compiler.h", "utf8_internal.h", "utf8_lookup.h", "utf8_decode.h", "utf8_decode_common.h"]

# How both modules below compile the library. Absolute paths: cffi's own
# compile() runs from its build folder.
BUILD_OPTIONS = dict(
    source_extension=".cpp",
    include_dirs=[str(HERE)],
    depends=[str(HERE / name) for name in ["_tav_utf8check.cpp", *LIBRARY_UNITS, *HEADERS]],
    extra_compile_args=["-std=c++17", "-O3", "-fno-exceptions", "-fno-rtti"],
    py_limited_api=False,
)

# Exactly the public functions.
PUBLIC_FUNCTIONS = """
    void *tav_utf8vld_new(void);
    void tav_utf8vld_free(void *handle);
    void tav_utf8vld_reset(void *handle);
    int tav_utf8vld_get_impl(void *handle);
    int tav_utf8vld_set_impl(void *handle, int impl);
    size_t tav_utf8vld_get_current_index(void *handle);
    size_t tav_utf8vld_get_total_index(void *handle);
    int tav_utf8vld_validate(void *handle, uint8_t *data, size_t length);
"""

# The binding: the public functions; the routines behind the dispatcher stay native-only.
ffibuilder = FFI()
ffibuilder.cdef(PUBLIC_FUNCTIONS)
ffibuilder.set_source(
    "_tav_utf8check",
    (HERE / "_tav_utf8check.cpp").read_text(encoding="utf-8"),
    sources=[str(HERE / name) for name in LIBRARY_UNITS],
    **BUILD_OPTIONS,
)

# Whether the module is built for x86-64, where the long-chunk routines exist
# (as bytemask_build.py decides it).
FOR_X86_64 = sysconfig.get_platform().endswith(("x86_64", "amd64")) and sys.maxsize > 2**32

# A second module from the same library files: the routines the binding
# above leaves out, which the safe API chooses among by processor and tests
# and benchmarks call by name, with the record's layout. As `lib` attributes
# they need no symbol lookup in a module's file, which Windows does not offer.
routines_ffibuilder = FFI()
routines_ffibuilder.cdef(
    """
    typedef struct utf8vld_state {
        size_t current_index;
        size_t total_index;
        int state;
        int impl;
    } utf8vld_state;
    """
    + PUBLIC_FUNCTIONS
    + """
    int _tav_utf8vld_validate_table(void *handle, uint8_t *data, size_t length);
    int _tav_utf8vld_validate_unrolled(void *handle, uint8_t *data, size_t length);
    unsigned tav_cpu_features(void);
    """
    + (
        """
    int _tav_utf8vld_validate_sse2(void *handle, uint8_t *data, size_t length);
    int _tav_utf8vld_validate_sse4(void *handle, uint8_t *data, size_t length);
    int _tav_utf8vld_validate_ssse3(void *handle, uint8_t *data, size_t length);
    int _tav_utf8vld_validate_avx2(void *handle, uint8_t *data, size_t length);
    int _tav_utf8vld_validate_avx512(void *handle, uint8_t *data, size_t length);
    """
        if FOR_X86_64
        else ""
    )
)
routines_ffibuilder.set_source(
    "_tav_utf8routines",
    '#include "tav_utf8check.h"',
    sources=[str(HERE / name) for name in ["_tav_utf8check.cpp", *LIBRARY_UNITS]],
    **BUILD_OPTIONS,
)

if __name__ == "__main__":
    ffibuilder.compile(tmpdir=str(HERE.parent / "build" / "cffi"), verbose=True)
    routines_ffibuilder.compile(tmpdir=str(HERE.parent / "build" / "cffi"), verbose=True)
