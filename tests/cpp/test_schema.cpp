#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "json/json.hpp"
#include "schema.hpp"

namespace {

using vorlan::Box;
using vorlan::schema::Order;
using vorlan::schema::Schema;
namespace sc = vorlan::schema;

struct Row {
    const char* name;
    std::function<Schema()> build;
    const char* keywords;  // written in generator keyword order
    const char* sorted;    // written with every object's members sorted
};

Schema with_description(Schema s, std::string d) {
    s.description = std::move(d);
    return s;
}

const Row kRows[] = {
    {"text", [] { return sc::text(); }, R"({"type":"string"})", R"({"type":"string"})"},
    {"optional text", [] { return sc::nullable(sc::text()); }, R"({"type":["string","null"]})",
     R"({"type":["string","null"]})"},
    {"list of texts", [] { return sc::list_of(sc::text()); }, R"({"type":"array","items":{"type":"string"}})",
     R"({"items":{"type":"string"},"type":"array"})"},
    {"any JSON value", [] { return sc::any_json(); }, "true", "true"},
    {"named type", [] { return sc::ref("Expr"); }, R"({"$ref":"#/definitions/Expr"})",
     R"({"$ref":"#/definitions/Expr"})"},
    {"optional named type", [] { return sc::nullable(sc::ref("Expr")); },
     R"({"anyOf":[{"$ref":"#/definitions/Expr"},{"type":"null"}]})",
     R"({"anyOf":[{"$ref":"#/definitions/Expr"},{"type":"null"}]})"},
    {"list of a named type", [] { return sc::list_of(sc::ref("Expr")); },
     R"({"type":"array","items":{"$ref":"#/definitions/Expr"}})",
     R"({"items":{"$ref":"#/definitions/Expr"},"type":"array"})"},
    {"map to a named type", [] { return sc::map_of(sc::ref("Expr")); },
     R"({"type":"object","additionalProperties":{"$ref":"#/definitions/Expr"}})",
     R"({"additionalProperties":{"$ref":"#/definitions/Expr"},"type":"object"})"},
    {"optional boolean", [] { return sc::nullable(sc::boolean()); }, R"({"type":["boolean","null"]})",
     R"({"type":["boolean","null"]})"},
    {"optional double", [] { return sc::nullable(sc::double_number()); },
     R"({"type":["number","null"],"format":"double"})", R"({"format":"double","type":["number","null"]})"},
    {"optional pair of texts", [] { return sc::nullable(sc::pair_of_texts()); },
     R"({"type":["array","null"],"items":{"type":"string"},"maxItems":2,"minItems":2})",
     R"({"items":{"type":"string"},"maxItems":2,"minItems":2,"type":["array","null"]})"},
    {"described optional named type", [] { return with_description(sc::nullable(sc::ref("A")), "d"); },
     R"({"description":"d","anyOf":[{"$ref":"#/definitions/A"},{"type":"null"}]})",
     R"({"anyOf":[{"$ref":"#/definitions/A"},{"type":"null"}],"description":"d"})"},
    {"enum keeps its order", [] { return sc::string_enum("d", {"b", "a"}); },
     R"({"description":"d","type":"string","enum":["b","a"]})",
     R"({"description":"d","enum":["b","a"],"type":"string"})"},
    {"required and properties sorted",
     [] {
         Schema s = sc::of_type("object");
         s.required = {"b", "a"};
         s.properties.emplace_back("b", sc::text());
         s.properties.emplace_back("a", sc::boolean());
         s.additional = sc::Additional::Forbidden;
         return s;
     },
     R"({"type":"object","required":["a","b"],"properties":{"a":{"type":"boolean"},"b":{"type":"string"}},"additionalProperties":false})",
     R"({"additionalProperties":false,"properties":{"a":{"type":"boolean"},"b":{"type":"string"}},"required":["a","b"],"type":"object"})"},
    {"reference beside a keyword moves into allOf", [] { return with_description(sc::ref("A"), "d"); },
     R"({"description":"d","allOf":[{"$ref":"#/definitions/A"}]})",
     R"({"allOf":[{"$ref":"#/definitions/A"}],"description":"d"})"},
    {"reference appended after an existing allOf",
     [] {
         Schema s = sc::ref("A");
         s.all_of.push_back(sc::text());
         return s;
     },
     R"({"allOf":[{"type":"string"},{"$ref":"#/definitions/A"}]})",
     R"({"allOf":[{"type":"string"},{"$ref":"#/definitions/A"}]})"},
    {"document root frames the keywords",
     [] {
         Schema s = with_description(sc::of_type("object"), "d");
         s.definitions.emplace_back("B", sc::text());
         s.definitions.emplace_back("A", sc::text());
         // Not from literals: GCC 12 gives a false -Wrestrict warning on these assignments.
         s.title = std::string(1, 'T');
         s.schema_uri = std::string(1, 'u');
         return s;
     },
     R"({"$schema":"u","title":"T","description":"d","type":"object","definitions":{"A":{"type":"string"},"B":{"type":"string"}}})",
     R"({"$schema":"u","definitions":{"A":{"type":"string"},"B":{"type":"string"}},"description":"d","title":"T","type":"object"})"},
};

TEST(SchemaModel, WrittenInKeywordAndSortedOrder) {
    for (const Row& row : kRows) {
        const Schema s = row.build();
        EXPECT_EQ(vorlan::json::to_text(sc::to_value(s, Order::Keywords)), row.keywords) << row.name;
        EXPECT_EQ(vorlan::json::to_text(sc::to_value(s, Order::Sorted)), row.sorted) << row.name;
    }
}

TEST(SchemaModel, CollectsEveryReferenceOnce) {
    Schema s = sc::of_type("object");
    s.properties.emplace_back("a", sc::list_of(sc::ref("B")));
    s.properties.emplace_back("b", sc::nullable(sc::ref("A")));
    s.properties.emplace_back("c", sc::map_of(sc::ref("B")));
    Schema inner;
    inner.required = {"x"};
    s.not_schema = Box<Schema>(inner);
    std::vector<std::string> names;
    sc::collect_refs(s, names);
    EXPECT_EQ(names, (std::vector<std::string>{"B", "A"}));
}

}  // namespace
