from setuptools import Extension, setup

# Everything static lives in pyproject.toml; cffi's modules and the C-API
# extension cannot be said in TOML.
#
# tav._native compiles the two library sources into itself (capi/*_lib.cpp
# include them with hidden symbols), built for baseline x86-64: no -m flag,
# the routines that need more carry their own target attribute.
NATIVE_SOURCES = ["capi/_native.cpp", "capi/bytemask_lib.cpp"]
LIBRARY_FILES = [
    "capi/tav_libs.h",
    "utf8check/_tav_utf8check.cpp",
    "utf8check/tav_utf8check.h",
    "bytemask/_tav_bytemask.cpp",
    "bytemask/tav_bytemask.h",
]

setup(
    cffi_modules=[
        "utf8check/utf8check_build.py:ffibuilder",
        "bytemask/bytemask_build.py:ffibuilder",
    ],
    ext_modules=[
        Extension(
            "tav._native",
            sources=NATIVE_SOURCES,
            depends=LIBRARY_FILES,
            include_dirs=["capi", "utf8check", "bytemask"],
            language="c++",
            extra_compile_args=["-std=c++17", "-O3", "-fno-exceptions", "-fno-rtti", "-fvisibility=hidden"],
        )
    ],
)
