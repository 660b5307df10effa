#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "json/json.hpp"
#include "room.hpp"

using namespace vorlan::json;

namespace {

// A whole text read as a generic value: its canonical text, or the error text.
std::string read_whole(std::string_view text, bool buffered = false) {
    Reader r(text);
    JsonValue v;
    bool ok = buffered ? r.parse_buffered(v) : r.parse_value(v);
    if (ok) ok = r.end_of_text();
    return ok ? to_text(v) : r.error().text();
}

std::string write_float(double v) {
    Writer w;
    w.f64(v);
    return w.out;
}

struct Case {
    const char* input;
    const char* expected;
};

}  // namespace

TEST(JsonReader, SyntaxMessagesAndPositions) {
    const Case cases[] = {
        {"", "EOF while parsing a value at line 1 column 0"},
        {"   ", "EOF while parsing a value at line 1 column 3"},
        {"nul", "EOF while parsing a value at line 1 column 3"},
        {"nulx", "expected ident at line 1 column 4"},
        {"x", "expected value at line 1 column 1"},
        {"[1,]", "trailing comma at line 1 column 4"},
        {"[1 2]", "expected `,` or `]` at line 1 column 4"},
        {"[", "EOF while parsing a list at line 1 column 1"},
        {"[1,", "EOF while parsing a value at line 1 column 3"},
        {"{", "EOF while parsing an object at line 1 column 1"},
        {"{\"a\"", "EOF while parsing an object at line 1 column 4"},
        {"{\"a\" 1}", "expected `:` at line 1 column 6"},
        {"{1:2}", "key must be a string at line 1 column 2"},
        {"{\"a\":1,}", "trailing comma at line 1 column 8"},
        {"{\"a\":1,2}", "key must be a string at line 1 column 8"},
        {"{\"a\":1,", "EOF while parsing a value at line 1 column 7"},
        {"{\"a\":1 \"b\"}", "expected `,` or `}` at line 1 column 8"},
        {"\"abc", "EOF while parsing a string at line 1 column 4"},
        {"\"\\x\"", "invalid escape at line 1 column 3"},
        {"\"\\u12\"", "EOF while parsing a string at line 1 column 6"},
        {"\"\\u12g4\"", "invalid escape at line 1 column 7"},
        {"\"\\uD800\"", "unexpected end of hex escape at line 1 column 8"},
        {"\"\\uD800\\n\"", "unexpected end of hex escape at line 1 column 9"},
        {"\"\\uD800\\u0041\"", "lone leading surrogate in hex escape at line 1 column 13"},
        {"\"\\uDC00\"", "lone leading surrogate in hex escape at line 1 column 7"},
        {"\"a\nb\"", "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"},
        {"01", "invalid number at line 1 column 2"},
        {"-", "EOF while parsing a value at line 1 column 1"},
        {"-a", "invalid number at line 1 column 2"},
        {"1.", "EOF while parsing a value at line 1 column 2"},
        {"1.a", "invalid number at line 1 column 3"},
        {"1e", "EOF while parsing a value at line 1 column 2"},
        {"1e+", "EOF while parsing a value at line 1 column 3"},
        {"1ea", "invalid number at line 1 column 3"},
        {"1e400", "number out of range at line 1 column 5"},
        {"-1e400", "number out of range at line 1 column 6"},
        {"1e99999999999", "number out of range at line 1 column 11"},
        {"1.7976931348623159e308", "number out of range at line 1 column 22"},
        {"[1] x", "trailing characters at line 1 column 5"},
        {"[1]\n\n  x", "trailing characters at line 3 column 3"},
        {"1 2", "trailing characters at line 1 column 3"},
    };
    for (const Case& c : cases) EXPECT_EQ(read_whole(c.input), c.expected) << "input: " << c.input;
}

TEST(JsonReader, NumbersStringsAndObjects) {
    const Case cases[] = {
        {"1e-400", "0.0"},
        {"-1e-400", "-0.0"},
        {"0e99999999999", "0.0"},
        {"5e-324", "5e-324"},
        {"3e-324", "5e-324"},
        {"2e-324", "0.0"},
        {"-2e-324", "-0.0"},
        {"1.7976931348623158e308", "1.7976931348623157e+308"},
        {"18446744073709551615", "18446744073709551615"},
        {"18446744073709551616", "1.8446744073709552e+19"},
        {"-9223372036854775808", "-9223372036854775808"},
        {"-9223372036854775809", "-9.223372036854776e+18"},
        {"-0", "-0.0"},
        {"0", "0"},
        {"1.50", "1.5"},
        {"1e2", "100.0"},
        {"1E+2", "100.0"},
        {"2.5E-3", "0.0025"},
        {" \t\r\n[ true , false , null ] \n", "[true,false,null]"},
        {"{\"b\":1,\"a\":2,\"b\":3}", "{\"a\":2,\"b\":3}"},
        {"{}", "{}"},
        {"[]", "[]"},
        {"\"\\/\\\"\\\\\\b\\f\\n\\r\\t\"", "\"/\\\"\\\\\\b\\f\\n\\r\\t\""},
        {"\"\\u001f\\u0000\"", "\"\\u001f\\u0000\""},
        {"\"\\u00e9\\uD83D\\uDE00\"", "\"\xc3\xa9\xf0\x9f\x98\x80\""},
        {"\"\xc3\xa9\"", "\"\xc3\xa9\""},
    };
    for (const Case& c : cases) EXPECT_EQ(read_whole(c.input), c.expected) << "input: " << c.input;
    // A buffered value keeps members in input order, repeated keys included.
    EXPECT_EQ(read_whole("{\"b\":1,\"a\":2,\"b\":3}", true), "{\"b\":1,\"a\":2,\"b\":3}");
}

TEST(JsonReader, NumberClassification) {
    struct NumCase {
        const char* input;
        JsonValue::Kind kind;
    };
    const NumCase cases[] = {
        {"0", JsonValue::Kind::U64},
        {"18446744073709551615", JsonValue::Kind::U64},
        {"18446744073709551616", JsonValue::Kind::F64},
        {"-1", JsonValue::Kind::I64},
        {"-9223372036854775808", JsonValue::Kind::I64},
        {"-9223372036854775809", JsonValue::Kind::F64},
        {"-0", JsonValue::Kind::F64},
        {"1.0", JsonValue::Kind::F64},
        {"1e0", JsonValue::Kind::F64},
    };
    for (const NumCase& c : cases) {
        Reader r(c.input);
        JsonValue v;
        ASSERT_TRUE(r.parse_value(v)) << c.input;
        EXPECT_EQ(v.kind(), c.kind) << c.input;
    }
    Reader r("-0");
    JsonValue v;
    ASSERT_TRUE(r.parse_value(v));
    EXPECT_TRUE(std::signbit(*v.as_f64()));
}

TEST(JsonWriter, Floats) {
    struct FloatCase {
        double value;
        const char* written;
        const char* described;
    };
    const FloatCase cases[] = {
        {1.0, "1.0", "floating point `1.0`"},
        {0.1, "0.1", "floating point `0.1`"},
        {1.5, "1.5", "floating point `1.5`"},
        {-0.0, "-0.0", "floating point `-0.0`"},
        {0.0, "0.0", "floating point `0.0`"},
        {1e15, "1000000000000000.0", "floating point `1000000000000000.0`"},
        {1e16, "1e+16", "floating point `10000000000000000.0`"},
        {1e-5, "0.00001", "floating point `0.00001`"},
        {1e-6, "1e-6", "floating point `0.000001`"},
        {1e-7, "1e-7", "floating point `0.0000001`"},
        {1.5e-7, "1.5e-7", "floating point `0.00000015`"},
        {123456.789, "123456.789", "floating point `123456.789`"},
        {18446744073709551616.0, "1.8446744073709552e+19", "floating point `18446744073709552000.0`"},
        {1.7976931348623157e308, "1.7976931348623157e+308", nullptr},
        {5e-324, "5e-324", nullptr},
        {-2.5e20, "-2.5e+20", "floating point `-250000000000000000000.0`"},
    };
    for (const FloatCase& c : cases) {
        EXPECT_EQ(write_float(c.value), c.written) << c.value;
        if (c.described) { EXPECT_EQ(describe_f64(c.value), c.described) << c.value; }
    }
    EXPECT_EQ(write_float(std::numeric_limits<double>::quiet_NaN()), "null");
    EXPECT_EQ(write_float(std::numeric_limits<double>::infinity()), "null");
    EXPECT_EQ(write_float(-std::numeric_limits<double>::infinity()), "null");
    std::string tiny = describe_f64(5e-324);
    EXPECT_EQ(tiny.substr(0, 20), "floating point `0.00");
    EXPECT_EQ(tiny.substr(tiny.size() - 3), "05`");
    EXPECT_EQ(tiny.size(), std::string("floating point ``").size() + 2 + 323 + 1);
}

TEST(JsonWriter, StringEscaping) {
    Writer w;
    const char raw[] = "a\"b\\c/\x01\x1f\x7f\xc3\xa9\b\f\n\r\t";
    w.string(std::string_view(raw, sizeof raw - 1));
    EXPECT_EQ(w.out, "\"a\\\"b\\\\c/\\u0001\\u001f\x7f\xc3\xa9\\b\\f\\n\\r\\t\"");
}

TEST(JsonDescribe, Strings) {
    EXPECT_EQ(describe_string(std::string("a\"b\\c\n\t\r\0'", 10)), "string \"a\\\"b\\\\c\\n\\t\\r\\0'\"");
    EXPECT_EQ(describe_string("\x01\x7f"), "string \"\\u{1}\\u{7f}\"");
    EXPECT_EQ(describe_string("\xc3\xa9"), "string \"\xc3\xa9\"");
}

TEST(JsonDescribe, FoundValues) {
    const Case cases[] = {
        {"null", "null"},
        {"true", "boolean `true`"},
        {"false", "boolean `false`"},
        {"5", "integer `5`"},
        {"-5", "integer `-5`"},
        {"1e16", "floating point `10000000000000000.0`"},
        {"\"x\"", "string \"x\""},
        {"[1]", "sequence"},
        {"{}", "map"},
    };
    for (const Case& c : cases) {
        Reader r(c.input);
        JsonValue v;
        ASSERT_TRUE(r.parse_value(v));
        EXPECT_EQ(v.describe(), c.expected);
    }
}

TEST(JsonReader, InvalidTypeHere) {
    // Scalars are consumed before the position is taken; brackets are not.
    const Case cases[] = {
        {"null", "invalid type: null, expected X at line 1 column 4"},
        {"  true", "invalid type: boolean `true`, expected X at line 1 column 6"},
        {"-12", "invalid type: integer `-12`, expected X at line 1 column 3"},
        {"1.5", "invalid type: floating point `1.5`, expected X at line 1 column 3"},
        {"\"lit\"", "invalid type: string \"lit\", expected X at line 1 column 5"},
        {"[1]", "invalid type: sequence, expected X at line 1 column 0"},
        {"{}", "invalid type: map, expected X at line 1 column 0"},
        {"}", "expected value at line 1 column 1"},
        {"nuLL", "expected ident at line 1 column 3"},
    };
    for (const Case& c : cases) {
        Reader r(c.input);
        r.peek_ws();
        EXPECT_FALSE(r.fail_invalid_type_here("X"));
        EXPECT_EQ(r.error().text(), c.expected) << c.input;
    }
}

TEST(JsonReader, TypedScalars) {
    struct U64Case {
        const char* input;
        const char* error;
    };
    const U64Case cases[] = {
        {"18446744073709551615", nullptr},
        {"-1", "invalid value: integer `-1`, expected usize at line 1 column 2"},
        {"-0", "invalid type: floating point `-0.0`, expected usize at line 1 column 2"},
        {"1.0", "invalid type: floating point `1.0`, expected usize at line 1 column 3"},
        {"18446744073709551616", "invalid type: floating point `18446744073709552000.0`, expected usize at line 1 column 20"},
        {"\"1\"", "invalid type: string \"1\", expected usize at line 1 column 3"},
        {"", "EOF while parsing a value at line 1 column 0"},
    };
    for (const U64Case& c : cases) {
        Reader r(c.input);
        std::uint64_t v = 0;
        bool ok = r.read_u64(v, "usize");
        EXPECT_EQ(ok, c.error == nullptr) << c.input;
        if (!ok) { EXPECT_EQ(r.error().text(), c.error) << c.input; }
    }
    Reader big("9223372036854775808");
    std::int64_t i = 0;
    EXPECT_FALSE(big.read_i64(i, "i64"));
    EXPECT_EQ(big.error().text(), "invalid value: integer `9223372036854775808`, expected i64 at line 1 column 19");
}

TEST(JsonReader, NestingLimit) {
    auto nested = [](int depth) { return std::string(depth, '[') + std::string(depth, ']'); };
    EXPECT_EQ(read_whole(nested(127)), nested(127));
    EXPECT_EQ(read_whole(nested(128)), "recursion limit exceeded at line 1 column 128");
    EXPECT_EQ(read_whole(std::string(100000, '[')), "recursion limit exceeded at line 1 column 128");
}

TEST(JsonReader, SkipValueHasNoDepthLimit) {
    const int depth = 100000;
    std::string deep = std::string(depth, '[') + std::string(depth, ']');
    Reader r(deep);
    EXPECT_TRUE(r.skip_value());
    EXPECT_TRUE(r.end_of_text());

    const Case cases[] = {
        {"[1,]", "expected value at line 1 column 4"},
        {"{\"a\":1,}", "key must be a string at line 1 column 8"},
        {"{\"a\":1,", "EOF while parsing an object at line 1 column 7"},
        {"[1,", "EOF while parsing a value at line 1 column 3"},
        {"{\"a\" 1}", "expected `:` at line 1 column 6"},
        {"[1 2]", "expected `,` or `]` at line 1 column 4"},
        {"{\"a\":1 2}", "expected `,` or `}` at line 1 column 8"},
        {"[[", "EOF while parsing a list at line 1 column 2"},
        {"\"a\x01\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 2"},
        {"-", "invalid number at line 1 column 1"},
        {"1e", "invalid number at line 1 column 2"},
        {"\"\\uD800\"", nullptr},
    };
    for (const Case& c : cases) {
        Reader s(c.input);
        bool ok = s.skip_value();
        EXPECT_EQ(ok, c.expected == nullptr) << c.input;
        if (!ok) { EXPECT_EQ(s.error().text(), c.expected) << c.input; }
    }
}

TEST(JsonReader, CheckValueReadsAsParseValueDoes) {
    const std::string cases[] = {
        std::string(127, '[') + std::string(127, ']'), std::string(128, '[') + std::string(128, ']'),
        "[1,]", "{\"a\":1,}", "[1e400]", "\"\\uD800\"", "\"\\x\"", "{\"b\":1,\"a\":[true,null,-0.5]}", "[1 2]", "",
    };
    for (const std::string& text : cases) {
        Reader parsed(text), checked(text);
        JsonValue v;
        const bool ok = parsed.parse_value(v);
        EXPECT_EQ(checked.check_value(), ok) << text;
        EXPECT_EQ(checked.offset(), parsed.offset()) << text;
        if (!ok) { EXPECT_EQ(checked.error().text(), parsed.error().text()) << text; }
    }
}

TEST(JsonReader, PositionsOfUnpositionedErrors) {
    // An error raised by record logic takes the position where the enclosing
    // reader stands after its close-on-error step.
    struct PosCase {
        const char* input;
        bool object;
        const char* expected;
    };
    const PosCase cases[] = {
        {"{\"a\":1 }", true, "missing at line 1 column 8"},
        {"{\"a\":1 , \"b\":2}", true, "missing at line 1 column 7"},
        {"[1 ]", false, "missing at line 1 column 4"},
        {"[1 , 2]", false, "missing at line 1 column 5"},
    };
    for (const PosCase& c : cases) {
        Reader r(c.input);
        r.peek_ws();
        auto body = [&] {
            bool first = true;
            std::string_view key;
            if (c.object) {
                if (r.next_key(first, key) != 1 || !r.colon() || !r.skip_value()) return false;
            } else {
                if (r.next_element(first) != 1 || !r.skip_value()) return false;
            }
            return r.fail_unpositioned("missing");
        };
        EXPECT_FALSE(c.object ? r.in_object(body) : r.in_array(body));
        EXPECT_EQ(r.error().text(), c.expected) << c.input;
    }
}

TEST(JsonReader, Utf8ValidationOfRawBytes) {
    Reader ok("\"\xc3\xa9\"", true);
    std::string s;
    EXPECT_TRUE(ok.read_string(s));
    Reader bad("\"a\xff\"", true);
    EXPECT_FALSE(bad.read_string(s));
    EXPECT_EQ(bad.error().text(), "invalid unicode code point at line 1 column 4");
    const char* invalid[] = {"\xc0\x80", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xe2\x82", "\x80"};
    for (const char* b : invalid) EXPECT_FALSE(valid_utf8(b)) << b;
    EXPECT_TRUE(valid_utf8("\xf0\x9f\x98\x80\xe2\x82\xac"));
}

TEST(JsonValue, EqualityAndSorting) {
    auto parse = [](const char* t) {
        Reader r(t);
        JsonValue v;
        EXPECT_TRUE(r.parse_value(v));
        return v;
    };
    EXPECT_EQ(parse("{\"a\":1,\"b\":[1,2]}"), parse("{\"b\":[1,2],\"a\":1}"));
    EXPECT_FALSE(parse("1") == parse("1.0"));
    EXPECT_FALSE(parse("-1") == parse("-1.0"));
    EXPECT_EQ(parse("0.0"), parse("-0.0"));
    EXPECT_FALSE(parse("[1]") == parse("[1,1]"));
    EXPECT_EQ(parse("{\"a\":1,\"a\":2}"), parse("{\"a\":2}"));
    JsonValue nan(std::numeric_limits<double>::quiet_NaN());
    EXPECT_FALSE(nan == nan);
}

namespace {

// A map value that counts how often it is moved or copied, whichever way.
struct Counted {
    static inline std::size_t moves = 0;
    std::int64_t v = 0;
    Counted() = default;
    Counted(const Counted& o) : v(o.v) { ++moves; }
    Counted(Counted&& o) noexcept : v(o.v) { ++moves; }
    Counted& operator=(const Counted& o) {
        v = o.v;
        ++moves;
        return *this;
    }
    Counted& operator=(Counted&& o) noexcept {
        v = o.v;
        ++moves;
        return *this;
    }
};

bool read_counted(Reader& r, Counted& c) { return r.read_i64(c.v, "i64"); }

// The map's key -> value pairs in the order they are held.
template <class M>
std::vector<std::pair<std::string, std::int64_t>> held(const M& m) {
    std::vector<std::pair<std::string, std::int64_t>> out;
    for (const auto& [key, value] : m) out.emplace_back(std::string(key), value.v);
    return out;
}

}  // namespace

// A map is read in text order and sorted once: a text against key order, or shuffled
// as a hash map writes it, moves its values n log n times, not once per entry after
// each insertion place. Each key's last value is kept, and only a text with each key
// once, in order, is canonical.
TEST(JsonReadMap, KeyOrderCostsNLogNMoves) {
    constexpr int n = 4000;
    enum class Order { Ascending, Descending, Shuffled, ShuffledRepeats };
    struct Row {
        Order order;
        bool canonical;
    };
    const Row rows[] = {
        {Order::Ascending, true},
        {Order::Descending, false},
        {Order::Shuffled, false},
        {Order::ShuffledRepeats, false},
    };
    for (const Row& row : rows) {
        std::vector<int> keys(n);
        for (int i = 0; i < n; ++i) keys[i] = i;
        if (row.order == Order::Descending) std::reverse(keys.begin(), keys.end());
        if (row.order == Order::ShuffledRepeats) keys.insert(keys.end(), keys.begin(), keys.begin() + n / 2);
        if (row.order >= Order::Shuffled) std::shuffle(keys.begin(), keys.end(), std::mt19937(7));
        // Each member's value is its place in the text, so the last one read is the largest.
        std::string text = "{";
        std::map<std::string, std::int64_t> expected;
        for (std::size_t at = 0; at < keys.size(); ++at) {
            char key[16];
            std::snprintf(key, sizeof key, "k%05d", keys[at]);
            text.append(at ? "," : "").append("\"").append(key).append("\":").append(std::to_string(at));
            expected[key] = static_cast<std::int64_t>(at);
        }
        text.append("}");
        const std::vector<std::pair<std::string, std::int64_t>> want(expected.begin(), expected.end());
        const std::size_t bound = 4 * keys.size() * static_cast<std::size_t>(std::log2(keys.size()));

        Reader entries_text(text);
        vorlan::Entries<Counted> entries;
        Counted::moves = 0;
        ASSERT_TRUE(vorlan::read_entries(entries_text, entries, read_counted));
        EXPECT_LE(Counted::moves, bound) << static_cast<int>(row.order);
        EXPECT_EQ(held(entries), want) << static_cast<int>(row.order);
        EXPECT_EQ(entries_text.noncanonical_count() == 0, row.canonical) << static_cast<int>(row.order);

        Reader sorted_text(text);
        vorlan::SortedMap<Counted> sorted;
        Counted::moves = 0;
        ASSERT_TRUE(read_map(sorted_text, sorted, read_counted));
        EXPECT_LE(Counted::moves, bound) << static_cast<int>(row.order);
        EXPECT_EQ(held(sorted), want) << static_cast<int>(row.order);
        EXPECT_EQ(sorted_text.noncanonical_count() == 0, row.canonical) << static_cast<int>(row.order);
    }
}
