"""cffi build description of the extension module _tav_bytemask."""
from pathlib import Path

from cffi import FFI

HERE = Path(__file__).resolve().parent

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
    depends=[str(HERE / "_tav_bytemask.cpp"), str(HERE / "tav_bytemask.h")],
    # The whole module requires SSE4.1: the default masking path builds its
    # key vector with SSE4.1 byte inserts.
    extra_compile_args=["-std=c++17", "-O3", "-msse4.1", "-fno-exceptions", "-fno-rtti"],
    py_limited_api=False,
)

if __name__ == "__main__":
    ffibuilder.compile(tmpdir=str(HERE.parent / "build" / "cffi"), verbose=True)
