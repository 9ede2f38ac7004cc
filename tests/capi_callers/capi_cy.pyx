# SPDX-License-Identifier: MIT
# cython: language_level=3, freethreading_compatible=True
# A Cython module that calls every entry of tav's C API, for
# tests/test_capi_callers.py: the same functions as capi_c.c.
from libc.stdint cimport uint8_t

from tav_capi cimport TAV_CAPI_VERSION, tav_capi, tav_capi_import, tav_masker, tav_validator

cdef const tav_capi *tav = tav_capi_import()


cdef const uint8_t *key_of(object key) except? NULL:
    if key is None:
        return NULL
    if not isinstance(key, bytes) or len(key) != 4:
        raise ValueError("key must be 4 bytes or None")
    return <const uint8_t *><bytes>key


def api_version():
    return tav.version, tav.size, TAV_CAPI_VERSION, sizeof(tav_capi)


def validate_chunks(list chunks):
    cdef tav_validator v
    cdef const uint8_t *p
    cdef size_t n
    cdef int status
    out = []
    tav.validator_init(&v)
    for chunk in chunks:
        status = 0
        if chunk is None:
            tav.validator_init(&v)
        else:
            p = <const uint8_t *><bytes>chunk
            n = len(<bytes>chunk)
            with nogil:
                status = tav.validate(&v, p, n)
        out.append((status, v.current_index, v.total_index, v.state))
    return out


def mask_chunks(bytes key, list chunks, bint copy):
    cdef tav_masker m
    cdef size_t position
    tav.masker_init(&m, key_of(key))
    masked, positions = [], []
    for chunk in chunks:
        if copy:
            dst = bytearray(len(chunk))
            position = tav.mask_copy(&m, <const uint8_t *><bytes>chunk, <uint8_t *><char *>dst, len(chunk))
        else:
            dst = bytearray(chunk)
            position = tav.mask(&m, <uint8_t *><char *>dst, len(dst))
        if position != m.position:
            raise AssertionError("returned position != record")
        masked.append(bytes(dst))
        positions.append(position)
    return masked, positions


def mask_once(bytes key, bytes data, bint in_place):
    dst = bytearray(data) if in_place else bytearray(len(data))
    cdef const uint8_t *src = <const uint8_t *><char *>dst if in_place else <const uint8_t *><bytes>data
    tav.mask_once(key_of(key), src, <uint8_t *><char *>dst, len(data))
    return bytes(dst)


def decode(bytes data, key, errors):
    cdef const char *e = NULL
    if errors is not None:
        errors_b = errors.encode()
        e = errors_b
    return tav.decode(<const uint8_t *><bytes>data, len(data), key_of(key), e)
