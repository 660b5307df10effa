#pragma once
// The one UTF-8 decoder: every check of UTF-8 and every reading of a code point
// stands on decode(), so all agree on what a valid sequence is.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace vorlan::utf8 {

// The sequence that starts at a byte: a valid one has length 1 to 4; an invalid
// one has length 0 and error_length the bytes that make it invalid (1 to 3), or 0
// when the text ends inside it.
struct Sequence {
    char32_t code_point = 0;
    int length = 0;
    int error_length = 0;
};

inline Sequence decode(std::string_view s, std::size_t i) {
    const auto* b = reinterpret_cast<const unsigned char*>(s.data());
    const unsigned first = b[i];
    if (first < 0x80) return {first, 1, 0};
    const int width = first >= 0xc2 && first <= 0xdf ? 2 : first >= 0xe0 && first <= 0xef ? 3
                    : first >= 0xf0 && first <= 0xf4 ? 4 : 0;
    if (width == 0) return {0, 0, 1};
    char32_t cp = first & (0x7fu >> width);
    for (int k = 1; k < width; ++k) {
        if (i + static_cast<std::size_t>(k) >= s.size()) return {0, 0, 0};
        const unsigned c = b[i + static_cast<std::size_t>(k)];
        // The second byte's range also rules out overlong forms, surrogates and code points past U+10FFFF.
        bool ok = (c & 0xc0) == 0x80;
        if (k == 1) {
            if (first == 0xe0) ok = c >= 0xa0 && c <= 0xbf;
            else if (first == 0xed) ok = c >= 0x80 && c <= 0x9f;
            else if (first == 0xf0) ok = c >= 0x90 && c <= 0xbf;
            else if (first == 0xf4) ok = c >= 0x80 && c <= 0x8f;
        }
        if (!ok) return {0, 0, k};
        cp = cp << 6 | (c & 0x3f);
    }
    return {cp, width, 0};
}

// The index of the first byte that starts no valid sequence, or s.size(). ASCII
// runs go eight bytes at a time.
inline std::size_t first_invalid(std::string_view s) {
    const auto* b = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    std::size_t i = 0;
    for (;;) {
        std::uint64_t word;
        while (i + 8 <= n && (std::memcpy(&word, b + i, 8), (word & 0x8080808080808080ull) == 0)) i += 8;
        while (i < n && b[i] < 0x80) ++i;
        if (i == n) return n;
        const Sequence seq = decode(s, i);
        if (seq.length == 0) return i;
        i += static_cast<std::size_t>(seq.length);
    }
}

}  // namespace vorlan::utf8
