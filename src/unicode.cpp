#include "unicode.hpp"

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace vorlan::unicode {
namespace {

struct CodeRange {
    char32_t first;
    char32_t last;
};

// Every step-th code point from first to last maps to itself plus delta.
struct UpperRun {
    char32_t first;
    char32_t last;
    std::int32_t delta;
    std::uint8_t step;
};

struct UpperSpecial {
    char32_t code;
    std::uint8_t count;
    char32_t upper[3];
};

#include "unicode_data.inc"

template <class T, std::size_t N>
const T* containing(const T (&table)[N], char32_t c) {
    const T* it = std::upper_bound(std::begin(table), std::end(table), c,
                                   [](char32_t v, const T& e) { return v < e.first; });
    if (it == std::begin(table)) return nullptr;
    --it;
    return c <= it->last ? it : nullptr;
}


}  // namespace

void append_utf8(char32_t c, std::string& out) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xc0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3f)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xe0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3f)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3f)));
    } else {
        out.push_back(static_cast<char>(0xf0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3f)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3f)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3f)));
    }
}

bool is_white_space(char32_t c) { return containing(kWhiteSpace, c) != nullptr; }

bool is_escaped_in_description(char32_t c) { return containing(kEscapedInDescription, c) != nullptr; }

void append_upper(char32_t c, std::string& out) {
    const UpperSpecial* special =
        std::lower_bound(std::begin(kUpperSpecial), std::end(kUpperSpecial), c,
                         [](const UpperSpecial& e, char32_t v) { return e.code < v; });
    if (special != std::end(kUpperSpecial) && special->code == c) {
        for (std::uint8_t i = 0; i < special->count; ++i) append_utf8(special->upper[i], out);
        return;
    }
    if (const UpperRun* run = containing(kUpperRuns, c); run && (c - run->first) % run->step == 0)
        c = static_cast<char32_t>(static_cast<std::int32_t>(c) + run->delta);
    append_utf8(c, out);
}

}  // namespace vorlan::unicode
