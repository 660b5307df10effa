#pragma once
// The draft-07 schema model behind the three schema documents: a schema object
// with the keywords those documents use, and its conversion to a JsonValue in
// keyword order or with every object's members sorted.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "box.hpp"
#include "json/json.hpp"

namespace vorlan::schema {

struct Schema;
struct NamedSchema;
using NamedSchemas = std::vector<NamedSchema>;

enum class Additional : std::uint8_t { Unset, Forbidden, Schema };

struct Schema {
    bool accept_all = false;  // the literal true; every other member is then ignored
    std::string schema_uri;   // "$schema", document roots only
    std::string title;
    std::string description;
    bool default_null = false;
    std::vector<std::string> type;  // one name, or the name and "null"
    std::string format;
    std::vector<std::string> enum_values;
    std::optional<std::string> const_value;
    std::vector<Schema> all_of;
    std::vector<Schema> any_of;
    std::vector<Schema> one_of;
    std::optional<Box<Schema>> not_schema;
    std::optional<Box<Schema>> items;
    std::optional<std::uint64_t> max_items;
    std::optional<std::uint64_t> min_items;
    std::vector<std::string> required;  // written sorted
    NamedSchemas properties;            // written sorted by name
    Additional additional = Additional::Unset;
    std::optional<Box<Schema>> additional_properties;  // when additional == Schema
    std::string ref;          // a type name; written "#/definitions/" + name
    NamedSchemas definitions;  // document roots only; written sorted by name
};

// A name and its schema; a struct rather than a pair so Schema may still be incomplete above.
struct NamedSchema {
    NamedSchema(std::string name, Schema schema) : first(std::move(name)), second(std::move(schema)) {}
    std::string first;
    Schema second;
};

enum class Order : std::uint8_t { Keywords, Sorted };

// Keyword order: "$schema", the draft keywords in generator order, "definitions".
// Sorted: every object's members in ascending byte order of their names.
json::JsonValue to_value(const Schema& s, Order order);

// Names of every type the schema references, in first-reference order, each once.
void collect_refs(const Schema& s, std::vector<std::string>& names);

// Property schemas by the type of the field.
Schema of_type(std::string_view name);
Schema text();
Schema boolean();
Schema any_json();
Schema double_number();
Schema ref(std::string_view type_name);
Schema list_of(Schema item);
Schema pair_of_texts();
Schema map_of(Schema value);
// The inner schema admitting null too: "null" added to its "type", else an "anyOf".
Schema nullable(Schema inner);
Schema string_enum(std::string_view description, std::vector<std::string> values);

}  // namespace vorlan::schema
