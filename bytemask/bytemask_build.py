"""cffi build description of the extension modules _tav_bytemask and _tav_maskroutines."""
import sys
import sysconfig
from pathlib import Path

from cffi import FFI

HERE = Path(__file__).resolve().parent

# Whether the module is built for x86-64. sysconfig names the platform of the
# interpreter that builds it and follows _PYTHON_HOST_PLATFORM in cross
# builds, where platform.machine() names the build host. A 32-bit interpreter
# on a 64-bit Linux kernel still reports the kernel's machine, hence the
# pointer size. universal2 gets no flag: its arm64 half cannot take it.
FOR_X86_64 = sysconfig.get_platform().endswith(("x86_64", "amd64")) and sys.maxsize > 2**32
# Whether it is built for aarch64 (Linux names it aarch64, macOS and Windows arm64).
FOR_AARCH64 = sysconfig.get_platform().endswith(("aarch64", "arm64")) and sys.maxsize > 2**32

DEPENDS = [str(HERE / name) for name in ["_tav_bytemask.cpp", "tav_bytemask.h", "mask_compiler.h", "mask_kernel.h"]]
# On x86-64 the whole module requires SSE4.1: the default masking path builds
# its key vector with SSE4.1 byte inserts. Other processors get the byte loop
# and NEON only, and no -m flag.
COMPILE_ARGS = ["-std=c++17", "-O3", *(["-msse4.1"] if FOR_X86_64 else []), "-fno-exceptions", "-fno-rtti"]

# How both modules below compile the library.
BUILD_OPTIONS = dict(
    source_extension=".cpp",
    include_dirs=[str(HERE)],
    depends=DEPENDS,
    extra_compile_args=COMPILE_ARGS,
    py_limited_api=False,
)

# The record's life cycle, as both modules declare it.
LIFE_CYCLE = """
    void *tav_xormask_new(uint8_t *key);
    void tav_xormask_free(void *handle);
    void tav_xormask_reset(void *handle);
    size_t tav_xormask_pointer(void *handle);
    int tav_xormask_get_impl(void *handle);
    int tav_xormask_set_impl(void *handle, int impl);
"""

# Exactly the public functions. The library's process functions return the new
# position; the binding takes no result and callers read tav_xormask_pointer.
ffibuilder = FFI()
ffibuilder.cdef(LIFE_CYCLE + "void tav_xormask_process(void *handle, uint8_t *data, size_t length);")
ffibuilder.set_source(
    "_tav_bytemask", (HERE / "_tav_bytemask.cpp").read_text(encoding="utf-8"), **BUILD_OPTIONS
)

# A second module from the same library file, built the same way: the record's
# layout and the routines the binding above leaves out, which tests and
# benchmarks call by name. As `lib` attributes they need no symbol lookup in
# a module's file, which Windows does not offer. Each routine is declared
# where the library builds it.
routines_ffibuilder = FFI()
routines_ffibuilder.cdef(
    """
    typedef struct xormask_state {
        uint8_t mask[4];
        size_t pointer;
        int impl;
    } xormask_state;
    """
    + LIFE_CYCLE
    + """
    size_t tav_xormask_process(void *handle, uint8_t *data, size_t length);
    size_t _tav_xormask_process_simple(void *handle, uint8_t *data, size_t length);
    size_t _tav_xormask_copy_simple(void *handle, const uint8_t *src, uint8_t *dst, size_t length);
    """
    + (
        """
    size_t _tav_xormask_process_sse2(void *handle, uint8_t *data, size_t length);
    size_t _tav_xormask_process_avx2(void *handle, uint8_t *data, size_t length);
    size_t _tav_xormask_process_avx512(void *handle, uint8_t *data, size_t length);
    size_t _tav_xormask_copy_sse2(void *handle, const uint8_t *src, uint8_t *dst, size_t length);
    size_t _tav_xormask_copy_avx2(void *handle, const uint8_t *src, uint8_t *dst, size_t length);
    size_t _tav_xormask_copy_avx512(void *handle, const uint8_t *src, uint8_t *dst, size_t length);
    """
        if FOR_X86_64
        else ""
    )
    + (
        """
    size_t _tav_xormask_process_neon(void *handle, uint8_t *data, size_t length);
    size_t _tav_xormask_copy_neon(void *handle, const uint8_t *src, uint8_t *dst, size_t length);
    """
        if FOR_AARCH64
        else ""
    )
)
routines_ffibuilder.set_source(
    "_tav_maskroutines",
    '#include "tav_bytemask.h"',
    sources=[str(HERE / "_tav_bytemask.cpp")],
    **BUILD_OPTIONS,
)

if __name__ == "__main__":
    ffibuilder.compile(tmpdir=str(HERE.parent / "build" / "cffi"), verbose=True)
    routines_ffibuilder.compile(tmpdir=str(HERE.parent / "build" / "cffi"), verbose=True)
