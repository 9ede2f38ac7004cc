# SPDX-License-Identifier: MIT
# Cython declarations of tav's C API (tav_capi.h, which documents each entry).
# Build with tav.get_include() on both the include path and Cython's
# include_path, then:
#
#     from tav_capi cimport tav_capi, tav_capi_import, tav_masker
#     cdef const tav_capi *tav = tav_capi_import()   # ImportError on PyPy
#
# The entries marked nogil run without the interpreter lock; decode() needs it
# and returns a new str or raises.
from libc.stdint cimport uint8_t

cdef extern from "tav_capi.h":
    enum:
        TAV_CAPI_VERSION
        TAV_STATUS_INVALID
        TAV_STATUS_COMPLETE
        TAV_STATUS_INCOMPLETE

    ctypedef struct tav_validator:
        size_t current_index
        size_t total_index
        int state

    ctypedef struct tav_masker:
        uint8_t key[4]
        size_t position

    ctypedef struct tav_capi:
        unsigned int version
        size_t size
        void (*validator_init)(tav_validator *v) noexcept nogil
        int (*validate)(tav_validator *v, const uint8_t *data, size_t length) noexcept nogil
        void (*masker_init)(tav_masker *m, const uint8_t *key) noexcept nogil
        size_t (*mask)(tav_masker *m, uint8_t *data, size_t length) noexcept nogil
        size_t (*mask_copy)(tav_masker *m, const uint8_t *src, uint8_t *dst, size_t length) noexcept nogil
        void (*mask_once)(const uint8_t *key, const uint8_t *src, uint8_t *dst, size_t length) noexcept nogil
        object (*decode)(const uint8_t *data, size_t length, const uint8_t *key, const char *errors)

    const tav_capi *tav_capi_import() except NULL
