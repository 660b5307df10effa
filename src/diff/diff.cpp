#include "diff/diff.hpp"

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

#include "diff/keyed.hpp"

namespace vorlan::diff {
namespace {

// Walks both trees and writes each op as it is found: nothing holds an op, and the
// ops of a node share its path's text, kept for the node being compared.
struct Differ {
    json::Writer& w;
    KeyIndex* keys;        // old lists already indexed by key, if any
    json::Writer path{0};  // between the brackets of the current node's path
    bool first = true;

    // Before each op: the comma between ops, and room for it. A patch can be many times
    // the size of its trees (each op carries its path), so past 1 MiB the text grows
    // fourfold instead of doubling: fewer of its pages are copied, and faulted in, again.
    std::string_view next() {
        constexpr std::size_t kLarge = std::size_t{1} << 20;
        if (w.out.size() > kLarge && w.out.capacity() - w.out.size() < kLarge) w.out.reserve(4 * w.out.capacity());
        if (!first) w.raw(',');
        first = false;
        return path.out;
    }

    // Two passes over a map pair: set what is new or changed, then remove what is gone.
    template <class M, class Set, class Remove>
    void maps(const M& o, const M& n, Set&& set, Remove&& remove) {
        auto oi = o.begin();
        for (const auto& entry : n) {
            const std::string_view name = entry.key;
            int c = 1;
            while (oi != o.end() && (c = oi->key.compare(name)) < 0) ++oi;
            if (oi == o.end() || c != 0 || !(oi->value == entry.value)) set(name, entry.value);
        }
        auto ni = n.begin();
        for (const auto& entry : o) {
            const std::string_view name = entry.key;
            int c = 1;
            while (ni != n.end() && (c = ni->key.compare(name)) < 0) ++ni;
            if (ni == n.end() || c != 0) remove(name);
        }
    }

    void event_options(const node::Node& o, const node::Node& n) {
        auto oi = o.event_options.begin(), oe = o.event_options.end();
        auto ni = n.event_options.begin(), ne = n.event_options.end();
        while (oi != oe || ni != ne) {
            if (ni == ne || (oi != oe && oi->key < ni->key)) {
                op_text::set_event_options(w, next(), oi->key, nullptr);
                ++oi;
            } else if (oi == oe || ni->key < oi->key) {
                op_text::set_event_options(w, next(), ni->key, &ni->value);
                ++ni;
            } else {
                if (!(oi->value == ni->value)) op_text::set_event_options(w, next(), ni->key, &ni->value);
                ++oi;
                ++ni;
            }
        }
    }

    void child(std::string_view slot, std::uint64_t index, const node::Node& o, const node::Node& n) {
        const std::size_t size = path.out.size();
        if (size) path.raw(',');
        write_path_seg(path, slot, index);
        compare(o, n);
        path.out.resize(size);
    }

    void positional(std::string_view s, const node::NodeList& O, const node::NodeList& N) {
        std::size_t common = std::min(O.size(), N.size());
        for (std::size_t i = 0; i < common; ++i) child(s, i, O[i], N[i]);
        for (std::size_t i = O.size(); i < N.size(); ++i) op_text::insert_child(w, next(), s, i, N[i]);
        for (std::size_t i = O.size(); i-- > N.size();) op_text::remove_child(w, next(), s, i);
    }

    // The keys of a list whose children all have one, in order; false if one has none.
    static bool keys_of(const node::NodeList& list, Vector<std::string_view>& keys) {
        keys.reserve(list.size());
        for (const node::Node& c : list) {
            const node::Key& k = node::view(c).key;
            if (!k) return false;
            keys.emplace_back(*k);
        }
        return true;
    }

    void slot(std::string_view s, const node::NodeList& O, const node::NodeList& N) {
        // An unkeyed list is told by its first child, before anything is allocated.
        const auto unkeyed = [](const node::NodeList& list) { return !list.empty() && !node::view(list[0]).key; };
        if ((O.empty() && N.empty()) || unkeyed(O) || unkeyed(N)) return positional(s, O, N);
        std::optional<ChildKeys> own;
        ChildKeys* old = keys ? keys->built(O) : nullptr;
        if (!old) old = &own.emplace(O);
        Vector<std::string_view> new_keys;
        if (!old->all_keyed() || !keys_of(N, new_keys)) return positional(s, O, N);
        // Equal key sequences need no removal, move or insert: only the child diffs.
        if (old->keys() == new_keys) {
            for (std::size_t i = 0; i < O.size(); ++i) child(s, i, O[i], N[i]);
            return;
        }
        const KeyGroups& groups = old->groups();
        // A repeated old key would leave surplus old children behind the new list.
        if (groups.repeats()) return positional(s, O, N);

        Vector<KeyedOp> placed;
        Vector<std::size_t> origin;
        keyed_passes(groups, new_keys, placed, origin, keys ? keys->found(N, O) : nullptr);
        for (const KeyedOp& op : placed) {
            switch (op.kind) {
                case KeyedOp::Kind::Remove: op_text::remove_child(w, next(), s, op.from); break;
                case KeyedOp::Kind::Move: op_text::move_child(w, next(), s, op.from, op.to); break;
                case KeyedOp::Kind::Insert: op_text::insert_child(w, next(), s, op.to, N[op.to]); break;
            }
        }
        for (std::size_t t = 0; t < N.size(); ++t)
            if (origin[t] != npos) child(s, t, O[origin[t]], N[t]);
    }

    void compare(const node::Node& o, const node::Node& n) {
        // A subtree the new text repeats: nothing to do where it repeats this very node.
        if (n.shared) {
            if (n.shared == &o) return;
            return compare(o, *n.shared);
        }
        if (o.tag != n.tag) return op_text::replace(w, next(), n);
        if (n.tag == "vor-show" && !(o.slots == n.slots)) return op_text::replace(w, next(), n);
        if (n.tag == "vor-each" && (!(o.slots == n.slots) || !(o.props == n.props)))
            return op_text::replace(w, next(), n);

        if (o.key != n.key)
            op_text::set_key(w, next(), n.key ? std::optional<std::string_view>(*n.key) : std::nullopt);
        maps(
            o.props, n.props,
            [&](std::string_view name, const drovane::Value& v) { op_text::set_prop(w, next(), name, v); },
            [&](std::string_view name) { op_text::remove_prop(w, next(), name); });
        maps(
            o.events, n.events,
            [&](std::string_view name, const node::Kept<action::Action>& k) {
                action::Action read;
                op_text::set_event(w, next(), name, node::record_of(k, read));
            },
            [&](std::string_view name) { op_text::remove_event(w, next(), name); });
        event_options(o, n);
        maps(
            o.bindings, n.bindings,
            [&](std::string_view name, const node::Kept<node::Binding>& k) {
                node::Binding read;
                op_text::set_binding(w, next(), name, node::record_of(k, read));
            },
            [&](std::string_view name) { op_text::remove_binding(w, next(), name); });

        const node::NodeList none;
        auto oi = o.slots.begin(), oe = o.slots.end();
        auto ni = n.slots.begin(), ne = n.slots.end();
        while (oi != oe || ni != ne) {
            if (ni == ne || (oi != oe && oi->key < ni->key)) {
                slot(oi->key, oi->value, none);
                ++oi;
            } else if (oi == oe || ni->key < oi->key) {
                slot(ni->key, none, ni->value);
                ++ni;
            } else {
                slot(ni->key, oi->value, ni->value);
                ++oi;
                ++ni;
            }
        }
    }
};

}  // namespace

Path child_path(const Path& path, std::string_view slot, std::uint64_t index) {
    Path p;
    p.reserve(path.size() + 1);
    p = path;
    p.push_back(PathSeg{String(slot), index});
    return p;
}

void diff_node(const node::Node& old_node, const node::Node& new_node, json::Writer& w, KeyIndex* keys) {
    Differ d{w, keys};
    w.raw("{\"ops\":[");
    d.compare(old_node, new_node);
    w.raw("]}");
}

}  // namespace vorlan::diff
