"""Where the C header and the Cython declarations of tav's C API are installed."""
from __future__ import annotations

import os

__all__ = ["get_include"]


def get_include() -> str:
    """The folder holding tav_capi.h and tav_capi.pxd, for an extension built against tav.

    Give it as an include directory (setuptools' ``include_dirs``, Cython's
    ``include_path``). The folder exists on every interpreter; the C API itself
    is CPython's only: on PyPy, tav_capi_import() raises ImportError."""
    return os.path.join(os.path.dirname(os.path.abspath(__file__)), "include")
