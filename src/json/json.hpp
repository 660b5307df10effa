#pragma once
// The JSON text layer every reader and writer of the module stands on: a strict
// pull reader with exact messages and positions, the generic JsonValue, and the
// compact writer.
//
// Reader conventions: every reading function returns true on success; on failure
// it returns false and leaves one pending Error in the reader. An error made where
// the reader stands carries that position; one made by record logic (missing,
// duplicate or unknown field, wrong length) carries none until the innermost
// enclosing object or array reader attaches its own (in_object / in_array).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "arena.hpp"
#include "json/scan.hpp"

namespace vorlan::json {

inline constexpr int kDepthLimit = 128;  // opening the 128th level fails

// ---- errors -------------------------------------------------------------

struct Error {
    std::string message;
    bool positioned = false;
    std::size_t line = 0;
    std::size_t column = 0;

    // The message with " at line L column C" when it carries a position.
    std::string text() const;
};

// "`a`", "`a` or `b`", "one of `a`, `b`, `c`".
std::string expected_names(const std::string_view* names, std::size_t count);
template <std::size_t N>
std::string expected_names(const std::string_view (&names)[N]) {
    return expected_names(names, N);
}

// Equal texts; the length first, then the bytes by the builtin, which is inlined
// where the length is known.
[[gnu::always_inline]] constexpr bool same(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::char_traits<char>::compare(a.data(), b.data(), a.size()) == 0;
}

// The position of `name` in a table of names, or -1.
template <std::size_t N>
[[gnu::always_inline]] constexpr int name_index(const std::string_view (&names)[N], std::string_view name) {
    for (std::size_t i = 0; i < N; ++i)
        if (same(names[i], name)) return static_cast<int>(i);
    return -1;
}

// Whether a name already known to be as long as the literal is that literal; for
// lookups that dispatch on the length first.
template <std::size_t N>
constexpr bool is(std::string_view name, const char (&literal)[N]) {
    return std::char_traits<char>::compare(name.data(), literal, N - 1) == 0;
}

void name_not_in_table();  // never defined: it only makes slot() of a name the table lacks fail to compile

// The position of a name the table must hold, for case labels: a case named this
// way stays bound to its name when the table is reordered.
template <std::size_t N>
consteval int slot(const std::string_view (&names)[N], std::string_view name) {
    const int i = name_index(names, name);
    if (i < 0) name_not_in_table();
    return i;
}
std::string invalid_type(std::string_view found, std::string_view expected);
std::string invalid_value(std::string_view found, std::string_view expected);
std::string invalid_length(std::size_t length, std::string_view expected);
std::string missing_field(std::string_view key);
std::string duplicate_field(std::string_view key);
std::string unknown_field(std::string_view key, std::string_view expected);
std::string unknown_variant(std::string_view name, std::string_view expected);

// Descriptions of found values for invalid-type / invalid-value messages.
std::string describe_u64(std::uint64_t v);   // integer `5`
std::string describe_i64(std::int64_t v);    // integer `-5`
std::string describe_f64(double v);          // floating point `1.5`
std::string describe_string(std::string_view s);  // string "..."

// ---- numbers ------------------------------------------------------------

struct Number {
    enum class Kind : std::uint8_t { U64, I64, F64 };
    Kind kind = Kind::U64;
    union {
        std::uint64_t u;
        std::int64_t i;
        double f;
    };
    Number() : u(0) {}
    std::string describe() const;
};

// ---- generic value ------------------------------------------------------

struct JsonValue;
struct JsonMember;
using JsonArray = Vector<JsonValue>;
// A generic value keeps its object members sorted by key bytes, last repeated key
// winning; a buffered value (see Reader::parse_buffered) keeps them in input order.
using JsonObject = Vector<JsonMember>;

struct JsonValue {
    enum class Kind : std::uint8_t { Null, Bool, U64, I64, F64, String, Array, Object };
    std::variant<std::monostate, bool, std::uint64_t, std::int64_t, double, String, JsonArray, JsonObject> v;

    JsonValue() = default;
    explicit JsonValue(bool b);
    explicit JsonValue(std::uint64_t n);
    explicit JsonValue(std::int64_t n);
    explicit JsonValue(double n);
    explicit JsonValue(String s);
    explicit JsonValue(JsonArray a);
    explicit JsonValue(JsonObject o);

    Kind kind() const { return static_cast<Kind>(v.index()); }
    bool is_null() const { return v.index() == 0; }
    const bool* as_bool() const { return std::get_if<bool>(&v); }
    const std::uint64_t* as_u64() const { return std::get_if<std::uint64_t>(&v); }
    const std::int64_t* as_i64() const { return std::get_if<std::int64_t>(&v); }
    const double* as_f64() const { return std::get_if<double>(&v); }
    const String* as_string() const { return std::get_if<String>(&v); }
    String* as_string() { return std::get_if<String>(&v); }
    const JsonArray* as_array() const { return std::get_if<JsonArray>(&v); }
    JsonArray* as_array() { return std::get_if<JsonArray>(&v); }
    const JsonObject* as_object() const { return std::get_if<JsonObject>(&v); }
    JsonObject* as_object() { return std::get_if<JsonObject>(&v); }

    // "null", "boolean `true`", "integer `5`", "floating point `1.5`",
    // "string \"x\"", "sequence", "map".
    std::string describe() const;
};

struct JsonMember {
    String key;
    JsonValue value;
};

// Defined once JsonMember is complete: constructing the variant needs every alternative.
inline JsonValue::JsonValue(bool b) : v(b) {}
inline JsonValue::JsonValue(std::uint64_t n) : v(n) {}
inline JsonValue::JsonValue(std::int64_t n) : v(n) {}
inline JsonValue::JsonValue(double n) : v(n) {}
inline JsonValue::JsonValue(String s) : v(std::move(s)) {}
inline JsonValue::JsonValue(JsonArray a) : v(std::move(a)) {}
inline JsonValue::JsonValue(JsonObject o) : v(std::move(o)) {}

// Structural equality: an integer never equals a float, floats by IEEE, objects
// compared member by member (both sides sorted).
bool operator==(const JsonValue& a, const JsonValue& b);
inline bool operator==(const JsonMember& a, const JsonMember& b) { return a.key == b.key && a.value == b.value; }

// Sorts members by key bytes keeping the last of each repeated key (stable).
void sort_members(JsonObject& members);

// ---- reader -------------------------------------------------------------

// How a walk over one value (Reader::walk) reads it. Reading builds values; skipping
// only passes over them, as fast as it can and at any depth.
struct WalkRules {
    bool limit_depth;          // opening the 128th level fails, "recursion limit exceeded"
    bool decode;               // numbers become values, strings are unescaped (and checked)
    bool name_trailing_comma;  // a comma before a closing bracket, or the end of the text
                               // after one, fails as such rather than as a missing key or value
};
inline constexpr WalkRules kRead{true, true, true};
inline constexpr WalkRules kSkip{false, false, false};

class Reader {
public:
    explicit Reader(std::string_view text, bool validate_utf8 = false);

    // Bytes.
    int peek() const { return pos_ < size_ ? static_cast<unsigned char>(data_[pos_]) : -1; }
    // The bytes not read yet, to match a known token against; skip() then passes it.
    std::string_view rest() const { return {data_ + pos_, size_ - pos_}; }
    void skip(std::size_t n) { pos_ += n; }
    // Skips space, tab, LF, CR; then peek(). Compact texts have no whitespace
    // between tokens, so the first byte is checked here and the loop is out of line.
    [[gnu::always_inline]] int peek_ws() {
        if (pos_ < size_) {
            unsigned char c = static_cast<unsigned char>(data_[pos_]);
            if (c > ' ') return c;
        }
        return peek_ws_slow();
    }
    void bump() { ++pos_; }
    std::size_t offset() const { return pos_; }

    // Counts what was read that the writer would write otherwise: whitespace, escapes,
    // and whatever the typed readers report (members out of order, a null or an empty
    // map the writer leaves out, a float not in its shortest form, ...). A value whose
    // read left the count as it was is its own canonical text. Never undercounts;
    // overcounting only costs writing such a value again.
    void noncanonical() { ++noncanonical_; }
    std::size_t noncanonical_count() const { return noncanonical_; }
    // For a value whose canonical form is learnt otherwise (by writing it): what its
    // read counted is dropped.
    void drop_noncanonical_since(std::size_t count) { noncanonical_ = count; }
    // Whether the values read should learn if they are canonical where that costs more
    // than counting (a float's shortest form); only a text to be written again needs it.
    void want_canonical(bool on) { want_canonical_ = on; }
    bool wants_canonical() const { return want_canonical_; }
    // A value whose text may be written as it stands begins here (returns the outer
    // one's beginning, to be given back when it ends): checks that cost more than
    // counting are only worth making while it is still canonical.
    std::size_t begin_canonical_scope() { return std::exchange(scope_begin_, noncanonical_); }
    void end_canonical_scope(std::size_t outer) { scope_begin_ = outer; }
    bool worth_checking_canonical() const { return want_canonical_ && noncanonical_ == scope_begin_; }
    std::string_view text() const { return {data_, size_}; }

    // Errors; each returns false.
    bool fail(std::string message);       // position: the bytes consumed
    bool fail_peek(std::string message);  // position: also the byte looked at
    bool fail_unpositioned(std::string message);
    bool fix_position();                  // positions a pending unpositioned error here
    bool failed() const { return failed_; }
    const Error& error() const { return error_; }
    Error take_error();
    // "invalid type: <description of the value that starts here>, expected X",
    // reading that value far enough to describe it.
    bool fail_invalid_type_here(std::string_view expected);

    // A place to read again from, dropping any error made since.
    struct Mark {
        std::size_t pos;
        int remaining_depth;
    };
    Mark mark() const { return {pos_, remaining_depth_}; }
    void rewind(Mark m) {
        pos_ = m.pos;
        remaining_depth_ = m.remaining_depth;
        failed_ = false;
        error_ = Error{};
    }

    // Nesting: call with the opening bracket peeked; consumes it.
    [[gnu::always_inline]] bool enter() {
        if (--remaining_depth_ == 0) [[unlikely]]
            return too_deep();
        bump();
        return true;
    }
    void leave() { ++remaining_depth_; }
    // Levels open where the reader stands, 0 at the top.
    int depth() const { return kDepthLimit - remaining_depth_; }

    // Scalars. parse_string is called after the opening quote; the view stays
    // valid until the next string is read.
    template <std::size_t N>
    [[gnu::always_inline]] bool parse_ident(const char (&rest)[N]) {
        if (size_ - pos_ >= N - 1 && std::char_traits<char>::compare(data_ + pos_, rest, N - 1) == 0) {
            pos_ += N - 1;
            return true;
        }
        return parse_ident_slow(rest);  // positions the failure at the first byte that differs
    }
    // Inlined: the common string, closed before any escape, costs a scan and no call.
    [[gnu::always_inline]] bool parse_string(std::string_view& out) {
        const std::size_t start = pos_;
        const std::size_t stop = detail::scan_to_stop(data_, pos_, size_);
        if (stop < size_ && data_[stop] == '"' && !validate_utf8_) [[likely]] {
            out = std::string_view(data_ + start, stop - start);
            pos_ = stop + 1;
            return true;
        }
        return parse_string_slow(start, out);
    }
    bool parse_number(Number& out);  // at '-' or a digit

    // Typed reads (whitespace first; EOF gives "EOF while parsing a value").
    template <class S>
    bool read_string(S& out, std::string_view expected = "a string") {
        std::string_view s;
        if (!read_string_view(s, expected)) return false;
        out.assign(s.data(), s.size());
        return true;
    }
    bool read_string_view(std::string_view& out, std::string_view expected = "a string");
    bool read_bool(bool& out, std::string_view expected = "a boolean");
    bool read_u64(std::uint64_t& out, std::string_view expected);
    bool read_i64(std::int64_t& out, std::string_view expected);
    bool read_f64(double& out, std::string_view expected);
    // Consumes a null if one is next (sets is_null); otherwise consumes nothing.
    bool read_null(bool& is_null);

    // Objects and arrays after their bracket was consumed.
    // next_key / next_element: 1 = another member/element, 0 = closing bracket next
    // (not consumed), -1 = error. After next_key returns 1 the key is read; call colon().
    // The inline parts take the common compact case and leave the rest, with every
    // message, to the out-of-line ones; they are always inlined, so that the record
    // loops built on them cost what a loop written by hand would.
    // Under kSkip rules the key is passed over, not read.
    template <WalkRules R = kRead>
    [[gnu::always_inline]] int next_key(bool& first, std::string_view& key) {
        if (pos_ + 1 < size_) {
            if (data_[pos_] == '}') return 0;
            if (first ? data_[pos_] == '"' : data_[pos_] == ',' && data_[pos_ + 1] == '"') {
                pos_ += first ? 1 : 2;
                first = false;
                return read_key<R>(key) ? 1 : -1;
            }
        }
        return next_key_slow<R>(first, key);
    }
    [[gnu::always_inline]] bool colon() {
        if (pos_ < size_ && data_[pos_] == ':') {
            ++pos_;
            return true;
        }
        return colon_slow();
    }
    template <WalkRules R = kRead>
    [[gnu::always_inline]] int next_element(bool& first) {
        if (pos_ + 1 < size_) {
            unsigned char c = static_cast<unsigned char>(data_[pos_]);
            if (first) {
                if (c > ' ' && c != ']') {
                    first = false;
                    return 1;
                }
            } else if (c == ',') {
                unsigned char d = static_cast<unsigned char>(data_[pos_ + 1]);
                if (d > ' ' && d != ']') {
                    ++pos_;
                    return 1;
                }
            }
        }
        return next_element_slow<R>(first);
    }
    [[gnu::always_inline]] bool end_object() {
        if (pos_ < size_ && data_[pos_] == '}') {
            ++pos_;
            return true;
        }
        return end_object_slow();
    }
    [[gnu::always_inline]] bool end_array() {
        if (pos_ < size_ && data_[pos_] == ']') {
            ++pos_;
            return true;
        }
        return end_array_slow();
    }
    void close_object_after_error();
    void close_array_after_error();

    // Where a failed array reader stands before it positions an error: past its ']'
    // if that is next, or past a ',' and the whitespace after it as well.
    enum class ArrayClose : std::uint8_t { Bracket, BracketOrComma };

    // Wraps reading the inside of an object or array: enters (bracket peeked), runs
    // body, closes, and on failure positions an unpositioned error where it stands.
    template <class F>
    bool in_object(F&& body) {
        if (!enter()) return false;
        bool ok = body();
        leave();
        if (ok) ok = end_object();
        else close_object_after_error();
        if (!ok) fix_position();
        return ok;
    }
    template <class F>
    bool in_array(F&& body, ArrayClose close = ArrayClose::BracketOrComma) {
        if (!enter()) return false;
        bool ok = body();
        leave();
        if (ok) ok = end_array();
        else if (close == ArrayClose::BracketOrComma) close_array_after_error();
        else if (peek_ws() == ']') bump();
        if (!ok) fix_position();
        return ok;
    }

    // Tag-outside unions ({"Name": payload}): the payload of a variant without one
    // must be null; after the payload only whitespace and the closing brace may
    // follow, anything else (a second member) being "expected value" before it.
    bool read_unit_payload();
    [[gnu::always_inline]] bool end_variant() {
        if (pos_ < size_ && data_[pos_] == '}') {
            ++pos_;
            return true;
        }
        return end_variant_slow();
    }

    // One value, as events to a builder: null(), boolean(b), number(n), string(s),
    // begin_array() then element() before each element and end_array(),
    // begin_object() then key(k) before each member value and end_object(). Each
    // returns false to stop with an error it made; a begin is called with the bracket
    // peeked, not consumed. Builder::rules says how the value is read. Never recurses.
    // Defined in json/walk.hpp.
    template <class Builder>
    bool walk(Builder& b);

    // Skips one value without the nesting limit and without recursion.
    bool skip_value();
    // One generic value under the nesting limit: objects sorted (JsonValue rules),
    // or, for parse_buffered, members kept in input order with repeated keys.
    bool parse_value(JsonValue& out);
    bool parse_buffered(JsonValue& out);
    // One value read as parse_value reads it, under the same limit and with the same
    // messages, keeping nothing: for a value whose shape does not matter.
    bool check_value();
    // After the document: only whitespace may follow, else "trailing characters".
    bool end_of_text();

private:
    int peek_ws_slow();
    bool too_deep();
    bool parse_ident_slow(const char* rest);
    template <WalkRules R>
    bool read_key(std::string_view& key) {
        if constexpr (R.decode) return parse_string(key);
        else return skip_string();
    }
    template <WalkRules R>
    int next_key_slow(bool& first, std::string_view& key);
    bool colon_slow();
    template <WalkRules R>
    int next_element_slow(bool& first);
    bool end_object_slow();
    bool end_array_slow();
    bool end_variant_slow();
    bool parse_string_slow(std::size_t start, std::string_view& out);
    bool parse_escape();
    bool parse_unicode_escape();
    bool decode_hex(std::uint16_t& out);
    bool skip_string();
    bool skip_number();
    bool position_of(std::size_t index, Error& e) const;

    const char* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
    int remaining_depth_ = kDepthLimit;
    bool validate_utf8_;
    std::size_t noncanonical_ = 0;
    std::size_t scope_begin_ = 0;
    bool want_canonical_ = false;
    bool failed_ = false;
    Error error_;
    std::string scratch_;
};

// ---- writer -------------------------------------------------------------

class Writer {
public:
    Writer() { out.reserve(128); }
    explicit Writer(std::size_t reserve) { out.reserve(reserve); }

    void raw(char c) { out.push_back(c); }
    void raw(std::string_view s) { out.append(s); }
    void string(std::string_view s);
    void key(std::string_view k) {  // "k":
        string(k);
        out.push_back(':');
    }
    void boolean(bool b) { out.append(b ? "true" : "false"); }
    void null() { out.append("null"); }
    void u64(std::uint64_t v);
    void i64(std::int64_t v);
    void f64(double v);  // shortest form; NaN and infinities as null

    std::string out;
};

// A JSON array of the elements of items, each as write_one(Writer&, const E&) writes it.
template <class Items, class F>
void write_array(Writer& w, const Items& items, F&& write_one) {
    w.raw('[');
    bool first = true;
    for (const auto& item : items) {
        if (!first) w.raw(',');
        first = false;
        write_one(w, item);
    }
    w.raw(']');
}

void write_value(Writer& w, const JsonValue& v);  // object members as stored
std::string to_text(const JsonValue& v);

// Shortest round-trip digits of a finite, nonzero |v|: digits (no point) and the
// decimal exponent of the first digit.
int shortest_digits(double v, char* digits, int& exponent);  // returns digit count

// A finite double as Writer::f64 writes it, into buf, which holds kF64Chars; returns the length.
inline constexpr std::size_t kF64Chars = 32;
std::size_t format_f64(double v, char* buf);

// UTF-8 check of a whole byte span.
bool valid_utf8(std::string_view s);

}  // namespace vorlan::json
