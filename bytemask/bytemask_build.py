"""cffi build description of the extension module _tav_bytemask."""
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

ffibuilder = FFI()

# Exactly the public functions. The library's process functions return the new
# position; the binding takes no result and callers read tav_xormask_pointer.
ffibuilder.cdef(
    """
    void *tav_xormask_new(uint8_t *key);
    void tav_xormask_free(void *handle);
    void tav_xormask_reset(void *handle);
    size_t tav_xormask_pointer(void *handle);
    int tav_xormask_get_impl(void *handle);
    int tav_xormask_set_impl(void *handle, int impl);
    void tav_xormask_process(void *handle, uint8_t *data, size_t length);
    """
)

ffibuilder.set_source(
    "_tav_bytemask",
    (HERE / "_tav_bytemask.cpp").read_text(encoding="utf-8"),
    source_extension=".cpp",
    include_dirs=[str(HERE)],
    depends=[str(HERE / name) for name in ["_tav_bytemask.cpp", "tav_bytemask.h", "mask_compiler.h", "mask_kernel.h"]],
    # On x86-64 the whole module requires SSE4.1: the default masking path
    # builds its key vector with SSE4.1 byte inserts. Other processors get the
    # byte loop only and no -m flag.
    extra_compile_args=["-std=c++17", "-O3", *(["-msse4.1"] if FOR_X86_64 else []), "-fno-exceptions", "-fno-rtti"],
    py_limited_api=False,
)

if __name__ == "__main__":
    ffibuilder.compile(tmpdir=str(HERE.parent / "build" / "cffi"), verbose=True)
