"""cffi build description of the extension module _tav_utf8check."""
from pathlib import Path

from cffi import FFI

HERE = Path(__file__).resolve().parent

ffibuilder = FFI()

# Exactly the public functions; the routines behind the dispatcher stay native-only.
ffibuilder.cdef(
    """
    void *tav_utf8vld_new(void);
    void tav_utf8vld_free(void *handle);
    void tav_utf8vld_reset(void *handle);
    int tav_utf8vld_get_impl(void *handle);
    int tav_utf8vld_set_impl(void *handle, int impl);
    size_t tav_utf8vld_get_current_index(void *handle);
    size_t tav_utf8vld_get_total_index(void *handle);
    int tav_utf8vld_validate(void *handle, uint8_t *data, size_t length);
    """
)

ffibuilder.set_source(
    "_tav_utf8check",
    (HERE / "_tav_utf8check.cpp").read_text(encoding="utf-8"),
    source_extension=".cpp",
    include_dirs=[str(HERE)],
    depends=[str(HERE / "_tav_utf8check.cpp"), str(HERE / "tav_utf8check.h")],
    # Baseline code on every processor: only the SSE4.1 routine, built on
    # x86-64 alone, carries its own target attribute.
    extra_compile_args=["-std=c++17", "-O3", "-fno-exceptions", "-fno-rtti"],
    py_limited_api=False,
)

if __name__ == "__main__":
    ffibuilder.compile(tmpdir=str(HERE.parent / "build" / "cffi"), verbose=True)
