#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "cem.hpp"

using namespace vorlan;

namespace {

constexpr std::optional<std::string_view> kAbsent = std::nullopt;

std::string written(const cem::PropType& t) {
    json::Writer w;
    cem::write_prop_type(w, t);
    return w.out;
}

std::string shown(const std::optional<std::string>& s) { return s ? "<" + *s + ">" : "absent"; }

struct TypeRow {
    std::optional<std::string_view> text;
    const char* expected;
};

TEST(CemParseType, Table) {
    const TypeRow rows[] = {
        {kAbsent, "\"Any\""},
        {"", "\"Any\""},
        {"  \n ", "\"Any\""},
        {"|", "\"Any\""},
        {" | | ", "\"Any\""},
        {"null", "\"Any\""},
        {"undefined", "\"Any\""},
        {"undefined | null", "\"Any\""},
        {"string", "\"Str\""},
        {"string | undefined", R"({"Optional":"Str"})"},
        {"null | string", R"({"Optional":"Str"})"},
        {"number", "\"Number\""},
        {"boolean", "\"Bool\""},
        {"boolean | null", R"({"Optional":"Bool"})"},
        {"'primary' | 'secondary'", R"({"Enum":["primary","secondary"]})"},
        {"'a' | 'a'", R"({"Enum":["a","a"]})"},
        {"''", R"({"Enum":[""]})"},
        {"' a '", R"({"Enum":[" a "]})"},
        {"'on' | 'off' | null", R"({"Optional":{"Enum":["on","off"]}})"},
        {"undefined|'x'", R"({"Optional":{"Enum":["x"]}})"},
        {"\"a\" | \"b\"", R"({"Enum":["a","b"]})"},
        {"'a\\'b'", R"({"Enum":["a\\'b"]})"},
        {"'a\" | 'b'", "\"Any\""},
        {"'a\"", "\"Any\""},
        {"'auto' | string", "\"Str\""},
        {"string | string", "\"Str\""},
        {"string | 'auto' | null", R"({"Optional":"Str"})"},
        {"'auto' | number", "\"Any\""},
        {"number | string", "\"Any\""},
        {"number | boolean | null", "\"Any\""},
        {"number | undefined", R"({"Optional":"Number"})"},
        {"String", "\"Any\""},
        {"Number", "\"Any\""},
        {"string[]", "\"Any\""},
        {"Array<string>", "\"Any\""},
        {"object", "\"Any\""},
        {"any", "\"Any\""},
        {"unknown | null", "\"Any\""},
        {"'", "\"Any\""},
        {"'a|b'", "\"Any\""},
        {"\xC2\xA0string\xC2\xA0", "\"Str\""},                      // no-break space
        {"\xE3\x80\x80number\xE3\x80\x80|\xE2\x80\xA8null", R"({"Optional":"Number"})"},  // ideographic, line sep.
        {"\x1Cstring", "\"Any\""},
        {"string\x1F", "\"Any\""},
        {"\xE2\x80\x8Bstring", "\"Any\""},                          // zero width space
        {"string\xEF\xBB\xBF", "\"Any\""},                          // byte order mark
        {"\xFFstring", "\"Any\""},                                  // malformed UTF-8 is no white space
        {"'\xE2\x80\x83' | '\xC3\xA9'", "{\"Enum\":[\"\xE2\x80\x83\",\"\xC3\xA9\"]}"},
    };
    for (const TypeRow& row : rows)
        EXPECT_EQ(written(cem::parse_type(row.text)), row.expected) << (row.text ? *row.text : "absent");
}

struct TextRow {
    std::optional<std::string_view> text;
    std::optional<std::string> expected;
};

TEST(CemOpaqueTypeText, Table) {
    const TextRow rows[] = {
        {kAbsent, std::nullopt},
        {"", std::nullopt},
        {" \t ", std::nullopt},
        {"string", std::nullopt},
        {"'a' | 'b'", std::nullopt},
        {"boolean | null", std::nullopt},
        {"any", std::nullopt},
        {"unknown", std::nullopt},
        {"any | undefined", std::nullopt},
        {"unknown | undefined", std::nullopt},
        {"  any\n", std::nullopt},
        {"any\n| undefined", std::nullopt},
        {"unknown\t|\xC2\xA0\xC2\xA0undefined", std::nullopt},
        {"any|undefined", "any|undefined"},
        {"undefined", "undefined"},
        {"Array<string>", "Array<string>"},
        {"Foo | null", "Foo | null"},
        {"Any", "Any"},
        {"{\n    a: string;\n    b:   number\n}", "{ a: string; b: number }"},
        {"Map<\xE3\x80\x80string,\xE2\x80\x8Bnumber>", "Map< string,\xE2\x80\x8Bnumber>"},
        {"a\x1C  b", "a\x1C b"},
    };
    for (const TextRow& row : rows)
        EXPECT_EQ(shown(cem::opaque_type_text(row.text)), shown(row.expected)) << (row.text ? *row.text : "absent");
}

TEST(CemCleanDefault, Table) {
    const TextRow rows[] = {
        {kAbsent, std::nullopt},
        {"", std::nullopt},
        {"   ", std::nullopt},
        {"null", std::nullopt},
        {"undefined", std::nullopt},
        {" undefined\n", std::nullopt},
        {"\xC2\xA0null\xE3\x80\x80", std::nullopt},
        {"true", "true"},
        {"false", "false"},
        {" false ", "false"},
        {"True", std::nullopt},
        {"FALSE", std::nullopt},
        {"Null", std::nullopt},
        {"'primary'", "primary"},
        {"\"primary\"", "primary"},
        {"''", ""},
        {"\"\"", ""},
        {"' padded '", " padded "},
        {"'a\\'b'", "a\\'b"},
        {"'", std::nullopt},
        {"'abc", std::nullopt},
        {"'abc\"", std::nullopt},
        {"0", "0"},
        {"-2.5e3", "-2.5e3"},
        {"+1", "+1"},
        {".5", ".5"},
        {"5.", "5."},
        {"1E5", "1E5"},
        {"1e-5", "1e-5"},
        {"1e+5", "1e+5"},
        {"007", "007"},
        {"1e400", "1e400"},
        {"NaN", "NaN"},
        {"-Infinity", "-Infinity"},
        {"inf", "inf"},
        {"+INF", "+INF"},
        {" 42 ", "42"},
        {"\xC2\xA0" "42\xE3\x80\x80", "42"},
        {"0x10", std::nullopt},
        {"1_000", std::nullopt},
        {"1,5", std::nullopt},
        {"5px", std::nullopt},
        {"e5", std::nullopt},
        {".", std::nullopt},
        {"-", std::nullopt},
        {"1e", std::nullopt},
        {"1e+", std::nullopt},
        {".e1", std::nullopt},
        {"1 000", std::nullopt},
        {"infinite", std::nullopt},
        {"--1", std::nullopt},
        {"[]", std::nullopt},
        {"{}", std::nullopt},
        {"new Map()", std::nullopt},
        {"\x1C" "42", std::nullopt},
        {"42\xEF\xBB\xBF", std::nullopt},
    };
    for (const TextRow& row : rows)
        EXPECT_EQ(shown(cem::clean_default(row.text)), shown(row.expected)) << (row.text ? *row.text : "absent");
}

TEST(CemPascalCase, Table) {
    struct Row {
        const char* tag;
        const char* expected;
    };
    const Row rows[] = {
        {"my-el_x", "MyElX"},
        {"x--y", "XY"},
        {"-a-", "A"},
        {"1-a", "1A"},
        {"my-button", "MyButton"},
        {"MY-bUTTON", "MYBUTTON"},
        {"\xC3\x9F" "ab-c", "SSabC"},        // sharp s
        {"\xEF\xAC\x81le-x", "FIleX"},       // ligature fi
        {"\xC3\xA9t\xC3\xA9-\xC3\xA9", "\xC3\x89t\xC3\xA9\xC3\x89"},
        {"\xE4\xB8\xAD-a", "\xE4\xB8\xAD" "A"},  // no mapping
        {"---", ""},
        {"_-_", ""},
        {"", ""},
        {"a", "A"},
    };
    for (const Row& row : rows) EXPECT_EQ(cem::pascal_case(row.tag), row.expected) << row.tag;
}

TEST(CemOpaqueOnly, Table) {
    struct Row {
        const char* text;
        bool expected;
    };
    const Row rows[] = {
        {"Node", true},
        {"HTMLElement", true},
        {"HTMLInputElement | null", true},
        {"SVGElement[]", true},
        {"Array<Element>", true},
        {"ReadonlyArray<CSSResult>", true},
        {"MathMLElement", true},
        {"Element | undefined", true},
        {"TemplateResult[][]", true},
        {"Array< Node [] >[]", true},
        {"\xC2\xA0ShadowRoot\xC2\xA0|\xE3\x80\x80null", true},
        {"", false},
        {"null", false},
        {"undefined | null", false},
        {"string", false},
        {"MathML", false},
        {"HTMLFoo", false},
        {"html-element", false},
        {"htmlElement", false},
        {"Node | string", false},
        {"[]", false},
        {"Array<Array<Node>>", false},
        {"Array<Node | null>", false},
        {"Node[] | |", true},
        {"Array<>", false},
    };
    for (const Row& row : rows) EXPECT_EQ(cem::is_opaque_only(row.text), row.expected) << row.text;
}

}  // namespace
