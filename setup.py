from setuptools import setup

# Everything static lives in pyproject.toml; cffi's modules cannot be said in TOML.
setup(
    cffi_modules=[
        "utf8check/utf8check_build.py:ffibuilder",
        "bytemask/bytemask_build.py:ffibuilder",
    ],
)
