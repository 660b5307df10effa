#pragma once
// One element of a component tree and the listener options of its events.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "action.hpp"
#include "binding.hpp"
#include "drovane/value.hpp"
#include "arena.hpp"
#include "json/json.hpp"
#include "result.hpp"
#include "sorted_map.hpp"

namespace vorlan::node {

struct EventOptions {
    std::optional<bool> capture;
    std::optional<bool> once;
    std::optional<bool> passive;
};

// Maps are SortedMaps (sorted vectors): small, read once in order, walked in key order by diff and equality.
struct Node {
    String tag;
    std::optional<String> key;
    SortedMap<drovane::Value> props;
    SortedMap<Vector<Node>> slots;
    SortedMap<action::Action> events;
    SortedMap<EventOptions> event_options;
    SortedMap<Binding> bindings;
};

// Reads one Node where the reader stands (object or array form).
bool read_node(json::Reader& r, Node& out);
bool read_event_options(json::Reader& r, EventOptions& out);
// null reads as no options; anything else as EventOptions.
bool read_event_options_nullable(json::Reader& r, std::optional<EventOptions>& out);
void write_node(json::Writer& w, const Node& n);
void write_event_options(json::Writer& w, const EventOptions& o);

// A whole tree text: one Node, then only whitespace. The message carries its position.
Result<Node> read_tree(std::string_view text);

bool operator==(const EventOptions& a, const EventOptions& b);
bool operator==(const Node& a, const Node& b);

}  // namespace vorlan::node
