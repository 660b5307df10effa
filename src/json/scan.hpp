#pragma once
// The scan both the reader and the writer make over string bytes: to the first
// byte JSON treats specially inside a string (the quote, the backslash, a control).
#include <cstddef>
#include <emmintrin.h>

namespace vorlan::json::detail {

// Bytes that end the fast scan of a string: the quote, the backslash, controls.
struct StopTable {
    bool stop[256];
    constexpr StopTable() : stop() {
        for (int i = 0; i < 0x20; ++i) stop[i] = true;
        stop[static_cast<unsigned char>('"')] = true;
        stop[static_cast<unsigned char>('\\')] = true;
    }
};
inline constexpr StopTable kStop;

// Index of the first quote, backslash or control byte at or after pos (size if none):
// sixteen bytes at a time while they lie within the text, then byte by byte.
inline std::size_t scan_to_stop(const char* data, std::size_t pos, std::size_t size) {
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i flip = _mm_set1_epi8(static_cast<char>(0x80));
    const __m128i below_space = _mm_set1_epi8(static_cast<char>(0x20 ^ 0x80));
    while (pos + 16 <= size) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + pos));
        __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
                                   _mm_cmplt_epi8(_mm_xor_si128(v, flip), below_space));
        int mask = _mm_movemask_epi8(hit);
        if (mask != 0) return pos + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
        pos += 16;
    }
    while (pos < size && !kStop.stop[static_cast<unsigned char>(data[pos])]) ++pos;
    return pos;
}

}  // namespace vorlan::json::detail
