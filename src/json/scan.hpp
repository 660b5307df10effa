#pragma once
// The scan both the reader and the writer make over string bytes: to the first
// byte JSON treats specially inside a string (the quote, the backslash, a control).
#include <cstddef>
#include <cstdint>
#if defined(__SSE2__)
#include <emmintrin.h>
#elif defined(__ARM_NEON)
#include <arm_neon.h>
#endif

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

// Index of the first quote, backslash or control byte at or after pos (size if none),
// byte by byte: the whole scan where there are no vectors, the tail where there are.
inline std::size_t scan_to_stop_plain(const char* data, std::size_t pos, std::size_t size) {
    while (pos < size && !kStop.stop[static_cast<unsigned char>(data[pos])]) ++pos;
    return pos;
}

// The same, sixteen bytes at a time while they lie within the text, then byte by byte.
inline std::size_t scan_to_stop(const char* data, std::size_t pos, std::size_t size) {
#if defined(__SSE2__)
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
#elif defined(__ARM_NEON)
    const uint8x16_t quote = vdupq_n_u8('"');
    const uint8x16_t backslash = vdupq_n_u8('\\');
    const uint8x16_t space = vdupq_n_u8(0x20);
    while (pos + 16 <= size) {
        uint8x16_t v = vld1q_u8(reinterpret_cast<const std::uint8_t*>(data + pos));
        uint8x16_t hit = vorrq_u8(vorrq_u8(vceqq_u8(v, quote), vceqq_u8(v, backslash)), vcltq_u8(v, space));
        // Narrowing each 16-bit lane by four bits leaves four mask bits a byte, in byte order.
        std::uint64_t mask = vget_lane_u64(vreinterpret_u64_u8(vshrn_n_u16(vreinterpretq_u16_u8(hit), 4)), 0);
        if (mask != 0) return pos + static_cast<std::size_t>(__builtin_ctzll(mask) >> 2);
        pos += 16;
    }
#endif
    return scan_to_stop_plain(data, pos, size);
}

}  // namespace vorlan::json::detail
