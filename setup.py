from setuptools import setup
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


# Everything static lives in pyproject.toml; cffi's modules cannot be said in TOML.
setup(
    cmdclass={"build_ext": BuildExt},
    cffi_modules=[
        "utf8check/utf8check_build.py:ffibuilder",
        "bytemask/bytemask_build.py:ffibuilder",
    ],
)
