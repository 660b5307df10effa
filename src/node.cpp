#include "node.hpp"
#include "json/collections.hpp"
#include "json/record.hpp"

#include <iterator>
#include <string>
#include <utility>

namespace vorlan::node {
namespace {

constexpr auto kDefault = json::Presence::Default;

constexpr auto kNode = json::record("struct Node", {{"tag"},
                                                    {"key", kDefault},
                                                    {"props", kDefault},
                                                    {"slots", kDefault},
                                                    {"events", kDefault},
                                                    {"event_options", kDefault},
                                                    {"bindings", kDefault}});
constexpr auto kEventOptions = json::record("struct EventOptions",
                                            {{"capture", kDefault}, {"once", kDefault}, {"passive", kDefault}},
                                            json::Undeclared::Reject);

// A node field's index in its table, named.
consteval int field(std::string_view name) { return kNode.slot(name); }

// Dispatch on the length first: node keys are looked up once per member read.
constexpr int node_field_index(std::string_view key) {
    using json::is;
    switch (key.size()) {
        case 3: return is(key, "tag") ? field("tag") : is(key, "key") ? field("key") : -1;
        case 5: return is(key, "props") ? field("props") : is(key, "slots") ? field("slots") : -1;
        case 6: return is(key, "events") ? field("events") : -1;
        case 8: return is(key, "bindings") ? field("bindings") : -1;
        case 13: return is(key, "event_options") ? field("event_options") : -1;
        default: return -1;
    }
}

// The dispatch above must find every name where the table has it.
static_assert([] {
    for (const json::Field& f : kNode.fields)
        if (node_field_index(f.key) != kNode.find(f.key)) return false;
    return true;
}());

bool read_opt_bool(json::Reader& r, std::optional<bool>& out) {
    return json::read_nullable(r, out, [](json::Reader& in, bool& b) { return in.read_bool(b); });
}

bool read_node_field(json::Reader& r, int i, Node& n) {
    switch (i) {
        case field("tag"): return r.read_string(n.tag);
        case field("key"): return json::read_optional_string(r, n.key);
        case field("props"): return drovane::read_value_map(r, n.props);
        case field("slots"): return json::read_map(r, n.slots, [](json::Reader& in, Vector<Node>& slot) {
            return json::read_list(in, slot, read_node);
        });
        case field("events"): return json::read_map(r, n.events, action::read_action);
        case field("event_options"): return json::read_map(r, n.event_options, read_event_options);
        case field("bindings"): return json::read_map(r, n.bindings, read_binding);
    }
    return false;  // not reached: every field of kNode has its case
}

std::optional<bool> EventOptions::*const kOptionMembers[] = {&EventOptions::capture, &EventOptions::once,
                                                             &EventOptions::passive};

void write_slot(json::Writer& w, const Vector<Node>& list) {
    w.raw('[');
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (i) w.raw(',');
        write_node(w, list[i]);
    }
    w.raw(']');
}

}  // namespace

bool read_node(json::Reader& r, Node& out) {
    return json::read_record(
        r, kNode, [](std::string_view key) { return node_field_index(key); },
        [&](int i) { return read_node_field(r, i, out); });
}

bool read_event_options(json::Reader& r, EventOptions& out) {
    return json::read_record(r, kEventOptions, [&](int i) { return read_opt_bool(r, out.*kOptionMembers[i]); });
}

bool read_event_options_nullable(json::Reader& r, std::optional<EventOptions>& out) {
    return json::read_nullable(r, out, read_event_options);
}

void write_node(json::Writer& w, const Node& n) {
    w.raw('{');
    w.key("tag");
    w.string(n.tag);
    if (n.key) {
        w.raw(',');
        w.key("key");
        w.string(*n.key);
    }
    if (!n.props.empty()) {
        w.raw(',');
        w.key("props");
        drovane::write_value_map(w, n.props);
    }
    if (!n.slots.empty()) {
        w.raw(',');
        w.key("slots");
        json::write_map(w, n.slots, write_slot);
    }
    if (!n.events.empty()) {
        w.raw(',');
        w.key("events");
        json::write_map(w, n.events, action::write_action);
    }
    if (!n.event_options.empty()) {
        w.raw(',');
        w.key("event_options");
        json::write_map(w, n.event_options, write_event_options);
    }
    if (!n.bindings.empty()) {
        w.raw(',');
        w.key("bindings");
        json::write_map(w, n.bindings, write_binding);
    }
    w.raw('}');
}

void write_event_options(json::Writer& w, const EventOptions& o) {
    w.raw('{');
    json::write_members(
        w, kEventOptions, false, [&](int i) { return !(o.*kOptionMembers[i]).has_value(); },
        [&](int i) { w.boolean(*(o.*kOptionMembers[i])); });
    w.raw('}');
}

Result<Node> read_tree(std::string_view text) {
    Node n;
    json::Reader r(text);
    if (!read_node(r, n) || !r.end_of_text()) return fail(r.error().text());
    return n;
}

bool operator==(const EventOptions& a, const EventOptions& b) {
    return a.capture == b.capture && a.once == b.once && a.passive == b.passive;
}

bool operator==(const Node& a, const Node& b) {
    return a.tag == b.tag && a.key == b.key && a.props == b.props && a.slots == b.slots && a.events == b.events &&
           a.event_options == b.event_options && a.bindings == b.bindings;
}

}  // namespace vorlan::node
