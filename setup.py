import sys
import sysconfig
from pathlib import Path

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
# Every source and header the module's one unit includes: a change to any of
# them rebuilds it.
LIBRARY_FILES = sorted(
    str(path)
    for folder in ("capi", "utf8check", "bytemask")
    for path in Path(folder).glob("*")
    if path.suffix in (".h", ".cpp") and path.name not in ("_tav_native.cpp", "bytemask_lib.cpp")
)
native = Extension(
    "_tav_native",
    sources=NATIVE_SOURCES,
    depends=LIBRARY_FILES,
    include_dirs=["capi", "utf8check", "bytemask"],
    language="c++",
    extra_compile_args=["-std=c++17", "-O3", "-fno-exceptions", "-fno-rtti", "-fvisibility=hidden"],
)

PYPY = hasattr(sys, "pypy_version_info")
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def cffi_plan() -> "tuple[str | None, str | None]":
    """(requirement, reason): the cffi this interpreter needs to build and run
    the cffi modules, and why they are left out (None when they are built).

    The free-threaded CPython 3.13 has no cffi: cffi 2 refuses it, and cffi 1
    generates limited-API code, which a free-threaded build does not compile.
    cffi 2 builds for the free-threaded 3.14 and later. PyPy brings its own."""
    if FREE_THREADED and sys.version_info < (3, 14):
        return None, "cffi supports no free-threaded CPython before 3.14"
    if PYPY:
        return None, None
    requirement = "cffi>=2,<3" if FREE_THREADED else "cffi>=1.17,<3"
    try:
        import cffi
    except ImportError:
        return requirement, None  # asked of the build frontend first (setup_requires below)
    if FREE_THREADED and int(cffi.__version__.split(".")[0]) < 2:
        return requirement, f"cffi {cffi.__version__} cannot build for a free-threaded interpreter; cffi 2 can"
    return requirement, None


requirement, left_out = cffi_plan()
try:
    import cffi  # noqa: F401  (only to learn whether cffi_modules can be said)

    cffi_present = True
except ImportError:
    cffi_present = False
options = {}
if left_out:
    print(
        "tav: building without the cffi modules _tav_utf8check, _tav_utf8routines, _tav_bytemask and "
        f"_tav_maskroutines: {left_out}. "
        "The native module _tav_native serves the safe API.",
        file=sys.stderr,
    )
elif cffi_present:
    options["cffi_modules"] = [
        "utf8check/utf8check_build.py:ffibuilder",
        "utf8check/utf8check_build.py:routines_ffibuilder",
        "bytemask/bytemask_build.py:ffibuilder",
        "bytemask/bytemask_build.py:routines_ffibuilder",
    ]
elif requirement:
    # setuptools' build backend returns these from get_requires_for_build_*,
    # so the frontend installs cffi before it builds (pyproject.toml cannot
    # say "cffi, except on the free-threaded 3.13").
    options["setup_requires"] = [requirement]

# Everything static lives in pyproject.toml; cffi's modules, the C-API
# extension and the dependency on cffi, which differs between interpreters
# (wheels are built per interpreter), cannot be said in TOML.
setup(
    cmdclass={"build_ext": BuildExt},
    install_requires=[requirement] if requirement and not left_out else [],
    ext_modules=[] if PYPY else [native],
    **options,
)
