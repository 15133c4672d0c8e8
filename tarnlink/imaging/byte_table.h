#pragma once

// A 256-entry byte table looked up a whole register of indices at a time, on
// the wide paths: the gamma table of the colour pass, the black-level table of
// reformatting.
#include <cstdint>

#include "imaging/kernel_path.h"

#ifdef TARN_WIDE_PATH
#include <immintrin.h>

namespace tarnlink {

// AVX2: sixteen 16-entry shuffles, one per high nibble, narrowed to the right
// one by the index's bits 4 to 7 in turn.
struct ByteTable256 {
    __m256i row[16];
};
TARN_AVX2_INLINE ByteTable256 LoadByteTable256(const uint8_t *table) {
    ByteTable256 t;
    for (int h = 0; h < 16; ++h)
        t.row[h] = _mm256_broadcastsi128_si256(
            _mm_loadu_si128(reinterpret_cast<const __m128i *>(table + 16 * h)));
    return t;
}
TARN_AVX2_INLINE __m256i Lookup(const ByteTable256 &t, __m256i index) {
    const __m256i low = _mm256_and_si256(index, _mm256_set1_epi8(0x0F));
    __m256i level[16];
    for (int h = 0; h < 16; ++h) level[h] = _mm256_shuffle_epi8(t.row[h], low);
    // Bit 4 + k of each byte moved to bit 7, where the blend looks.
    for (int k = 0, n = 16; k < 4; ++k, n /= 2) {
        const __m256i bit = k == 3 ? index : _mm256_slli_epi16(index, 3 - k);
        for (int i = 0; i < n / 2; ++i)
            level[i] = _mm256_blendv_epi8(level[2 * i], level[2 * i + 1], bit);
    }
    return level[0];
}

// AVX-512 (VBMI): the table as four 64-byte registers, two lookups of 128
// entries each, and bit 7 choosing between them.
struct ByteTable512 {
    __m512i t0, t1, t2, t3;
};
TARN_AVX512_INLINE ByteTable512 LoadByteTable512(const uint8_t *table) {
    return {_mm512_loadu_si512(table), _mm512_loadu_si512(table + 64),
            _mm512_loadu_si512(table + 128), _mm512_loadu_si512(table + 192)};
}
TARN_AVX512_INLINE __m512i Lookup(const ByteTable512 &t, __m512i index) {
    const __m512i low = _mm512_permutex2var_epi8(t.t0, index, t.t1);
    const __m512i high = _mm512_permutex2var_epi8(t.t2, index, t.t3);
    return _mm512_mask_blend_epi8(_mm512_movepi8_mask(index), low, high);
}

} // namespace tarnlink
#endif
