#pragma once
// The reactive binding of one prop to state, and its option records.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "arena.hpp"
#include "json/json.hpp"

namespace vorlan::node {

enum class BindMode : std::uint8_t { OneWay, TwoWay };        // "one-way", "two-way"
enum class BindingCodec : std::uint8_t { Number, Json };      // "number", "json"
enum class BindingEncode : std::uint8_t { String };           // "string"

struct BindingSelection {
    String tag;
    String value;
    String selected;
};

struct BindingOptions {
    String value;
    String label;
    std::optional<String> disabled;
    std::optional<BindingCodec> codec;
    std::optional<BindingEncode> encode;
};

struct Binding {
    std::optional<String> field;
    std::optional<json::JsonValue> compute;  // the JSON of an Expr, kept unread
    BindMode mode = BindMode::OneWay;
    std::optional<String> event;
    std::optional<std::pair<String, String>> methods;  // open, close
    std::optional<String> state;
    std::optional<bool> defer;
    std::optional<BindingCodec> codec;
    std::optional<BindingEncode> encode;
    std::optional<double> scale;
    std::optional<BindingSelection> selection;
    std::optional<BindingOptions> options;
};

// Reads one Binding where the reader stands; checks no rule between fields.
bool read_binding(json::Reader& r, Binding& out);
void write_binding(json::Writer& w, const Binding& b);

bool operator==(const BindingSelection& a, const BindingSelection& b);
bool operator==(const BindingOptions& a, const BindingOptions& b);
bool operator==(const Binding& a, const Binding& b);

}  // namespace vorlan::node
