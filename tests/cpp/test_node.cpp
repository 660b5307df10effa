#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

#include "drovane/value.hpp"
#include "json/collections.hpp"
#include "node.hpp"

using namespace vorlan;
using drovane::Value;
using node::Node;

namespace {

struct Case {
    const char* input;
    const char* expected;  // canonical text, or the error text
};

std::string value_text(std::string_view text) {
    json::Reader r(text);
    Value v;
    if (!drovane::read_value(r, v) || !r.end_of_text()) return r.error().text();
    json::Writer w;
    drovane::write_value(w, v);
    return w.out;
}

std::string tree_text(std::string_view text) {
    auto t = node::read_tree(text);
    if (!t.ok()) return t.error();
    json::Writer w;
    node::write_node(w, t.value());
    return w.out;
}

std::string options_text(std::string_view text, bool nullable) {
    json::Reader r(text);
    json::Writer w;
    if (nullable) {
        std::optional<node::EventOptions> o;
        if (!node::read_event_options_nullable(r, o) || !r.end_of_text()) return r.error().text();
        if (!o) return "absent";
        node::write_event_options(w, *o);
    } else {
        node::EventOptions o;
        if (!node::read_event_options(r, o) || !r.end_of_text()) return r.error().text();
        node::write_event_options(w, o);
    }
    return w.out;
}

std::string binding_text(std::string_view text) {
    json::Reader r(text);
    node::Binding b;
    if (!node::read_binding(r, b) || !r.end_of_text()) return r.error().text();
    json::Writer w;
    node::write_binding(w, b);
    return w.out;
}

Value read_one(std::string_view text) {
    json::Reader r(text);
    Value v;
    EXPECT_TRUE(drovane::read_value(r, v) && r.end_of_text()) << text;
    return v;
}

Node read_node_text(std::string_view text) {
    auto t = node::read_tree(text);
    EXPECT_TRUE(t.ok()) << text << ": " << (t.ok() ? "" : t.error());
    return t.ok() ? t.value() : Node{};
}

// A chain of nodes `depth` deep through slot "s"; the deepest carries `leaf_extra` members.
std::string chain(int depth, const std::string& leaf_extra) {
    std::string s = "{\"tag\":\"n\"" + leaf_extra + "}";
    for (int i = 1; i < depth; ++i) s = "{\"tag\":\"n\",\"slots\":{\"s\":[" + s + "]}}";
    return s;
}

const char* const kUnknownValue =
    "unknown variant `bool`, expected one of `Null`, `Bool`, `Int`, `Float`, `Str`, `List`, `Map`, `Submodel`";

}  // namespace

TEST(Value, ReadAndWrite) {
    const std::string unknown6 = std::string(kUnknownValue) + " at line 1 column 6";
    const std::string unknown7 = std::string(kUnknownValue) + " at line 1 column 7";
    const Case cases[] = {
        {"\"Null\"", "\"Null\""},
        {"{\"Null\":null}", "\"Null\""},
        {" { \"Null\" : null } ", "\"Null\""},
        {"{\"Null\":0}", "invalid type: integer `0`, expected unit at line 1 column 9"},
        {"\"Bool\"", "invalid type: unit variant, expected newtype variant"},
        {"\"bool\"", unknown6.c_str()},
        {"{\"bool\":true}", unknown7.c_str()},
        {"{}", "expected value at line 1 column 2"},
        {"{1:2}", "key must be a string at line 1 column 2"},
        {"{\"Bool\":true,\"Int\":1}", "expected value at line 1 column 12"},
        {"{\"Bool\":true", "EOF while parsing an object at line 1 column 12"},
        {"{\"Bool\" true}", "expected `:` at line 1 column 9"},
        {"{\"Bool\":1}", "invalid type: integer `1`, expected a boolean at line 1 column 9"},
        {"{\"Int\":9223372036854775807}", "{\"Int\":9223372036854775807}"},
        {"{\"Int\":-9223372036854775808}", "{\"Int\":-9223372036854775808}"},
        {"{\"Int\":9223372036854775808}",
         "invalid value: integer `9223372036854775808`, expected i64 at line 1 column 26"},
        {"{\"Int\":1.0}", "invalid type: floating point `1.0`, expected i64 at line 1 column 10"},
        {"{\"Int\":-0}", "invalid type: floating point `-0.0`, expected i64 at line 1 column 9"},
        {"{\"Int\":\"1\"}", "invalid type: string \"1\", expected i64 at line 1 column 10"},
        {"{\"Float\":1}", "{\"Float\":1.0}"},
        {"{\"Float\":1e16}", "{\"Float\":1e+16}"},
        {"{\"Float\":-0.0}", "{\"Float\":-0.0}"},
        {"{\"Float\":null}", "invalid type: null, expected f64 at line 1 column 13"},
        {"{\"Str\":\"a\\\"\\u0001\"}", "{\"Str\":\"a\\\"\\u0001\"}"},
        {"{\"Str\":[]}", "invalid type: sequence, expected a string at line 1 column 7"},
        {"{\"Submodel\":18446744073709551615}", "{\"Submodel\":18446744073709551615}"},
        {"{\"Submodel\":-1}", "invalid value: integer `-1`, expected u64 at line 1 column 14"},
        {"{\"Submodel\":1.5}", "invalid type: floating point `1.5`, expected u64 at line 1 column 15"},
        {"{\"Map\":{\"b\":\"Null\",\"a\":\"Null\",\"b\":{\"Int\":1}}}", "{\"Map\":{\"a\":\"Null\",\"b\":{\"Int\":1}}}"},
        {"{\"List\":[]}", "{\"List\":[]}"},
        {"{\"Map\":{}}", "{\"Map\":{}}"},
        {"{\"List\":{}}", "invalid type: map, expected a sequence at line 1 column 8"},
        {"{\"Map\":[]}", "invalid type: sequence, expected a map at line 1 column 7"},
        {"{\"List\":[\"Null\", \"Bool\" ]  }", "invalid type: unit variant, expected newtype variant at line 1 column 25"},
        {"{\"Map\":{\"a\":\"Bool\"}}", "invalid type: unit variant, expected newtype variant at line 1 column 19"},
        {"{\"List\":[{\"Int\":1},\"Str\",2]}", "invalid type: unit variant, expected newtype variant at line 1 column 24"},
        {"1", "expected value at line 1 column 1"},
        {"null", "expected value at line 1 column 1"},
        {"[\"Null\"]", "expected value at line 1 column 1"},
        {"", "EOF while parsing a value at line 1 column 0"},
        {"{\"Int\":1}x", "trailing characters at line 1 column 10"},
    };
    for (const Case& c : cases) EXPECT_EQ(value_text(c.input), c.expected) << c.input;
}

TEST(Value, NestingCostsTwoLevelsPerStep) {
    auto nested = [](int steps) {
        std::string s = "\"Null\"";
        for (int i = 0; i < steps; ++i) s = "{\"List\":[" + s + "]}";
        return s;
    };
    EXPECT_EQ(value_text(nested(63)), nested(63));  // 126 levels
    EXPECT_EQ(value_text(nested(64)).substr(0, 24), "recursion limit exceeded");
}

TEST(Value, NonFiniteFloatIsWrittenNull) {
    for (double x : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                     -std::numeric_limits<double>::infinity()}) {
        json::Writer w;
        drovane::write_value(w, Value(x));
        EXPECT_EQ(w.out, "{\"Float\":null}");
    }
}

TEST(Value, Equality) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Row {
        Value a, b;
        bool equal;
        const char* what;
    };
    const Row rows[] = {
        {Value(std::int64_t{1}), Value(1.0), false, "Int 1 vs Float 1.0"},
        {Value(std::int64_t{1}), Value(drovane::Submodel{1}), false, "Int 1 vs Submodel 1"},
        {Value(1.0), Value(drovane::Submodel{1}), false, "Float 1.0 vs Submodel 1"},
        {Value(0.0), Value(-0.0), true, "0.0 vs -0.0"},
        {Value(nan), Value(nan), false, "NaN vs NaN"},
        {Value(), Value(), true, "Null vs Null"},
        {Value(), Value(false), false, "Null vs Bool false"},
        {Value(String("a")), Value(String("a")), true, "Str a vs Str a"},
        {Value(String("")), read_one("{\"Str\":\"\"}"), true, "empty Str made vs read"},
        {Value(String("a")), read_one("{\"Str\":\"\\u0061\"}"), true, "Str a made vs read escaped"},
        {read_one("{\"List\":[]}"), read_one("{\"Map\":{}}"), false, "empty List vs empty Map"},
        {read_one("{\"Map\":{\"a\":\"Null\",\"b\":{\"Int\":1}}}"), read_one("{\"Map\":{\"b\":{\"Int\":1},\"a\":\"Null\"}}"),
         true, "maps in different text order"},
        {read_one("{\"Map\":{\"a\":\"Null\"}}"), read_one("{\"Map\":{\"b\":\"Null\"}}"), false, "maps with other keys"},
        {read_one("{\"Map\":{\"a\":\"Null\"}}"), read_one("{\"Map\":{\"a\":\"Null\",\"b\":\"Null\"}}"), false,
         "maps of other sizes"},
        {read_one("{\"List\":[{\"Int\":1},\"Null\"]}"), read_one("{\"List\":[\"Null\",{\"Int\":1}]}"), false,
         "lists in other order"},
        {read_one("{\"List\":[{\"Float\":0.0}]}"), read_one("{\"List\":[{\"Float\":-0.0}]}"), true, "nested -0.0"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(row.a == row.b, row.equal) << row.what;
        EXPECT_EQ(row.b == row.a, row.equal) << row.what;
    }
}

// An escaped text is unescaped into the reader's scratch, which the next string read
// overwrites; a value must keep its own copy of it, keys included.
TEST(Value, EscapedTextsOutliveTheReadersScratch) {
    const Case cases[] = {
        {"[{\"Str\":\"a\\n\"},{\"Str\":\"b\"},{\"Str\":\"c\\t\"}]",
         "{\"Str\":\"a\\n\"}{\"Str\":\"b\"}{\"Str\":\"c\\t\"}"},
        {"[{\"Map\":{\"k\\\"\":{\"Str\":\"v\\\\\"},\"\\u00e9\":{\"List\":[{\"Str\":\"\\/\"}]}}}]",
         "{\"Map\":{\"k\\\"\":{\"Str\":\"v\\\\\"},\"\u00e9\":{\"List\":[{\"Str\":\"/\"}]}}}"},
        {"[{\"Map\":{\"b\":\"Null\",\"\\u0061\":{\"Int\":1},\"a\":{\"Int\":2}}},{\"Str\":\"\\u0062\"}]",
         "{\"Map\":{\"a\":{\"Int\":2},\"b\":\"Null\"}}{\"Str\":\"b\"}"},
    };
    for (const Case& c : cases) {
        json::Reader r(c.input);
        Vector<Value> values;
        ASSERT_TRUE(json::read_list(r, values, drovane::read_value) && r.end_of_text()) << c.input;
        json::Writer w;
        for (const Value& v : values) drovane::write_value(w, v);
        EXPECT_EQ(w.out, c.expected) << c.input;
    }
}

// Lists and maps longer than the room they are first read into, in text order and
// against it, with repeated keys: the same text as short ones give.
TEST(Value, LongListsAndMaps) {
    auto integer = [](int n) { return std::string("{\"Int\":").append(std::to_string(n)).append("}"); };
    auto list = [&](int n) {
        std::string s = "{\"List\":[";
        for (int i = 0; i < n; ++i) s.append(i ? "," : "").append(integer(i));
        return s.append("]}");
    };
    // The member of key k000 + i, its value `value`.
    auto member = [&](int i, int value) {
        char key[16];
        std::snprintf(key, sizeof key, "k%03d", i);
        return std::string("\"").append(key).append("\":").append(integer(value));
    };
    // Keys k000 .. k(n-1) with their numbers, from the last down when reversed, then
    // the key `repeat` again with -1 (none for repeat < 0).
    auto map = [&](int n, bool reversed, int repeat) {
        std::string s = "{\"Map\":{";
        for (int j = 0; j < n; ++j) s.append(j ? "," : "").append(member(reversed ? n - 1 - j : j, reversed ? n - 1 - j : j));
        if (repeat >= 0) s.append(",").append(member(repeat, -1));
        return s.append("}}");
    };
    auto canonical = [&](int n, int repeat) {
        std::string s = "{\"Map\":{";
        for (int i = 0; i < n; ++i) s.append(i ? "," : "").append(member(i, i == repeat ? -1 : i));
        return s.append("}}");
    };
    struct Row {
        std::string input, expected;
    };
    const Row rows[] = {
        {list(1), list(1)},
        {list(300), list(300)},
        {map(300, false, -1), canonical(300, -1)},
        {map(300, true, -1), canonical(300, -1)},
        {map(300, true, 150), canonical(300, 150)},
        {"{\"List\":[" + list(100) + "," + map(100, true, 0) + "," + list(3) + "]}",
         "{\"List\":[" + list(100) + "," + canonical(100, 0) + "," + list(3) + "]}"},
    };
    for (const Row& row : rows) EXPECT_EQ(value_text(row.input), row.expected) << row.input.substr(0, 60);
}

TEST(Tree, ReadAndWrite) {
    const Case cases[] = {
        {"{\"tag\":\"x\",\"props\":{},\"slots\":{},\"events\":{},\"event_options\":{},\"bindings\":{}}", "{\"tag\":\"x\"}"},
        {"{\"tag\":\"x\",\"key\":null}", "{\"tag\":\"x\"}"},
        {"{\"key\":\"\",\"tag\":\"\"}", "{\"tag\":\"\",\"key\":\"\"}"},
        {"{\"tag\":\"x\",\"props\":null}", "invalid type: null, expected a map at line 1 column 23"},
        {"{\"key\":\"k\"}", "missing field `tag` at line 1 column 11"},
        {"{\"tag\":null}", "invalid type: null, expected a string at line 1 column 11"},
        {"{\"tag\":\"x\",\"tag\":\"y\"}", "duplicate field `tag` at line 1 column 16"},
        {"{\"tag\":\"x\",\"key\":null,\"key\":\"k\"}", "duplicate field `key` at line 1 column 27"},
        {"{\"tag\":\"x\",\"props\":{\"a\":{\"Int\":1}},\"props\":{}}", "duplicate field `props` at line 1 column 42"},
        {"{\"tag\":\"x\",\"props\":{\"b\":\"Null\",\"a\":\"Null\",\"b\":{\"Int\":2}}}",
         "{\"tag\":\"x\",\"props\":{\"a\":\"Null\",\"b\":{\"Int\":2}}}"},
        {"{\"tag\":\"x\",\"text\":\"label\",\"children\":[1]}", "{\"tag\":\"x\"}"},
        {"{\"tag\":\"x\",\"slots\":{\"main\":[]}}", "{\"tag\":\"x\",\"slots\":{\"main\":[]}}"},
        {"{\"tag\":\"a\",\"slots\":{\"s\":{}}}", "invalid type: map, expected a sequence at line 1 column 24"},
        {"{\"tag\":\"a\",\"slots\":{\"s\":[null]}}", "invalid type: null, expected struct Node at line 1 column 29"},
        {"{\"tag\":\"a\",\"slots\":{\"s\":[{\"key\":\"k\"}]}}", "missing field `tag` at line 1 column 36"},
        {"{\"tag\":\"a\",\"props\":{\"x\":\"Bool\"}}",
         "invalid type: unit variant, expected newtype variant at line 1 column 31"},
        {"{\"tag\":\"a\"} x", "trailing characters at line 1 column 13"},
        {"{\"tag\":\"a\"} \n\t\r", "{\"tag\":\"a\"}"},
        {"\"a\"", "invalid type: string \"a\", expected struct Node at line 1 column 3"},
        {"[\"x\"]", "{\"tag\":\"x\"}"},
        {"[\"x\",null,{\"a\":{\"Bool\":true}}]", "{\"tag\":\"x\",\"props\":{\"a\":{\"Bool\":true}}}"},
        {"[\"x\",\"k\",{},{\"s\":[[\"y\"]]},{},{},{}]", "{\"tag\":\"x\",\"key\":\"k\",\"slots\":{\"s\":[{\"tag\":\"y\"}]}}"},
        {"[]", "invalid length 0, expected struct Node with 7 elements at line 1 column 2"},
        {"[\"x\",null,{},{},{},{},{},1]", "trailing characters at line 1 column 26"},
        {"{\"tag\":\"x\",\"event_options\":{\"click\":{\"once\":true,\"capture\":null}}}",
         "{\"tag\":\"x\",\"event_options\":{\"click\":{\"once\":true}}}"},
        {"{\"tag\":\"x\",\"event_options\":{\"click\":{}}}", "{\"tag\":\"x\",\"event_options\":{\"click\":{}}}"},
        {"{\"tag\":\"x\",\"event_options\":{\"click\":{\"passiv\":true}}}",
         "unknown field `passiv`, expected one of `capture`, `once`, `passive` at line 1 column 45"},
        {"{\"tag\":\"x\",\"event_options\":{\"click\":null}}",
         "invalid type: null, expected struct EventOptions at line 1 column 40"},
        {"{\"tag\":\"x\",\"bindings\":{\"v\":null}}", "invalid type: null, expected struct Binding at line 1 column 31"},
        {"{\"tag\":\"x\",\"bindings\":{\"v\":{\"mode\":\"two-way\",\"field\":\"f\"}}}",
         "{\"tag\":\"x\",\"bindings\":{\"v\":{\"field\":\"f\",\"mode\":\"two-way\"}}}"},
        {"{\"tag\":\"x\",\"bindings\":{\"v\":{}}}", "missing field `mode` at line 1 column 29"},
        {"{\"tag\":\"x\",\"slots\":{\"b\":[{\"tag\":\"y\"}],\"a\":[]},\"key\":\"k\"}",
         "{\"tag\":\"x\",\"key\":\"k\",\"slots\":{\"a\":[],\"b\":[{\"tag\":\"y\"}]}}"},
    };
    for (const Case& c : cases) EXPECT_EQ(tree_text(c.input), c.expected) << c.input;
}

// The text every node writes from its fields, its span taken for nothing.
std::string written_from_fields(Node n) {
    struct {
        void operator()(Node& m) const {
            m.canonical = false;
            for (auto& entry : m.slots)
                for (Node& child : entry.value) (*this)(child);
        }
    } forget;
    forget(n);
    json::Writer w;
    node::write_node(w, n);
    return w.out;
}

// A tree read to be written learns whether its text is what the writer writes, and
// is then written as it stands: that must give what writing its fields gives.
TEST(Tree, CanonicalTextIsWrittenAsItStands) {
    struct Row {
        const char* text;
        bool canonical;
    };
    const Row rows[] = {
        {R"({"tag":"x","key":"k","props":{"a":"Null","b":{"Bool":true},"c":{"Int":-5},"d":{"Float":39.482},)"
         R"("e":{"Float":-0.0},"f":{"Float":1e+300},"g":{"Float":1.5e-7},"h":{"Str":"é"},"i":{"List":[{"Int":1}]},)"
         R"("j":{"Map":{"m":{"Str":""},"n":"Null"}},"k":{"Submodel":7}},"slots":{"a":[],"b":[{"tag":"y"}]},)"
         R"("events":{"click":{"kind":"emit","event":"add","detail":null}},)"
         R"("event_options":{"click":{"capture":true,"passive":false}},)"
         R"("bindings":{"value":{"field":"f","mode":"two-way","event":"input"}}})",
         true},
        {R"({"tag": "x"})", false},
        {R"({"tag":"x","slots":{"s":[ {"tag":"y"}]}})", false},
        {R"({"tag":"\u0078"})", false},
        {R"({"key":"k","tag":"x"})", false},
        {R"({"tag":"x","key":null})", false},
        {R"({"tag":"x","props":{}})", false},
        {R"({"tag":"x","slots":{}})", false},
        {R"({"tag":"x","events":{}})", false},
        {R"({"tag":"x","event_options":{}})", false},
        {R"({"tag":"x","bindings":{}})", false},
        {R"({"tag":"x","text":"label"})", false},
        {R"(["x"])", false},
        {R"({"tag":"x","props":{"b":"Null","a":"Null"}})", false},
        {R"({"tag":"x","props":{"a":"Null","a":"Null"}})", false},
        {R"({"tag":"x","props":{"a":{"Null":null}}})", false},
        {R"({"tag":"x","props":{"a":{"Float":1.50}}})", false},
        {R"({"tag":"x","props":{"a":{"Float":1}}})", false},
        {R"({"tag":"x","props":{"a":{"Float":-0}}})", false},
        {R"({"tag":"x","props":{"a":{"Float":1e300}}})", false},
        {R"({"tag":"x","props":{"a":{"Float":1E+300}}})", false},
        {R"({"tag":"x","props":{"a":{"Map":{"n":"Null","m":"Null"}}}})", false},
        {R"({"tag":"x","slots":{"b":[],"a":[]}})", false},
        {R"({"tag":"x","event_options":{"click":{"passive":true,"capture":false}}})", false},
        {R"({"tag":"x","event_options":{"click":{"capture":null}}})", false},
        {R"({"tag":"x","event_options":{"click":[true]}})", false},
        {R"({"tag":"x","events":{"click":{"event":"add","kind":"emit"}}})", false},
        {R"({"tag":"x","bindings":{"v":{"mode":"two-way","field":"f"}}})", false},
        {R"({"tag":"x","slots":{"s":[{"tag":"y"},{"tag":"z","key":null},{"tag":"w"}]}})", false},
    };
    for (const Row& row : rows) {
        Result<Node> tree = node::read_tree(row.text);
        ASSERT_TRUE(tree.ok()) << row.text << ": " << tree.error();
        EXPECT_EQ(tree.value().canonical, row.canonical) << row.text;
        json::Writer w;
        node::write_node(w, tree.value());
        EXPECT_EQ(w.out, written_from_fields(tree.value())) << row.text;
    }
    // Nothing is learnt, nor needed, for a tree that is only compared.
    EXPECT_FALSE(node::read_tree(rows[0].text, node::Use::Compare).value().canonical);
}

TEST(Tree, SkippedValuesHaveNoDepthLimit) {
    std::string deep = std::string(300, '[') + std::string(300, ']');
    EXPECT_EQ(tree_text("{\"tag\":\"a\",\"skip\":" + deep + "}"), "{\"tag\":\"a\"}");
}

TEST(Tree, DeepestNodeIsAtDepth43) {
    std::string ok = chain(43, "");
    EXPECT_EQ(tree_text(ok), ok);
    for (const std::string& text : {chain(43, ",\"props\":{}"), chain(44, "")}) {
        std::string got = tree_text(text);
        EXPECT_EQ(got.substr(0, 24), "recursion limit exceeded") << got;
    }
}

TEST(Tree, Equality) {
    struct Row {
        const char* a;
        const char* b;
        bool equal;
    };
    const Row rows[] = {
        {"{\"tag\":\"x\",\"props\":{\"a\":\"Null\",\"b\":{\"Int\":1}},\"slots\":{\"s\":[{\"tag\":\"y\"}],\"t\":[]}}",
         "{\"slots\":{\"t\":[],\"s\":[{\"tag\":\"y\"}]},\"props\":{\"b\":{\"Int\":1},\"a\":\"Null\"},\"tag\":\"x\"}", true},
        {"{\"tag\":\"x\",\"props\":{\"a\":{\"Int\":1}}}", "{\"tag\":\"x\",\"props\":{\"a\":{\"Float\":1.0}}}", false},
        {"{\"tag\":\"x\"}", "{\"tag\":\"x\",\"key\":\"\"}", false},
        {"{\"tag\":\"x\"}", "{\"tag\":\"x\",\"slots\":{\"s\":[]}}", false},
        {"{\"tag\":\"x\",\"slots\":{\"s\":[{\"tag\":\"a\"},{\"tag\":\"b\"}]}}",
         "{\"tag\":\"x\",\"slots\":{\"s\":[{\"tag\":\"b\"},{\"tag\":\"a\"}]}}", false},
        {"{\"tag\":\"x\",\"slots\":{\"s\":[{\"tag\":\"a\",\"key\":\"1\"}]}}",
         "{\"tag\":\"x\",\"slots\":{\"s\":[{\"tag\":\"a\",\"key\":\"2\"}]}}", false},
        {"{\"tag\":\"x\",\"event_options\":{\"c\":{\"once\":false}}}", "{\"tag\":\"x\",\"event_options\":{\"c\":{}}}",
         false},
        {"{\"tag\":\"x\",\"event_options\":{\"c\":[null,true]}}", "{\"tag\":\"x\",\"event_options\":{\"c\":{\"once\":true}}}",
         true},
        {"{\"tag\":\"x\",\"bindings\":{\"v\":{\"mode\":\"one-way\",\"scale\":1}}}",
         "{\"tag\":\"x\",\"bindings\":{\"v\":{\"mode\":\"one-way\",\"scale\":1.0}}}", true},
        {"{\"tag\":\"x\",\"bindings\":{\"v\":{\"mode\":\"one-way\",\"compute\":{\"value\":1}}}}",
         "{\"tag\":\"x\",\"bindings\":{\"v\":{\"mode\":\"one-way\",\"compute\":{\"value\":1.0}}}}", false},
        {"{\"tag\":\"x\",\"bindings\":{\"v\":{\"mode\":\"one-way\"}}}",
         "{\"tag\":\"x\",\"bindings\":{\"v\":{\"mode\":\"two-way\"}}}", false},
    };
    for (const Row& row : rows) {
        Node a = read_node_text(row.a), b = read_node_text(row.b);
        EXPECT_EQ(a == b, row.equal) << row.a << " vs " << row.b;
        EXPECT_EQ(b == a, row.equal) << row.a << " vs " << row.b;
        if (row.equal) {
            json::Writer wa, wb;
            node::write_node(wa, a);
            node::write_node(wb, b);
            EXPECT_EQ(wa.out, wb.out);
        }
    }
}

TEST(Tree, CopySharesNothing) {
    Node a = read_node_text("{\"tag\":\"x\",\"slots\":{\"s\":[{\"tag\":\"y\",\"props\":{\"p\":{\"Str\":\"v\"}}}]}}");
    Node b = a;
    b.slots.find("s")->front().props.set("p", Value(String("w")));
    EXPECT_FALSE(a == b);
    json::Writer w;
    node::write_node(w, a);
    EXPECT_EQ(w.out, "{\"tag\":\"x\",\"slots\":{\"s\":[{\"tag\":\"y\",\"props\":{\"p\":{\"Str\":\"v\"}}}]}}");
}

TEST(EventOptions, ReadAndWrite) {
    const Case cases[] = {
        {"{}", "{}"},
        {"[]", "{}"},
        {"{\"passive\":false,\"once\":true,\"capture\":true}", "{\"capture\":true,\"once\":true,\"passive\":false}"},
        {"[true,null,false]", "{\"capture\":true,\"passive\":false}"},
        {"[true,null,false,1]", "trailing characters at line 1 column 18"},
        {"{\"once\":null,\"once\":true}", "duplicate field `once` at line 1 column 19"},
        {"{\"once\":1}", "invalid type: integer `1`, expected a boolean at line 1 column 9"},
        {"{\"passiv\":true}", "unknown field `passiv`, expected one of `capture`, `once`, `passive` at line 1 column 9"},
        {"null", "invalid type: null, expected struct EventOptions at line 1 column 4"},
        {"true", "invalid type: boolean `true`, expected struct EventOptions at line 1 column 4"},
        {"", "EOF while parsing a value at line 1 column 0"},
    };
    for (const Case& c : cases) EXPECT_EQ(options_text(c.input, false), c.expected) << c.input;

    const Case nullable[] = {
        {" null", "absent"},
        {"nil", "expected ident at line 1 column 2"},
        {"{\"capture\":false}", "{\"capture\":false}"},
        {"1", "invalid type: integer `1`, expected struct EventOptions at line 1 column 1"},
    };
    for (const Case& c : nullable) EXPECT_EQ(options_text(c.input, true), c.expected) << c.input;
}

TEST(Binding, ReadAndWrite) {
    const Case cases[] = {
        {"{\"mode\":\"one-way\"}", "{\"mode\":\"one-way\"}"},
        {"{\"mode\":\"one-way\",\"compute\":null,\"field\":null}", "{\"mode\":\"one-way\"}"},
        {"{\"mode\":\"one-way\",\"tag\":[1,2]}", "{\"mode\":\"one-way\"}"},
        {"{\"mode\":\"one-way\",\"field\":null,\"field\":\"x\"}", "duplicate field `field` at line 1 column 38"},
        {"{\"compute\":{\"value\":1.50,\"expr\":\"lit\"},\"mode\":\"one-way\"}",
         "{\"compute\":{\"expr\":\"lit\",\"value\":1.5},\"mode\":\"one-way\"}"},
        {"{\"mode\":\"one-way\",\"compute\":[1,{\"b\":1,\"a\":2,\"b\":3}]}",
         "{\"compute\":[1,{\"a\":2,\"b\":3}],\"mode\":\"one-way\"}"},
        {"{\"mode\":\"one-way\",\"scale\":2}", "{\"mode\":\"one-way\",\"scale\":2.0}"},
        {"{\"mode\":\"one-way\",\"scale\":\"x\"}", "invalid type: string \"x\", expected f64 at line 1 column 29"},
        {"{\"mode\":\"two-way\",\"methods\":[\"showModal\"]}",
         "invalid length 1, expected an array of length 2 at line 1 column 41"},
        {"{\"mode\":\"two-way\",\"methods\":[]}", "invalid length 0, expected an array of length 2 at line 1 column 30"},
        {"{\"mode\":\"two-way\",\"methods\":[\"a\",\"b\",\"c\"]}", "trailing characters at line 1 column 38"},
        {"{\"mode\":\"two-way\",\"methods\":\"a\"}",
         "invalid type: string \"a\", expected an array of length 2 at line 1 column 31"},
        {"{\"mode\":\"two-way\",\"methods\":[\"a\",1]}", "invalid type: integer `1`, expected a string at line 1 column 34"},
        {"{\"mode\":\"two-way\",\"selection\":{\"tag\":\"x\",\"value\":\"v\"}}",
         "missing field `selected` at line 1 column 53"},
        {"{\"mode\":\"two-way\",\"selection\":{\"selected\":\"s\"}}", "missing field `tag` at line 1 column 46"},
        {"{\"mode\":\"two-way\",\"selection\":[\"t\",\"v\"]}",
         "invalid length 2, expected struct BindingSelection with 3 elements at line 1 column 39"},
        {"{\"mode\":\"two-way\",\"selection\":[\"t\",\"v\",\"s\",\"x\"]}", "trailing characters at line 1 column 44"},
        {"{\"mode\":\"two-way\",\"selection\":1}",
         "invalid type: integer `1`, expected struct BindingSelection at line 1 column 31"},
        {"{\"mode\":\"two-way\",\"options\":{\"label\":\"l\"}}", "missing field `value` at line 1 column 41"},
        {"{\"mode\":\"two-way\",\"options\":[\"v\"]}",
         "invalid length 1, expected struct BindingOptions with 5 elements at line 1 column 33"},
        {"{\"mode\":\"two-way\",\"options\":[\"v\",\"l\",null,\"json\"]}",
         "{\"mode\":\"two-way\",\"options\":{\"value\":\"v\",\"label\":\"l\",\"codec\":\"json\"}}"},
        {"{\"mode\":\"two-way\",\"options\":{\"encode\":\"string\",\"x\":0,\"label\":\"l\",\"disabled\":\"d\",\"value\":\"v\"}}",
         "{\"mode\":\"two-way\",\"options\":{\"value\":\"v\",\"label\":\"l\",\"disabled\":\"d\",\"encode\":\"string\"}}"},
        {"{\"mode\":\"one-way\",\"encode\":\"number\"}", "unknown variant `number`, expected `string` at line 1 column 35"},
        {"{\"mode\":\"one-way\",\"codec\":\"xml\"}", "unknown variant `xml`, expected `number` or `json` at line 1 column 31"},
        {"{\"mode\":\"one-way\",\"codec\":{\"json\":null}}", "{\"mode\":\"one-way\",\"codec\":\"json\"}"},
        {"{\"mode\":{\"two-way\":null}}", "{\"mode\":\"two-way\"}"},
        {"{\"mode\":{\"two-way\":1}}", "invalid type: integer `1`, expected unit at line 1 column 20"},
        {"{\"mode\":{\"two-way\":null,\"x\":1}}", "expected value at line 1 column 23"},
        {"{\"mode\":null}", "expected value at line 1 column 9"},
        {"{\"mode\":\"both\"}", "unknown variant `both`, expected `one-way` or `two-way` at line 1 column 14"},
        {"{\"mode\":\"one-way\",\"defer\":1}", "invalid type: integer `1`, expected a boolean at line 1 column 27"},
        {"{}", "missing field `mode` at line 1 column 2"},
        {"[\"f\",null,\"two-way\"]", "{\"field\":\"f\",\"mode\":\"two-way\"}"},
        {"[]", "invalid length 2, expected struct Binding with 12 elements at line 1 column 2"},
        {"[\"f\"]", "invalid length 2, expected struct Binding with 12 elements at line 1 column 5"},
        {"[null,null,\"one-way\",\"e\",[\"o\",\"c\"],\"s\",true,\"number\",\"string\",0.5,[\"t\",\"v\",\"s\"],[\"v\",\"l\"]]",
         "{\"mode\":\"one-way\",\"event\":\"e\",\"methods\":[\"o\",\"c\"],\"state\":\"s\",\"defer\":true,\"codec\":\"number\","
         "\"encode\":\"string\",\"scale\":0.5,\"selection\":{\"tag\":\"t\",\"value\":\"v\",\"selected\":\"s\"},"
         "\"options\":{\"value\":\"v\",\"label\":\"l\"}}"},
        {"[null,null,\"one-way\",null,null,null,null,null,null,null,null,null,1]",
         "trailing characters at line 1 column 67"},
        {"[null,null,\"one-way\",null,null,null,null,null,null,null,null,null,]", "trailing comma at line 1 column 67"},
        {"\"one-way\"", "invalid type: string \"one-way\", expected struct Binding at line 1 column 9"},
    };
    for (const Case& c : cases) EXPECT_EQ(binding_text(c.input), c.expected) << c.input;
}

TEST(Binding, Equality) {
    struct Row {
        const char* a;
        const char* b;
        bool equal;
    };
    const Row rows[] = {
        {"{\"mode\":\"one-way\",\"scale\":1}", "{\"mode\":\"one-way\",\"scale\":1.0}", true},
        {"{\"mode\":\"one-way\",\"compute\":{\"value\":1}}", "{\"mode\":\"one-way\",\"compute\":{\"value\":1.0}}", false},
        {"{\"mode\":\"one-way\",\"compute\":{\"a\":1,\"b\":2}}", "{\"mode\":\"one-way\",\"compute\":{\"b\":2,\"a\":1}}", true},
        {"{\"mode\":\"one-way\",\"field\":\"\"}", "{\"mode\":\"one-way\"}", false},
        {"{\"mode\":\"one-way\",\"options\":[\"v\",\"l\"]}", "{\"mode\":\"one-way\",\"options\":[\"v\",\"l\",\"\"]}", false},
        {"{\"mode\":\"one-way\",\"methods\":[\"a\",\"b\"]}", "{\"mode\":\"one-way\",\"methods\":[\"b\",\"a\"]}", false},
    };
    for (const Row& row : rows) {
        json::Reader ra(row.a), rb(row.b);
        node::Binding a, b;
        ASSERT_TRUE(node::read_binding(ra, a)) << row.a;
        ASSERT_TRUE(node::read_binding(rb, b)) << row.b;
        EXPECT_EQ(a == b, row.equal) << row.a << " vs " << row.b;
    }
}
