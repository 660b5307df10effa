#include "node.hpp"
#include "json/collections.hpp"
#include "json/record.hpp"
#include "key_index.hpp"
#include "room.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <vector>

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

// How a node is read: against which old node, the one the diff will compare it with
// (none: in full), and where the old lists are found by key.
struct Reading {
    const Node* old = nullptr;
    KeyIndex* keys = nullptr;
};

bool read_node_as(json::Reader& r, Node& out, const Reading& how);

// Old nodes are only ever guides at the depth of the new node they guide: the root
// guides the root, and the children of one slot the children of the same slot of
// the node they guide. Equal bytes at an equal depth read as equal nodes, nesting
// limit included, so a match is taken without reading it again.
bool share(json::Reader& r, Node& out, const Node& candidate) {
    if (candidate.span_size == 0) return false;
    const std::string_view rest = r.rest();
    if (rest.size() < candidate.span_size || std::memcmp(rest.data(), candidate.span_data, candidate.span_size) != 0)
        return false;
    out.shared = &candidate;
    out.span_data = rest.data();
    out.span_size = candidate.span_size;
    r.skip(candidate.span_size);
    return true;
}

// The bytes the text at the cursor has in common with the candidate's, up to a
// limit: which of two candidates the new node most likely continues.
std::size_t common_prefix(std::string_view rest, const Node& candidate) {
    const std::size_t n = std::min<std::size_t>({rest.size(), candidate.span_size, 256});
    const char* a = rest.data();
    const char* b = candidate.span_data;
    std::size_t i = 0;
    while (i < n && a[i] == b[i]) ++i;
    return i;
}

// The position of the first old child with this key, or npos. Short lists are
// scanned; a longer one is looked up in its index, built once for all the new
// lists it guides.
class OldKeys {
public:
    OldKeys(const NodeList& list, KeyIndex& index) : list_(list), index_(index) {}

    std::size_t find(std::string_view key) {
        if (list_.size() <= kScan) {
            for (std::size_t j = 0; j < list_.size(); ++j)
                if (list_[j].key && *list_[j].key == key) return j;
            return npos;
        }
        if (!keys_) keys_ = &index_.of(list_);
        return keys_->find(key);
    }

private:
    static constexpr std::size_t kScan = 8;
    const NodeList& list_;
    KeyIndex& index_;
    ChildKeys* keys_ = nullptr;
};

// A text where the reader stands, kept past the reader's scratch.
bool read_text(json::Reader& r, std::string_view& out) {
    std::string_view s;
    if (!r.read_string_view(s)) return false;
    out = keep_text(r, s);
    return true;
}

// null reads as no key.
bool read_key(json::Reader& r, Key& out) {
    bool is_null = false;
    if (!r.read_null(is_null)) return false;
    if (is_null) {
        r.noncanonical();  // the writer leaves an absent key out
        out = Key();
        return true;
    }
    std::string_view s;
    if (!read_text(r, s)) return false;
    out = Key(s);
    return true;
}

// A list of children read into room, then kept exactly sized.
template <class F>
bool read_children(json::Reader& r, NodeList& out, F&& read_one) {
    Room room;
    RoomVector<Node> list{RoomAllocator<Node>(room)};
    if (!json::read_list(r, list, read_one)) return false;
    out = NodeList::taken(list.data(), list.size());
    return true;
}

// One slot's children read against the old slot of the same name. Child t is paired
// with the old child that carries on the run the last two pairings made, forward or
// backward (as the diff guesses keyed children), or with old child t (what it pairs
// unkeyed children with). A child that shares neither is read with the likelier of
// the two as its guide, so that its own children can still be shared, and its key
// then finds the old child the next one most likely follows.
bool read_slot_guided(json::Reader& r, NodeList& list, const NodeList& old_list, KeyIndex& index) {
    const Reading in_full{};
    // step is 1, or -1 wrapped, once the last two pairings ran backwards.
    std::size_t next = 0, last = npos, step = 1;
    const auto paired = [&](std::size_t j) {
        if (last != npos && (j == last + 1 || j + 1 == last)) step = j - last;
        last = j;
        next = j + step;
    };
    OldKeys keys(old_list, index);
    std::size_t read = 0;
    // Per child, the old position of its key, or npos: what the diff's keyed matching
    // would look up again.
    Vector<std::size_t> found;
    // Sized by what the text holds, not by the guide: one old list may guide many new ones.
    const bool ok = read_children(r, list, [&](json::Reader& in, Node& child) {
        const std::size_t t = read++;
        std::size_t& j = found.emplace_back(npos);
        int c = in.peek_ws();
        if (c != '{' && c != '[') return read_node_as(in, child, in_full);
        const Node* after = next < old_list.size() ? &old_list[next] : nullptr;
        const Node* at = t < old_list.size() && t != next ? &old_list[t] : nullptr;
        if (after && share(in, child, *after)) {
            paired(j = next);
            return true;
        }
        if (at && share(in, child, *at)) {
            paired(j = t);
            return true;
        }
        const Node* guide_node = after;
        if (at && (!after || common_prefix(in.rest(), *at) > common_prefix(in.rest(), *after)))
            guide_node = at;
        if (!guide_node) {
            if (!read_node_as(in, child, in_full)) return false;
            if (child.key) j = keys.find(*child.key);
            return true;
        }
        if (!read_node_as(in, child, Reading{guide_node, &index})) return false;
        if (!child.key) {
            paired(static_cast<std::size_t>(guide_node - old_list.data()));
            return true;
        }
        j = keys.find(*child.key);
        if (j == npos) return true;
        paired(j);
        // Found by key, its text may still repeat the old child's (a list reordered):
        // then the diff has nothing to compare, as if it had been shared when read.
        const Node& same = old_list[j];
        if (same.span_size == child.span_size && child.span_size != 0 &&
            std::memcmp(same.span_data, child.span_data, child.span_size) == 0) {
            const char* text = child.span_data;
            child = Node{};
            child.shared = &same;
            child.span_data = text;
            child.span_size = same.span_size;
        }
        return true;
    });
    if (ok) index.found(list, old_list, std::move(found));
    return ok;
}

// Reads one handler or binding in full, to check it, into memory given back when the
// read ends, and keeps only its text, and, if the reader wants it, whether writing the
// record gives that text back.
template <class T, class Read, class Write>
bool read_kept(json::Reader& r, Kept<T>& out, Read&& read, Write&& write) {
    r.peek_ws();
    const std::size_t begin = r.offset();
    const std::size_t noncanonical = r.noncanonical_count();
    bool canonical = false;
    {
        const ArenaRewind checked;
        T record;
        if (!read(r, record)) return false;
        if (r.wants_canonical()) {
            const std::string_view text = r.text().substr(begin, r.offset() - begin);
            json::Writer w(text.size());
            write(w, record);
            canonical = w.out == text;
        }
    }
    out.text = r.text().substr(begin, r.offset() - begin);
    out.record = nullptr;
    out.canonical = canonical;
    r.drop_noncanonical_since(noncanonical);
    if (!canonical) r.noncanonical();
    return true;
}


template <class T, class Read>
const T& record_from(const Kept<T>& k, T& storage, Read&& read) {
    if (k.record) return *k.record;
    json::Reader r(k.text);
    read(r, storage);
    return storage;
}

template <class T, class Write>
void write_kept(json::Writer& w, const Kept<T>& k, Write&& write) {
    if (!k.record && k.canonical) return w.raw(k.text);
    T storage;
    write(w, record_of(k, storage));
}

template <class T>
bool kept_equal(const Kept<T>& a, const Kept<T>& b) {
    if (!a.record && !b.record && a.text == b.text) return true;
    T sa, sb;
    return record_of(a, sa) == record_of(b, sb);
}

// A map the writer leaves out when empty: written empty, it is not canonical.
template <class M>
bool noted_if_empty(json::Reader& r, const M& map) {
    if (map.empty()) r.noncanonical();
    return true;
}

bool read_node_field(json::Reader& r, int i, Node& n, const Reading& how) {
    switch (i) {
        case field("tag"): return read_text(r, n.tag);
        case field("key"): return read_key(r, n.key);
        case field("props"): return drovane::read_value_map(r, n.props) && noted_if_empty(r, n.props);
        case field("slots"): {
            const Reading in_full{};
            const auto read_in_full = [&](json::Reader& in, Node& child) { return read_node_as(in, child, in_full); };
            if (how.old && !how.old->slots.empty())
                return read_entries(r, n.slots, [&](json::Reader& in, NodeList& slot, std::string_view name) {
                    const NodeList* old_slot = how.old->slots.find(name);
                    if (!old_slot || old_slot->empty()) return read_children(in, slot, read_in_full);
                    return read_slot_guided(in, slot, *old_slot, *how.keys);
                }) && noted_if_empty(r, n.slots);
            return read_entries(r, n.slots, [&](json::Reader& in, NodeList& slot) {
                return read_children(in, slot, read_in_full);
            }) && noted_if_empty(r, n.slots);
        }
        case field("events"):
            return read_entries(r, n.events, [&](json::Reader& in, Kept<action::Action>& k) {
                return read_kept(in, k, action::read_action, action::write_action);
            }) && noted_if_empty(r, n.events);
        case field("event_options"):
            return read_entries(r, n.event_options, read_event_options) && noted_if_empty(r, n.event_options);
        case field("bindings"):
            return read_entries(r, n.bindings, [&](json::Reader& in, Kept<Binding>& k) {
                return read_kept(in, k, read_binding, write_binding);
            }) && noted_if_empty(r, n.bindings);
    }
    return false;  // not reached: every field of kNode has its case
}

bool read_node_as(json::Reader& r, Node& out, const Reading& how) {
    r.peek_ws();
    const std::size_t begin = r.offset();
    const std::size_t noncanonical = r.noncanonical_count();
    const std::size_t outer = r.begin_canonical_scope();
    const bool read = json::read_record(
        r, kNode, [](std::string_view key) { return node_field_index(key); },
        [&](int i) { return read_node_field(r, i, out, how); });
    r.end_canonical_scope(outer);
    if (!read) return false;
    // Spans of 2 GiB and more are not kept: such a node is read in full when compared,
    // and written from its record.
    const std::size_t size = r.offset() - begin;
    if (size <= kMaxSpan) {
        out.span_data = r.text().data() + begin;
        out.span_size = static_cast<std::uint32_t>(size);
        out.canonical = r.wants_canonical() && r.noncanonical_count() == noncanonical;
    }
    return true;
}

std::optional<bool> EventOptions::*const kOptionMembers[] = {&EventOptions::capture, &EventOptions::once,
                                                             &EventOptions::passive};

void write_slot(json::Writer& w, const NodeList& list) { json::write_array(w, list, write_node); }

}  // namespace

bool read_node(json::Reader& r, Node& out) { return read_node_as(r, out, Reading{}); }

bool read_event_options(json::Reader& r, EventOptions& out) {
    return json::read_record(r, kEventOptions, [&](int i) { return read_opt_bool(r, out.*kOptionMembers[i]); });
}

bool read_event_options_nullable(json::Reader& r, std::optional<EventOptions>& out) {
    return json::read_nullable(r, out, read_event_options);
}

void write_node(json::Writer& w, const Node& shown) {
    const Node& n = view(shown);
    if (n.canonical) return w.raw(span(n));
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
        json::write_map(w, n.events, [](json::Writer& out, const Kept<action::Action>& k) {
            write_kept(out, k, action::write_action);
        });
    }
    if (!n.event_options.empty()) {
        w.raw(',');
        w.key("event_options");
        json::write_map(w, n.event_options, write_event_options);
    }
    if (!n.bindings.empty()) {
        w.raw(',');
        w.key("bindings");
        json::write_map(w, n.bindings,
                        [](json::Writer& out, const Kept<Binding>& k) { write_kept(out, k, write_binding); });
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

Result<Node> read_tree(std::string_view text, Use use) {
    Node n;
    json::Reader r(text);
    r.want_canonical(use == Use::Write);
    if (!read_node_as(r, n, Reading{}) || !r.end_of_text())
        return fail(r.error().text());
    return n;
}

Result<Node> read_tree_against(std::string_view text, const Node& old, KeyIndex& keys) {
    Node n;
    json::Reader r(text);
    if (r.peek_ws() == '{' || r.peek_ws() == '[') {
        if (!share(r, n, old) && !read_node_as(r, n, Reading{&old, &keys}))
            return fail(r.error().text());
    } else if (!read_node_as(r, n, Reading{})) {
        return fail(r.error().text());
    }
    if (!r.end_of_text()) return fail(r.error().text());
    return n;
}

const action::Action& record_of(const Kept<action::Action>& k, action::Action& storage) {
    return record_from(k, storage, action::read_action);
}
const Binding& record_of(const Kept<Binding>& k, Binding& storage) { return record_from(k, storage, read_binding); }

bool operator==(const Kept<action::Action>& a, const Kept<action::Action>& b) { return kept_equal(a, b); }
bool operator==(const Kept<Binding>& a, const Kept<Binding>& b) { return kept_equal(a, b); }

bool operator==(const EventOptions& a, const EventOptions& b) {
    return a.capture == b.capture && a.once == b.once && a.passive == b.passive;
}

bool operator==(const Node& x, const Node& y) {
    const Node& a = view(x);
    const Node& b = view(y);
    if (&a == &b) return true;
    return a.tag == b.tag && a.key == b.key && a.props == b.props && a.slots == b.slots && a.events == b.events &&
           a.event_options == b.event_options && a.bindings == b.bindings;
}

}  // namespace vorlan::node
