#pragma once
// Helpers shared by the fuzz targets: input splitting, invariant checks that
// abort (so libFuzzer records the input), and JSON checks on outputs.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>

#include "arena.hpp"
#include "json/json.hpp"
#include "operations.hpp"

namespace vorlan::fuzz {

inline std::string_view as_text(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// Two texts from one input: before and after the first NUL byte (no NUL: the
// second text is empty).
struct Pair {
    std::string_view first;
    std::string_view second;
};
inline Pair split(std::string_view input) {
    const std::size_t nul = input.find('\0');
    if (nul == std::string_view::npos) return {input, {}};
    return {input.substr(0, nul), input.substr(nul + 1)};
}

[[noreturn]] inline void violated(const char* what, std::string_view a = {}, std::string_view b = {}) {
    std::fprintf(stderr, "invariant violated: %s\n", what);
    if (!a.empty()) std::fprintf(stderr, "  first:  %.*s\n", static_cast<int>(a.size() > 4000 ? 4000 : a.size()), a.data());
    if (!b.empty()) std::fprintf(stderr, "  second: %.*s\n", static_cast<int>(b.size() > 4000 ? 4000 : b.size()), b.data());
    std::abort();
}

inline void require(bool ok, const char* what, std::string_view a = {}, std::string_view b = {}) {
    if (!ok) violated(what, a, b);
}

// Every message and every text result must reach Python as a str.
inline void require_utf8(const Result<std::string>& r, const char* op) {
    const std::string& text = r.ok() ? r.value() : r.error();
    if (!json::valid_utf8(text)) violated(op, r.ok() ? "result is not UTF-8" : "message is not UTF-8");
    if (!r.ok() && r.error().empty()) violated(op, "empty error message");
}

enum class Parsed { Ok, TooDeep };

// Reads a text the module wrote as one JSON document; aborts unless it reads
// (a result may legitimately nest deeper than the reader's limit).
inline Parsed parse_output(std::string_view text, json::JsonValue& out, const char* op) {
    json::Reader reader(text);
    if (reader.parse_value(out) && reader.end_of_text()) return Parsed::Ok;
    const json::Error& e = reader.error();
    if (e.message == "recursion limit exceeded") return Parsed::TooDeep;
    std::fprintf(stderr, "%s wrote text that does not read back: %s\n", op, e.text().c_str());
    violated(op, text);
}

// The text with every character of every string (keys and values) written as a
// \u escape. Escapes already there stay as written; so do control characters and
// bytes that are not UTF-8 (read alike either way), and the character right after
// an escaped leading surrogate (what the reader says about it depends on its spelling).
inline std::string respell_strings(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    auto escape = [](std::string& out, std::uint32_t unit) {
        out += "\\u";
        for (int shift = 12; shift >= 0; shift -= 4) out.push_back(kHex[(unit >> shift) & 0xf]);
    };
    std::string out;
    out.reserve(text.size() * 6);
    bool in_string = false;
    bool keep_next = false;
    std::size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"' || !in_string) {
            if (c == '"') in_string = !in_string;
            out.push_back(static_cast<char>(c));
            ++i;
            continue;
        }
        if (c == '\\') {
            const std::string_view written = text.substr(i, text.substr(i + 1, 1) == "u" ? 6 : 2);
            out += written;
            i += written.size();
            keep_next = written.size() == 6 && (written[2] == 'd' || written[2] == 'D') &&
                        std::string_view("89abAB").find(written[3]) != std::string_view::npos;
            continue;
        }
        const std::size_t length = c < 0x80 ? 1 : c < 0xe0 ? 2 : c < 0xf0 ? 3 : 4;
        const std::string_view ch = text.substr(i, length);
        if (keep_next || c < 0x20 || ch.size() != length || !json::valid_utf8(ch)) {
            const std::size_t kept = keep_next && json::valid_utf8(ch) ? ch.size() : 1;
            out += text.substr(i, kept);
            i += kept;
            keep_next = false;
            continue;
        }
        std::uint32_t cp = length == 1 ? c : c & (0xff >> (length + 1));
        for (std::size_t k = 1; k < length; ++k) cp = cp << 6 | (static_cast<unsigned char>(ch[k]) & 0x3f);
        if (cp >= 0x10000) {
            escape(out, 0xd800 + ((cp - 0x10000) >> 10));
            escape(out, 0xdc00 + ((cp - 0x10000) & 0x3ff));
        } else {
            escape(out, cp);
        }
        i += length;
    }
    return out;
}

// A message without its trailing " at line L column C".
inline std::string_view without_position(std::string_view message) {
    const std::size_t at = message.rfind(" at line ");
    if (at == std::string_view::npos) return message;
    const std::string_view rest = message.substr(at + 9);
    const std::size_t column = rest.find(" column ");
    auto digits = [](std::string_view s) {
        return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
    };
    if (column == std::string_view::npos || !digits(rest.substr(0, column)) || !digits(rest.substr(column + 8)))
        return message;
    return message.substr(0, at);
}

// Two results of one job: the same text, or the same message (apart from its
// position unless `exact`). Running out of memory on either side proves nothing.
inline void require_same_outcome(const Result<std::string>& a, const Result<std::string>& b, bool exact,
                                 const char* what) {
    if ((!a.ok() && a.failure().out_of_memory) || (!b.ok() && b.failure().out_of_memory)) return;
    if (a.ok() != b.ok()) violated(what, a.ok() ? a.value() : a.error(), b.ok() ? b.value() : b.error());
    if (a.ok()) {
        require(a.value() == b.value(), what, a.value(), b.value());
    } else if (exact) {
        require(a.error() == b.error(), what, a.error(), b.error());
    } else {
        require(without_position(a.error()) == without_position(b.error()), what, a.error(), b.error());
    }
}

// The normalising operations: valid UTF-8 in, canonical text out, the canonical
// text its own normal form, and strings read alike however they are escaped.
inline void check_normalizer(Result<std::string> (*normalize)(std::string_view), const char* op,
                             const std::uint8_t* data, std::size_t size) {
    const std::string_view input = as_text(data, size);
    const bool utf8 = json::valid_utf8(input);
    Result<std::string> first = normalize(input);
    if (utf8) require_utf8(first, op);
    require_same_outcome(first, normalize(respell_strings(input)), false,
                         "escaped strings do not read as the plain ones");
    if (!first.ok()) return;
    json::JsonValue ignored;
    parse_output(first.value(), ignored, op);
    Result<std::string> second = normalize(first.value());
    if (!second.ok()) violated("normalised output does not normalise", first.value(), second.error());
    require(second.value() == first.value(), "normalised output is not a fixed point", first.value(),
            second.value());
}

// The most memory the operations body runs held at once in their arenas.
template <class F>
std::size_t arena_peak_of(F&& body) {
    std::size_t peak = 0;
    std::size_t* const outer = std::exchange(detail::arena_peak, &peak);
    body();
    detail::arena_peak = outer;
    return peak;
}

// An operation holds at most a fixed multiple of its input in its arena, besides the
// first blocks any operation takes: no input shape may amplify what it costs.
inline void require_arena_bound(std::size_t peak, std::size_t input_bytes, std::size_t per_byte, const char* op) {
    constexpr std::size_t kBase = std::size_t{256} << 10;
    if (peak <= kBase + per_byte * input_bytes) return;
    char what[160];
    std::snprintf(what, sizeof what, "%s held %zu arena bytes for %zu input bytes (at most %zu a byte)", op, peak,
                  input_bytes, per_byte);
    violated(what);
}

// A fast path and the exact path of one job: the same text or the very same message.
inline void check_same_as(Result<std::string> (*fast)(std::string_view), Result<std::string> (*exact)(std::string_view),
                          const char* what, const std::uint8_t* data, std::size_t size) {
    const std::string_view input = as_text(data, size);
    require_same_outcome(fast(input), exact(input), true, what);
}

}  // namespace vorlan::fuzz
