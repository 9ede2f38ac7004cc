// SPDX-License-Identifier: MIT
// The decoder's portable routines (utf8_decode_common.h), for any
// processor: the vector families fall back on the same code for their
// tails.
#include "utf8_decode_common.h"

TAV_UTF8_API int tav_utf8_measure_scalar(const uint8_t *src, size_t n, const uint8_t *key, tav_utf8_measure *out) {
    return tav_utf8::measure_with(src, n, key, out, tav_utf8::measure_scalar);
}

namespace {

template <class Unit>
size_t convert(const uint8_t *src, size_t n, Unit *dst, size_t dst_len) {
    return tav_utf8::decode_scalar(src, 0, n, dst, 0, dst_len);
}

}  // namespace

TAV_UTF8_API size_t tav_utf8_to_latin1_scalar(const uint8_t *src, size_t n, const uint8_t *key, uint8_t *dst,
                                              size_t dst_len) {
    return tav_utf8::to_latin1(src, n, key, dst, dst_len, convert<uint8_t>);
}

TAV_UTF8_API size_t tav_utf8_to_ucs2_scalar(const uint8_t *src, size_t n, const uint8_t *key, uint16_t *dst,
                                            size_t dst_len) {
    return tav_utf8::convert_with(src, n, key, dst, dst_len, convert<uint16_t>);
}

TAV_UTF8_API size_t tav_utf8_to_ucs4_scalar(const uint8_t *src, size_t n, const uint8_t *key, uint32_t *dst,
                                            size_t dst_len) {
    return tav_utf8::convert_with(src, n, key, dst, dst_len, convert<uint32_t>);
}
