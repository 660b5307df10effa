#include "diff/diff.hpp"

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

#include "diff/keyed.hpp"

namespace vorlan::diff {
namespace {

struct Step {
    std::string_view slot;
    std::uint64_t index;
};

struct Differ {
    std::vector<Step> steps;
    Vector<Op>& ops;
    KeyIndex* keys;  // old lists already indexed by key, if any

    Path path() const {
        Path p;
        p.reserve(steps.size());
        for (const Step& s : steps) p.push_back(PathSeg{String(s.slot), s.index});
        return p;
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

    void event_options(const node::Node& o, node::Node& n) {
        auto oi = o.event_options.begin(), oe = o.event_options.end();
        auto ni = n.event_options.begin(), ne = n.event_options.end();
        while (oi != oe || ni != ne) {
            if (ni == ne || (oi != oe && oi->key < ni->key)) {
                ops.emplace_back(SetEventOptions{path(), String(oi->key), std::nullopt});
                ++oi;
            } else if (oi == oe || ni->key < oi->key) {
                ops.emplace_back(SetEventOptions{path(), String(ni->key), ni->value});
                ++ni;
            } else {
                if (!(oi->value == ni->value)) ops.emplace_back(SetEventOptions{path(), String(ni->key), ni->value});
                ++oi;
                ++ni;
            }
        }
    }

    void child(std::string_view slot, std::uint64_t index, const node::Node& o, node::Node& n) {
        steps.push_back(Step{slot, index});
        compare(o, n);
        steps.pop_back();
    }

    void positional(std::string_view s, const node::NodeList& O, node::NodeList& N) {
        std::size_t common = std::min(O.size(), N.size());
        for (std::size_t i = 0; i < common; ++i) child(s, i, O[i], N[i]);
        for (std::size_t i = O.size(); i < N.size(); ++i)
            ops.emplace_back(InsertChild{path(), String(s), i, std::move(N[i])});
        for (std::size_t i = O.size(); i-- > N.size();) ops.emplace_back(RemoveChild{path(), String(s), i});
    }

    // The keys of a list whose children all have one, in order; false if one has none.
    static bool keys_of(const node::NodeList& list, std::vector<std::string_view>& keys) {
        keys.reserve(list.size());
        for (const node::Node& c : list) {
            const node::Key& k = node::view(c).key;
            if (!k) return false;
            keys.emplace_back(*k);
        }
        return true;
    }

    void slot(std::string_view s, const node::NodeList& O, node::NodeList& N) {
        // An unkeyed list is told by its first child, before anything is allocated.
        const auto unkeyed = [](const node::NodeList& list) { return !list.empty() && !node::view(list[0]).key; };
        if ((O.empty() && N.empty()) || unkeyed(O) || unkeyed(N)) return positional(s, O, N);
        std::optional<ChildKeys> own;
        ChildKeys* old = keys ? keys->built(O) : nullptr;
        if (!old) old = &own.emplace(O);
        std::vector<std::string_view> new_keys;
        if (!old->all_keyed() || !keys_of(N, new_keys)) return positional(s, O, N);
        // Equal key sequences need no removal, move or insert: only the child diffs.
        if (old->keys() == new_keys) {
            for (std::size_t i = 0; i < O.size(); ++i) child(s, i, O[i], N[i]);
            return;
        }
        const KeyGroups& groups = old->groups();
        // A repeated old key would leave surplus old children behind the new list.
        if (groups.repeats()) return positional(s, O, N);

        std::size_t start = ops.size();
        std::vector<std::size_t> origin;
        keyed_passes(path(), s, groups, new_keys, ops, origin);
        for (std::size_t i = start; i < ops.size(); ++i)
            if (auto* ins = std::get_if<InsertChild>(&ops[i])) *ins->node = std::move(N[ins->index]);
        for (std::size_t t = 0; t < N.size(); ++t)
            if (origin[t] != npos) child(s, t, O[origin[t]], N[t]);
    }

    void compare(const node::Node& o, node::Node& n) {
        if (n.shared) {
            // A subtree the new text repeats: nothing to do where it repeats this very
            // node; compared with another, it is compared as an owned copy, since the
            // ops take their values from the new node.
            if (n.shared == &o) return;
            node::Node copy = *n.shared;
            return compare(o, copy);
        }
        if (o.tag != n.tag) return replace(n);
        if (n.tag == "vor-show" && !(o.slots == n.slots)) return replace(n);
        if (n.tag == "vor-each" && (!(o.slots == n.slots) || !(o.props == n.props))) return replace(n);

        if (o.key != n.key) ops.emplace_back(SetKey{path(), n.key ? std::optional<String>(*n.key) : std::nullopt});
        maps(
            o.props, n.props,
            [&](std::string_view name, const drovane::Value& v) { ops.emplace_back(SetProp{path(), String(name), v}); },
            [&](std::string_view name) { ops.emplace_back(RemoveProp{path(), String(name)}); });
        maps(
            o.events, n.events,
            [&](std::string_view name, const node::Kept<action::Action>& k) {
                action::Action read;
                const action::Action& a = node::record_of(k, read);
                ops.emplace_back(SetEvent{path(), String(name), &a == &read ? std::move(read) : a});
            },
            [&](std::string_view name) { ops.emplace_back(RemoveEvent{path(), String(name)}); });
        event_options(o, n);
        maps(
            o.bindings, n.bindings,
            [&](std::string_view name, const node::Kept<node::Binding>& k) {
                node::Binding read;
                const node::Binding& b = node::record_of(k, read);
                ops.emplace_back(SetBinding{path(), String(name), &b == &read ? std::move(read) : b});
            },
            [&](std::string_view name) { ops.emplace_back(RemoveBinding{path(), String(name)}); });

        const node::NodeList no_old;
        node::NodeList no_new;
        auto oi = o.slots.begin(), oe = o.slots.end();
        auto ni = n.slots.begin(), ne = n.slots.end();
        while (oi != oe || ni != ne) {
            if (ni == ne || (oi != oe && oi->key < ni->key)) {
                slot(oi->key, oi->value, no_new);
                ++oi;
            } else if (oi == oe || ni->key < oi->key) {
                slot(ni->key, no_old, ni->value);
                ++ni;
            } else {
                slot(ni->key, oi->value, ni->value);
                ++oi;
                ++ni;
            }
        }
    }

    void replace(node::Node& n) { ops.emplace_back(Replace{path(), std::move(n)}); }
};

}  // namespace

Path child_path(const Path& path, std::string_view slot, std::uint64_t index) {
    Path p;
    p.reserve(path.size() + 1);
    p = path;
    p.push_back(PathSeg{String(slot), index});
    return p;
}

void diff_node(const Path& path, const node::Node& old_node, node::Node& new_node, Vector<Op>& ops, KeyIndex* keys) {
    Differ d{{}, ops, keys};
    d.steps.reserve(path.size() + 16);
    for (const PathSeg& s : path) d.steps.push_back(Step{s.slot, s.index});
    d.compare(old_node, new_node);
}

}  // namespace vorlan::diff
