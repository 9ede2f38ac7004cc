from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext


class BuildExt(build_ext):
    """build_ext that can link C++ where the interpreter's sysconfig says nothing of it.

    PyPy's sysconfig has no LDCXXSHARED, which leaves setuptools without a C++
    link command; link as for C, with the C++ driver in front."""

    def build_extensions(self) -> None:
        compiler = self.compiler
        if getattr(compiler, "linker_so_cxx", "") is None and getattr(compiler, "compiler_cxx", None):
            compiler.set_executables(linker_so_cxx=[compiler.compiler_cxx[0], *compiler.linker_so[1:]])
        super().build_extensions()


# _tav_native, the safe API as a CPython C-API extension, compiles the two
# library sources into itself (capi/*_lib.cpp include them with hidden
# symbols), built for baseline x86-64: no -m flag, the routines that need more
# carry their own target attribute. PyPy uses the cffi modules instead.
NATIVE_SOURCES = ["capi/_tav_native.cpp", "capi/bytemask_lib.cpp"]
LIBRARY_FILES = [
    "capi/tav_libs.h",
    "utf8check/_tav_utf8check.cpp",
    "utf8check/utf8_avx2.cpp",
    "utf8check/utf8_avx512.cpp",
    "utf8check/utf8_block.cpp",
    "utf8check/utf8_ssse3.cpp",
    "utf8check/tav_utf8check.h",
    "utf8check/utf8_internal.h",
    "utf8check/utf8_lookup.h",
    "bytemask/_tav_bytemask.cpp",
    "bytemask/tav_bytemask.h",
]
native = Extension(
    "_tav_native",
    sources=NATIVE_SOURCES,
    depends=LIBRARY_FILES,
    include_dirs=["capi", "utf8check", "bytemask"],
    language="c++",
    extra_compile_args=["-std=c++17", "-O3", "-fno-exceptions", "-fno-rtti", "-fvisibility=hidden"],
)

# Everything static lives in pyproject.toml; cffi's modules and the C-API
# extension cannot be said in TOML.
setup(
    cmdclass={"build_ext": BuildExt},
    cffi_modules=[
        "utf8check/utf8check_build.py:ffibuilder",
        "bytemask/bytemask_build.py:ffibuilder",
    ],
    ext_modules=[] if hasattr(__import__("sys"), "pypy_version_info") else [native],
)
