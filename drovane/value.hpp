#pragma once
// The prop value of a component tree node: a small tagged union read from and
// written as tag-outside JSON ("Null", {"Int":1}, {"Map":{...}}, ...).
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "arena.hpp"
#include "json/json.hpp"
#include "sorted_map.hpp"

namespace vorlan::drovane {

struct Value;
using Null = std::monostate;
using List = Vector<Value>;
using ValueMap = vorlan::SortedMap<Value>;

struct Submodel {
    std::uint64_t id = 0;
    friend bool operator==(const Submodel& a, const Submodel& b) { return a.id == b.id; }
};

struct Value {
    std::variant<Null, bool, std::int64_t, double, String, List, ValueMap, Submodel> v;

    Value() = default;
    explicit Value(bool b) : v(b) {}
    explicit Value(std::int64_t n) : v(n) {}
    explicit Value(double n) : v(n) {}
    explicit Value(String s) : v(std::move(s)) {}
    explicit Value(List l) : v(std::move(l)) {}
    explicit Value(ValueMap m) : v(std::move(m)) {}
    explicit Value(Submodel s) : v(s) {}
};

// Reads one Value where the reader stands (skipping whitespace first).
bool read_value(json::Reader& r, Value& out);
// Reads a JSON object of name -> Value; the last repeated key wins.
bool read_value_map(json::Reader& r, ValueMap& out);
void write_value(json::Writer& w, const Value& v);
void write_value_map(json::Writer& w, const ValueMap& m);

// Structural: same variant, floats by IEEE (NaN != NaN, 0.0 == -0.0).
bool operator==(const Value& a, const Value& b);
// A ValueMap compares through SortedMap: sizes, then entries in key order.

}  // namespace vorlan::drovane
