#pragma once
// Helpers shared by the fuzz targets: input splitting, invariant checks that
// abort (so libFuzzer records the input), and JSON checks on outputs.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

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

inline bool not_built(const Result<std::string>& r) {
    return !r.ok() && r.error().find("is not built yet") != std::string::npos;
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

// The normalising operations: valid UTF-8 in, canonical text out, and the
// canonical text is its own normal form.
inline void check_normalizer(Result<std::string> (*normalize)(std::string_view), const char* op,
                             const std::uint8_t* data, std::size_t size) {
    const std::string_view input = as_text(data, size);
    const bool utf8 = json::valid_utf8(input);
    Result<std::string> first = normalize(input);
    if (not_built(first)) return;
    if (utf8) require_utf8(first, op);
    if (!first.ok()) return;
    json::JsonValue ignored;
    parse_output(first.value(), ignored, op);
    Result<std::string> second = normalize(first.value());
    if (!second.ok()) violated("normalised output does not normalise", first.value(), second.error());
    require(second.value() == first.value(), "normalised output is not a fixed point", first.value(),
            second.value());
}

}  // namespace vorlan::fuzz
