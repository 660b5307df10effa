#include "node.hpp"
#include "json/collections.hpp"

#include <iterator>
#include <string>
#include <utility>

namespace vorlan::node {
namespace {

constexpr std::string_view kNodeFields[] = {"tag", "key", "props", "slots", "events", "event_options", "bindings"};
constexpr std::string_view kOptionFields[] = {"capture", "once", "passive"};

// A node field's index in kNodeFields, named.
consteval int field(std::string_view name) { return json::slot(kNodeFields, name); }

template <std::size_t N>
constexpr bool is(std::string_view name, const char (&lit)[N]) {
    return std::char_traits<char>::compare(name.data(), lit, N - 1) == 0;
}

// Dispatch on the length first: node keys are looked up once per member read.
constexpr int node_field_index(std::string_view key) {
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
    for (std::string_view name : kNodeFields)
        if (node_field_index(name) != json::name_index(kNodeFields, name)) return false;
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
    return false;  // not reached: every name in kNodeFields has its case
}

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
    int c = r.peek_ws();
    if (c == '{') return r.in_object([&] {
        bool first = true;
        bool seen[std::size(kNodeFields)] = {};
        std::string_view key;
        for (;;) {
            int k = r.next_key(first, key);
            if (k < 0) return false;
            if (k == 0) break;
            int i = node_field_index(key);
            if (i < 0) {
                if (!r.colon() || !r.skip_value()) return false;
                continue;
            }
            if (seen[i]) return r.fail_unpositioned(json::duplicate_field(kNodeFields[i]));
            seen[i] = true;
            if (!r.colon() || !read_node_field(r, i, out)) return false;
        }
        if (!seen[field("tag")]) return r.fail_unpositioned(json::missing_field("tag"));
        return true;
    });
    if (c == '[') return r.in_array([&] {
        bool first = true;
        for (int i = 0; i < static_cast<int>(std::size(kNodeFields)); ++i) {
            int e = r.next_element(first);
            if (e < 0) return false;
            if (e == 0) {
                if (i == field("tag")) return r.fail_unpositioned(json::invalid_length(0, "struct Node with 7 elements"));
                return true;
            }
            if (!read_node_field(r, i, out)) return false;
        }
        return true;
    });
    if (c < 0) return r.fail_peek("EOF while parsing a value");
    return r.fail_invalid_type_here("struct Node");
}

bool read_event_options(json::Reader& r, EventOptions& out) {
    std::optional<bool>* fields[] = {&out.capture, &out.once, &out.passive};
    int c = r.peek_ws();
    if (c == '{') return r.in_object([&] {
        bool first = true;
        bool seen[3] = {};
        std::string_view key;
        for (;;) {
            int k = r.next_key(first, key);
            if (k < 0) return false;
            if (k == 0) return true;
            int i = json::name_index(kOptionFields, key);
            if (i < 0) return r.fail_unpositioned(json::unknown_field(key, json::expected_names(kOptionFields)));
            if (seen[i]) return r.fail_unpositioned(json::duplicate_field(kOptionFields[i]));
            seen[i] = true;
            if (!r.colon() || !read_opt_bool(r, *fields[i])) return false;
        }
    });
    if (c == '[') return r.in_array([&] {
        bool first = true;
        for (int i = 0; i < 3; ++i) {
            int e = r.next_element(first);
            if (e < 0) return false;
            if (e == 0) return true;
            if (!read_opt_bool(r, *fields[i])) return false;
        }
        return true;
    });
    if (c < 0) return r.fail_peek("EOF while parsing a value");
    return r.fail_invalid_type_here("struct EventOptions");
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
    const std::optional<bool>* fields[] = {&o.capture, &o.once, &o.passive};
    w.raw('{');
    bool first = true;
    for (int i = 0; i < 3; ++i) {
        if (!*fields[i]) continue;
        if (!first) w.raw(',');
        first = false;
        w.key(kOptionFields[i]);
        w.boolean(**fields[i]);
    }
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
