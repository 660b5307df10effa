#include <algorithm>
#include <cmath>
#include <cstring>

#include <fast_float/fast_float.h>

#include "json/json.hpp"
#include "json/scan.hpp"
#include "json/walk.hpp"
#include "unicode.hpp"

namespace vorlan::json {

namespace {

constexpr const char* kEofValue = "EOF while parsing a value";
constexpr const char* kEofObject = "EOF while parsing an object";
constexpr const char* kEofList = "EOF while parsing a list";
constexpr const char* kEofString = "EOF while parsing a string";

bool is_ws(int c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; }

int hex_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

Reader::Reader(std::string_view text, bool validate_utf8)
    : data_(text.data()), size_(text.size()), validate_utf8_(validate_utf8) {}

int Reader::peek_ws_slow() {
    while (pos_ < size_) {
        unsigned char c = static_cast<unsigned char>(data_[pos_]);
        if (!is_ws(c)) return c;
        ++noncanonical_;
        ++pos_;
    }
    return -1;
}

// ---- errors ---------------------------------------------------------------

bool Reader::position_of(std::size_t index, Error& e) const {
    std::size_t line = 1;
    std::size_t line_start = 0;
    for (std::size_t i = 0; i < index; ++i) {
        if (data_[i] == '\n') {
            ++line;
            line_start = i + 1;
        }
    }
    e.positioned = true;
    e.line = line;
    e.column = index - line_start;
    return false;
}

bool Reader::fail(std::string message) {
    failed_ = true;
    error_ = Error{std::move(message)};
    return position_of(pos_, error_);
}

bool Reader::fail_peek(std::string message) {
    failed_ = true;
    error_ = Error{std::move(message)};
    return position_of(std::min(size_, pos_ + 1), error_);
}

bool Reader::fail_unpositioned(std::string message) {
    failed_ = true;
    error_ = Error{std::move(message)};
    return false;
}

bool Reader::fix_position() {
    if (failed_ && !error_.positioned) position_of(pos_, error_);
    return false;
}

Error Reader::take_error() {
    failed_ = false;
    return std::move(error_);
}

namespace {

// Fails on the first event: the value that starts where the reader stands, read far
// enough to say what it is.
struct Describe {
    static constexpr WalkRules rules = kRead;
    Reader& r;
    std::string_view expected;

    bool found(std::string_view what) { return r.fail(invalid_type(what, expected)); }
    bool null() { return found("null"); }
    bool boolean(bool b) { return found(b ? "boolean `true`" : "boolean `false`"); }
    bool number(const Number& n) { return found(n.describe()); }
    bool string(std::string_view s) { return found(describe_string(s)); }
    bool begin_array() { return found("sequence"); }
    bool begin_object() { return found("map"); }
    void element() {}
    bool key(std::string_view) { return true; }
    void end_array() {}
    void end_object() {}
};

}  // namespace

bool Reader::fail_invalid_type_here(std::string_view expected) {
    if (peek() < 0) return fail_peek("expected value");
    Describe describe{*this, expected};
    return walk(describe);
}

// ---- nesting --------------------------------------------------------------

bool Reader::too_deep() {
    ++remaining_depth_;
    return fail_peek("recursion limit exceeded");
}

// ---- scalars --------------------------------------------------------------

bool Reader::parse_ident_slow(const char* rest) {
    for (const char* p = rest; *p; ++p) {
        if (pos_ >= size_) return fail(kEofValue);
        char c = data_[pos_++];
        if (c != *p) return fail("expected ident");
    }
    return true;
}

// What the inline part leaves: escapes, UTF-8 to check, or an error.
bool Reader::parse_string_slow(std::size_t start, std::string_view& out) {
    pos_ = detail::scan_to_stop(data_, pos_, size_);
    if (pos_ < size_ && data_[pos_] == '"') {
        out = std::string_view(data_ + start, pos_ - start);
        ++pos_;
        if (validate_utf8_ && !valid_utf8(out)) return fail("invalid unicode code point");
        return true;
    }
    scratch_.clear();
    for (;;) {
        pos_ = detail::scan_to_stop(data_, pos_, size_);
        if (pos_ == size_) return fail(kEofString);
        char c = data_[pos_];
        if (c == '"') {
            scratch_.append(data_ + start, pos_ - start);
            ++pos_;
            out = scratch_;
            if (validate_utf8_ && !valid_utf8(out)) return fail("invalid unicode code point");
            return true;
        }
        if (c == '\\') {
            // Some escapes are what the writer writes; telling which is not worth it.
            ++noncanonical_;
            scratch_.append(data_ + start, pos_ - start);
            ++pos_;
            if (!parse_escape()) return false;
            start = pos_;
            continue;
        }
        ++pos_;
        return fail("control character (\\u0000-\\u001F) found while parsing a string");
    }
}

bool Reader::parse_escape() {
    if (pos_ >= size_) return fail(kEofString);
    char c = data_[pos_++];
    switch (c) {
        case '"': scratch_.push_back('"'); return true;
        case '\\': scratch_.push_back('\\'); return true;
        case '/': scratch_.push_back('/'); return true;
        case 'b': scratch_.push_back('\b'); return true;
        case 'f': scratch_.push_back('\f'); return true;
        case 'n': scratch_.push_back('\n'); return true;
        case 'r': scratch_.push_back('\r'); return true;
        case 't': scratch_.push_back('\t'); return true;
        case 'u': return parse_unicode_escape();
        default: return fail("invalid escape");
    }
}

bool Reader::decode_hex(std::uint16_t& out) {
    if (size_ - pos_ < 4) {
        pos_ = size_;
        return fail(kEofString);
    }
    int value = 0;
    bool ok = true;
    for (int i = 0; i < 4; ++i) {
        int h = hex_value(static_cast<unsigned char>(data_[pos_ + i]));
        if (h < 0) ok = false;
        value = value * 16 + (h < 0 ? 0 : h);
    }
    pos_ += 4;
    if (!ok) return fail("invalid escape");
    out = static_cast<std::uint16_t>(value);
    return true;
}

bool Reader::parse_unicode_escape() {
    std::uint16_t n;
    if (!decode_hex(n)) return false;
    if (n >= 0xdc00 && n <= 0xdfff) return fail("lone leading surrogate in hex escape");
    if (n < 0xd800 || n > 0xdbff) {
        unicode::append_utf8(n, scratch_);
        return true;
    }
    // A leading surrogate must be followed by an escaped trailing one.
    if (pos_ >= size_) return fail(kEofString);
    if (data_[pos_] != '\\') {
        ++pos_;
        return fail("unexpected end of hex escape");
    }
    ++pos_;
    if (pos_ >= size_) return fail(kEofString);
    if (data_[pos_] != 'u') {
        ++pos_;
        return fail("unexpected end of hex escape");
    }
    ++pos_;
    std::uint16_t n2;
    if (!decode_hex(n2)) return false;
    if (n2 < 0xdc00 || n2 > 0xdfff) return fail("lone leading surrogate in hex escape");
    std::uint32_t c = ((static_cast<std::uint32_t>(n - 0xd800) << 10) | (n2 - 0xdc00)) + 0x10000;
    unicode::append_utf8(c, scratch_);
    return true;
}

bool Reader::parse_number(Number& out) {
    const std::size_t start = pos_;
    bool negative = false;
    if (data_[pos_] == '-') {
        negative = true;
        ++pos_;
    }
    if (pos_ >= size_) return fail(kEofValue);
    char first = data_[pos_++];
    std::uint64_t significand = 0;
    bool overflowed = false;
    if (first == '0') {
        if (pos_ < size_ && data_[pos_] >= '0' && data_[pos_] <= '9') return fail_peek("invalid number");
    } else if (first >= '1' && first <= '9') {
        significand = static_cast<std::uint64_t>(first - '0');
        while (pos_ < size_ && data_[pos_] >= '0' && data_[pos_] <= '9') {
            std::uint64_t digit = static_cast<std::uint64_t>(data_[pos_] - '0');
            if (!overflowed && significand > (UINT64_MAX - digit) / 10) overflowed = true;
            if (!overflowed) significand = significand * 10 + digit;
            ++pos_;
        }
    } else {
        return fail("invalid number");
    }
    bool is_float = overflowed;
    if (pos_ < size_ && data_[pos_] == '.') {
        is_float = true;
        ++pos_;
        std::size_t digits = pos_;
        while (pos_ < size_ && data_[pos_] >= '0' && data_[pos_] <= '9') ++pos_;
        if (pos_ == digits) return pos_ < size_ ? fail_peek("invalid number") : fail_peek(kEofValue);
    }
    if (pos_ < size_ && (data_[pos_] == 'e' || data_[pos_] == 'E')) {
        is_float = true;
        ++pos_;
        bool positive_exp = true;
        if (pos_ < size_ && (data_[pos_] == '+' || data_[pos_] == '-')) positive_exp = data_[pos_++] == '+';
        if (pos_ >= size_) return fail(kEofValue);
        if (data_[pos_] < '0' || data_[pos_] > '9') {
            ++pos_;
            return fail("invalid number");
        }
        std::int64_t exp = 0;
        while (pos_ < size_ && data_[pos_] >= '0' && data_[pos_] <= '9') {
            int digit = data_[pos_] - '0';
            if (exp > INT32_MAX / 10 || (exp == INT32_MAX / 10 && digit > INT32_MAX % 10)) {
                // An exponent beyond 32 bits: infinity is refused right here, anything else is zero.
                bool nonzero = false;
                for (std::size_t i = start; i < pos_ && data_[i] != 'e' && data_[i] != 'E'; ++i)
                    if (data_[i] >= '1' && data_[i] <= '9') nonzero = true;
                if (nonzero && positive_exp) return fail("number out of range");
                while (pos_ < size_ && data_[pos_] >= '0' && data_[pos_] <= '9') ++pos_;
                out.kind = Number::Kind::F64;
                out.f = negative ? -0.0 : 0.0;
                return true;
            }
            exp = exp * 10 + digit;
            ++pos_;
        }
    }
    if (!is_float) {
        if (!negative) {
            out.kind = Number::Kind::U64;
            out.u = significand;
            return true;
        }
        if (significand != 0 && significand <= static_cast<std::uint64_t>(INT64_MAX) + 1) {
            out.kind = Number::Kind::I64;
            out.i = static_cast<std::int64_t>(0 - significand);
            return true;
        }
        // -0 and integers below the signed range read as floats.
    }
    double value = 0;
    // Correctly rounded, so bit for bit what any exact parser gives; a result beyond the
    // range comes back as infinity, which is refused, and one below it as a signed zero.
    fast_float::from_chars(data_ + start, data_ + pos_, value);
    if (std::isinf(value)) return fail("number out of range");
    out.kind = Number::Kind::F64;
    out.f = value;
    return true;
}

// ---- typed reads ----------------------------------------------------------

bool Reader::read_string_view(std::string_view& out, std::string_view expected) {
    int c = peek_ws();
    if (c == '"') {
        bump();
        return parse_string(out);
    }
    if (c < 0) return fail_peek(kEofValue);
    return fail_invalid_type_here(expected);
}

bool Reader::read_bool(bool& out, std::string_view expected) {
    int c = peek_ws();
    if (c == 't') {
        bump();
        if (!parse_ident("rue")) return false;
        out = true;
        return true;
    }
    if (c == 'f') {
        bump();
        if (!parse_ident("alse")) return false;
        out = false;
        return true;
    }
    if (c < 0) return fail_peek(kEofValue);
    return fail_invalid_type_here(expected);
}

bool Reader::read_u64(std::uint64_t& out, std::string_view expected) {
    int c = peek_ws();
    if (c < 0) return fail_peek(kEofValue);
    if (c != '-' && (c < '0' || c > '9')) return fail_invalid_type_here(expected);
    Number n;
    if (!parse_number(n)) return false;
    switch (n.kind) {
        case Number::Kind::U64: out = n.u; return true;
        case Number::Kind::I64: return fail(invalid_value(n.describe(), expected));
        case Number::Kind::F64: return fail(invalid_type(n.describe(), expected));
    }
    return false;
}

bool Reader::read_i64(std::int64_t& out, std::string_view expected) {
    int c = peek_ws();
    if (c < 0) return fail_peek(kEofValue);
    if (c != '-' && (c < '0' || c > '9')) return fail_invalid_type_here(expected);
    Number n;
    if (!parse_number(n)) return false;
    switch (n.kind) {
        case Number::Kind::U64:
            if (n.u > static_cast<std::uint64_t>(INT64_MAX)) return fail(invalid_value(n.describe(), expected));
            out = static_cast<std::int64_t>(n.u);
            return true;
        case Number::Kind::I64: out = n.i; return true;
        case Number::Kind::F64: return fail(invalid_type(n.describe(), expected));
    }
    return false;
}

bool Reader::read_f64(double& out, std::string_view expected) {
    int c = peek_ws();
    if (c < 0) return fail_peek(kEofValue);
    if (c != '-' && (c < '0' || c > '9')) return fail_invalid_type_here(expected);
    Number n;
    if (!parse_number(n)) return false;
    switch (n.kind) {
        case Number::Kind::U64: out = static_cast<double>(n.u); return true;
        case Number::Kind::I64: out = static_cast<double>(n.i); return true;
        case Number::Kind::F64: out = n.f; return true;
    }
    return false;
}

bool Reader::read_null(bool& is_null) {
    is_null = false;
    if (peek_ws() != 'n') return true;
    bump();
    if (!parse_ident("ull")) return false;
    is_null = true;
    return true;
}

// ---- objects and arrays ---------------------------------------------------

template <WalkRules R>
int Reader::next_key_slow(bool& first, std::string_view& key) {
    int c = peek_ws();
    if (c < 0) return fail_peek(kEofObject), -1;
    if (c == '}') return 0;
    if (first) {
        first = false;
        if (c != '"') return fail_peek("key must be a string"), -1;
    } else if (c == ',') {
        bump();
        c = peek_ws();
        if constexpr (R.name_trailing_comma) {
            if (c == '}') return fail_peek("trailing comma"), -1;
            if (c < 0) return fail_peek(kEofValue), -1;
        } else if (c < 0) {
            return fail_peek(kEofObject), -1;
        }
        if (c != '"') return fail_peek("key must be a string"), -1;
    } else {
        return fail_peek("expected `,` or `}`"), -1;
    }
    bump();
    return read_key<R>(key) ? 1 : -1;
}

template int Reader::next_key_slow<kRead>(bool&, std::string_view&);
template int Reader::next_key_slow<kSkip>(bool&, std::string_view&);

bool Reader::colon_slow() {
    int c = peek_ws();
    if (c == ':') {
        bump();
        return true;
    }
    if (c < 0) return fail_peek(kEofObject);
    return fail_peek("expected `:`");
}

template <WalkRules R>
int Reader::next_element_slow(bool& first) {
    int c = peek_ws();
    if (c < 0) return fail_peek(kEofList), -1;
    if (c == ']') return 0;
    if (first) {
        first = false;
        return 1;
    }
    if (c == ',') {
        bump();
        if constexpr (R.name_trailing_comma) {
            c = peek_ws();
            if (c == ']') return fail_peek("trailing comma"), -1;
            if (c < 0) return fail_peek(kEofValue), -1;
        }
        return 1;
    }
    return fail_peek("expected `,` or `]`"), -1;
}

template int Reader::next_element_slow<kRead>(bool&);
template int Reader::next_element_slow<kSkip>(bool&);

bool Reader::end_object_slow() {
    int c = peek_ws();
    if (c == '}') {
        bump();
        return true;
    }
    if (c == ',') return fail_peek("trailing comma");
    if (c < 0) return fail_peek(kEofObject);
    return fail_peek("trailing characters");
}

bool Reader::end_array_slow() {
    int c = peek_ws();
    if (c == ']') {
        bump();
        return true;
    }
    if (c == ',') {
        bump();
        c = peek_ws();
        return fail_peek(c == ']' ? "trailing comma" : "trailing characters");
    }
    if (c < 0) return fail_peek(kEofList);
    return fail_peek("trailing characters");
}

void Reader::close_object_after_error() {
    if (peek_ws() == '}') bump();
}

void Reader::close_array_after_error() {
    int c = peek_ws();
    if (c == ']') {
        bump();
    } else if (c == ',') {
        bump();
        peek_ws();
    }
}

bool Reader::read_unit_payload() {
    bool is_null = false;
    if (!read_null(is_null)) return false;
    if (is_null) return true;
    return peek() < 0 ? fail_peek(kEofValue) : fail_invalid_type_here("unit");
}

bool Reader::end_variant_slow() {
    int c = peek_ws();
    if (c == '}') {
        bump();
        return true;
    }
    if (c < 0) return fail_peek(kEofObject);
    return fail("expected value");
}

bool Reader::end_of_text() {
    if (peek_ws() >= 0) return fail_peek("trailing characters");
    return true;
}

// ---- skipping -------------------------------------------------------------

bool Reader::skip_string() {
    for (;;) {
        pos_ = detail::scan_to_stop(data_, pos_, size_);
        if (pos_ == size_) return fail(kEofString);
        char c = data_[pos_];
        if (c == '"') {
            ++pos_;
            return true;
        }
        if (c != '\\') return fail("control character (\\u0000-\\u001F) found while parsing a string");
        ++pos_;
        if (pos_ >= size_) return fail(kEofString);
        char e = data_[pos_++];
        switch (e) {
            case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't': break;
            case 'u': {
                std::uint16_t ignored;
                if (!decode_hex(ignored)) return false;
                break;
            }
            default: return fail("invalid escape");
        }
    }
}

bool Reader::skip_number() {
    int c = pos_ < size_ ? static_cast<unsigned char>(data_[pos_]) : 0;
    if (c != 0) ++pos_;
    auto digit_next = [&] { return pos_ < size_ && data_[pos_] >= '0' && data_[pos_] <= '9'; };
    if (c == '0') {
        if (digit_next()) return fail_peek("invalid number");
    } else if (c >= '1' && c <= '9') {
        while (digit_next()) ++pos_;
    } else {
        return fail("invalid number");
    }
    if (pos_ < size_ && data_[pos_] == '.') {
        ++pos_;
        if (!digit_next()) return fail_peek("invalid number");
        while (digit_next()) ++pos_;
    }
    if (pos_ < size_ && (data_[pos_] == 'e' || data_[pos_] == 'E')) {
        ++pos_;
        if (pos_ < size_ && (data_[pos_] == '+' || data_[pos_] == '-')) ++pos_;
        bool digit = digit_next();
        if (pos_ < size_) ++pos_;
        if (!digit) return fail("invalid number");
        while (digit_next()) ++pos_;
    }
    return true;
}

namespace {

// Reads a value by rules R and keeps nothing: skipping, or checking a value whose
// shape does not matter as a generic value is read.
template <WalkRules R>
struct Discard {
    static constexpr WalkRules rules = R;
    bool null() { return true; }
    bool boolean(bool) { return true; }
    bool number(const Number&) { return true; }
    bool string(std::string_view) { return true; }
    void element() {}
    bool key(std::string_view) { return true; }
    bool begin_array() { return true; }
    bool begin_object() { return true; }
    void end_array() {}
    void end_object() {}
};

// Builds the value in place: `next` is where the next value goes, `open` the
// containers being filled. A container only grows once its open child is closed,
// so the pointers to open levels stay valid.
template <bool Sorted>
struct Build {
    static constexpr WalkRules rules = kRead;
    // The walk opens at most kDepthLimit levels under kRead rules; left uninitialised, as most values hold none.
    explicit Build(JsonValue& out) : next(&out) {}
    JsonValue* next;
    JsonValue* open[kDepthLimit];
    int depth = 0;

    bool null() {
        next->v = std::monostate{};
        return true;
    }
    bool boolean(bool b) {
        next->v = b;
        return true;
    }
    bool number(const Number& n) {
        switch (n.kind) {
            case Number::Kind::U64: next->v = n.u; break;
            case Number::Kind::I64: next->v = n.i; break;
            case Number::Kind::F64: next->v = n.f; break;
        }
        return true;
    }
    bool string(std::string_view s) {
        next->v = String(s);
        return true;
    }
    bool begin_array() {
        next->v = JsonArray();
        open[depth++] = next;
        return true;
    }
    bool begin_object() {
        next->v = JsonObject();
        open[depth++] = next;
        return true;
    }
    void element() { next = &std::get_if<JsonArray>(&open[depth - 1]->v)->emplace_back(); }
    bool key(std::string_view k) {
        JsonObject& members = *std::get_if<JsonObject>(&open[depth - 1]->v);
        members.push_back(JsonMember{String(k), JsonValue()});
        next = &members.back().value;
        return true;
    }
    void end_array() { --depth; }
    void end_object() {
        --depth;
        if constexpr (Sorted) sort_members(*std::get_if<JsonObject>(&open[depth]->v));
    }
};

}  // namespace

bool Reader::skip_value() {
    Discard<kSkip> skip;
    return walk(skip);
}

bool Reader::check_value() {
    Discard<kRead> check;
    return walk(check);
}

bool Reader::parse_value(JsonValue& out) {
    Build<true> build(out);
    return walk(build);
}

bool Reader::parse_buffered(JsonValue& out) {
    Build<false> build(out);
    return walk(build);
}

}  // namespace vorlan::json
