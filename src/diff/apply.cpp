#include "diff/apply.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vorlan::diff {
namespace {

std::size_t height(const node::Node& n) {
    std::size_t h = 0;
    for (const auto& entry : n.slots)
        for (const node::Node& c : entry.second) h = std::max(h, height(c));
    return h + 1;
}

std::string quoted(std::string_view s) {
    json::Writer w(s.size() + 2);
    w.string(s);
    return std::move(w.out);
}

std::string op_label(std::size_t at, const Op& op) {
    return "ops[" + std::to_string(at) + "] (" + std::string(op_name(op)) + "): ";
}

// what: "index 5", "from 5", ...; limit: "at or past the length 3" or "greater than the length 3".
Failure index_failure(std::size_t at, const Op& op, std::string_view what, std::uint64_t index,
                      std::string_view limit, std::size_t length, std::string_view slot, std::string_view tail = {}) {
    return fail(op_label(at, op) + std::string(what) + " " + std::to_string(index) + " is " + std::string(limit) +
                " the length " + std::to_string(length) + " of slot " + quoted(slot) + std::string(tail));
}

const Path& path_of(const Op& op) {
    return std::visit([](const auto& o) -> const Path& { return o.path; }, op);
}

const String* child_slot(const Op& op) {
    if (auto* o = std::get_if<InsertChild>(&op)) return &o->slot;
    if (auto* o = std::get_if<RemoveChild>(&op)) return &o->slot;
    if (auto* o = std::get_if<MoveChild>(&op)) return &o->slot;
    return nullptr;
}

std::optional<Failure> depth_failure(std::size_t at, const Op& op) {
    // Only InsertChild and Replace deepen the tree; the target sits at level |path| + 1.
    std::size_t depth = 0;
    if (auto* ins = std::get_if<InsertChild>(&op)) depth = ins->path.size() + 1 + height(*ins->node);
    else if (auto* rep = std::get_if<Replace>(&op)) depth = rep->path.size() + height(*rep->node);
    if (depth <= max_tree_depth) return std::nullopt;
    return fail(op_label(at, op) + "the tree would be " + std::to_string(depth) + " levels deep, deeper than the " +
                std::to_string(max_tree_depth) + " levels a tree may have");
}

std::optional<Failure> apply_op(node::Node& target, Op& op, std::size_t at) {
    if (auto failure = depth_failure(at, op)) return failure;
    switch (op.index()) {
        case 0: {
            auto& o = std::get<SetProp>(op);
            target.props.set(std::move(o.name), std::move(o.value));
            break;
        }
        case 1: target.props.erase(std::get<RemoveProp>(op).name); break;
        case 2: {
            auto& o = std::get<SetEvent>(op);
            target.events.set(std::move(o.name), std::move(*o.action));
            break;
        }
        case 3: target.events.erase(std::get<RemoveEvent>(op).name); break;
        case 4: {
            auto& o = std::get<SetEventOptions>(op);
            if (o.options) target.event_options.set(std::move(o.name), std::move(*o.options));
            else target.event_options.erase(o.name);
            break;
        }
        case 5: {
            auto& o = std::get<SetBinding>(op);
            target.bindings.set(std::move(o.name), std::move(*o.binding));
            break;
        }
        case 6: target.bindings.erase(std::get<RemoveBinding>(op).name); break;
        case 7: target.key = std::move(std::get<SetKey>(op).key); break;
        case 8: {
            auto& o = std::get<InsertChild>(op);
            Vector<node::Node>* list = target.slots.find(o.slot);
            if (!list) list = &target.slots.set(o.slot, {});
            if (o.index > list->size())
                return index_failure(at, op, "index", o.index, "greater than", list->size(), o.slot);
            list->insert(list->begin() + static_cast<std::ptrdiff_t>(o.index), std::move(*o.node));
            break;
        }
        case 9: {
            auto& o = std::get<RemoveChild>(op);
            Vector<node::Node>* list = target.slots.find(o.slot);
            if (!list) break;
            if (o.index >= list->size())
                return index_failure(at, op, "index", o.index, "at or past", list->size(), o.slot);
            list->erase(list->begin() + static_cast<std::ptrdiff_t>(o.index));
            if (list->empty()) target.slots.erase(o.slot);
            break;
        }
        case 10: {
            auto& o = std::get<MoveChild>(op);
            Vector<node::Node>* list = target.slots.find(o.slot);
            if (!list) break;
            if (o.from >= list->size())
                return index_failure(at, op, "from", o.from, "at or past", list->size(), o.slot);
            if (o.to >= list->size())
                return index_failure(at, op, "to", o.to, "greater than", list->size() - 1, o.slot,
                                     " without the moved child");
            auto b = list->begin();
            auto from = static_cast<std::ptrdiff_t>(o.from), to = static_cast<std::ptrdiff_t>(o.to);
            if (from < to) std::rotate(b + from, b + from + 1, b + to + 1);
            else if (to < from) std::rotate(b + to, b + from, b + from + 1);
            break;
        }
        default: target = std::move(*std::get<Replace>(op).node); break;
    }
    return std::nullopt;
}

// A run of at least this many child ops on one slot is applied through a Sequence.
constexpr std::size_t kRunLimit = 4;

// A list of items under positional insert and erase in O(log n): an implicit treap.
struct Sequence {
    static constexpr std::uint32_t kNil = static_cast<std::uint32_t>(-1);
    std::vector<std::uint32_t> left, right, count, priority;
    std::vector<std::size_t> item;
    std::uint32_t root = kNil;
    std::uint64_t seed = 0x9e3779b97f4a7c15u;

    std::uint32_t size() const { return root == kNil ? 0 : count[root]; }

    std::uint32_t make(std::size_t value) {
        seed ^= seed << 13;
        seed ^= seed >> 7;
        seed ^= seed << 17;
        left.push_back(kNil);
        right.push_back(kNil);
        count.push_back(1);
        priority.push_back(static_cast<std::uint32_t>(seed >> 32));
        item.push_back(value);
        return static_cast<std::uint32_t>(item.size() - 1);
    }
    std::uint32_t size_of(std::uint32_t t) const { return t == kNil ? 0 : count[t]; }
    void update(std::uint32_t t) { count[t] = 1 + size_of(left[t]) + size_of(right[t]); }

    // The first k items of t go to a, the rest to b.
    void split(std::uint32_t t, std::uint32_t k, std::uint32_t& a, std::uint32_t& b) {
        if (t == kNil) {
            a = b = kNil;
            return;
        }
        if (size_of(left[t]) < k) {
            split(right[t], k - size_of(left[t]) - 1, right[t], b);
            a = t;
        } else {
            split(left[t], k, a, left[t]);
            b = t;
        }
        update(t);
    }
    std::uint32_t merge(std::uint32_t a, std::uint32_t b) {
        if (a == kNil) return b;
        if (b == kNil) return a;
        if (priority[a] > priority[b]) {
            right[a] = merge(right[a], b);
            update(a);
            return a;
        }
        left[b] = merge(a, left[b]);
        update(b);
        return b;
    }

    explicit Sequence(std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) root = merge(root, make(i));
    }
    void insert(std::uint32_t at, std::uint32_t t) {
        std::uint32_t a, b;
        split(root, at, a, b);
        root = merge(merge(a, t), b);
    }
    std::uint32_t erase(std::uint32_t at) {
        std::uint32_t a, b, m;
        split(root, at, a, b);
        split(b, 1, m, b);
        root = merge(a, b);
        return m;
    }
    template <class F>
    void each(std::uint32_t t, F&& f) const {
        if (t == kNil) return;
        each(left[t], f);
        f(item[t]);
        each(right[t], f);
    }
};

// Applies ops[begin, end), child ops on one slot of target, with the same effects
// and failures as one by one: an item below the list's old length names an old
// child, any other the node of the InsertChild op at (item - old length).
std::optional<Failure> apply_run(node::Node& target, Vector<Op>& ops, std::size_t begin, std::size_t end) {
    const String& slot = *child_slot(ops[begin]);
    Vector<node::Node>* list = target.slots.find(slot);
    std::size_t old_size = list ? list->size() : 0;
    bool present = list != nullptr;
    Sequence seq(old_size);
    for (std::size_t at = begin; at < end; ++at) {
        Op& op = ops[at];
        std::uint32_t size = seq.size();
        if (auto* o = std::get_if<InsertChild>(&op)) {
            if (auto failure = depth_failure(at, op)) return failure;
            present = true;
            if (o->index > size) return index_failure(at, op, "index", o->index, "greater than", size, slot);
            seq.insert(static_cast<std::uint32_t>(o->index), seq.make(old_size + at));
        } else if (!present) {
            continue;
        } else if (auto* o = std::get_if<RemoveChild>(&op)) {
            if (o->index >= size) return index_failure(at, op, "index", o->index, "at or past", size, slot);
            seq.erase(static_cast<std::uint32_t>(o->index));
            present = seq.size() > 0;
        } else {
            auto& m = std::get<MoveChild>(op);
            if (m.from >= size) return index_failure(at, op, "from", m.from, "at or past", size, slot);
            if (m.to >= size)
                return index_failure(at, op, "to", m.to, "greater than", size - 1, slot, " without the moved child");
            seq.insert(static_cast<std::uint32_t>(m.to), seq.erase(static_cast<std::uint32_t>(m.from)));
        }
    }
    if (!present) {
        if (list) target.slots.erase(slot);
        return std::nullopt;
    }
    Vector<node::Node> result;
    result.reserve(seq.size());
    seq.each(seq.root, [&](std::size_t item) {
        if (item < old_size) result.push_back(std::move((*list)[item]));
        else result.push_back(std::move(*std::get<InsertChild>(ops[item - old_size]).node));
    });
    if (list) *list = std::move(result);
    else target.slots.set(slot, std::move(result));
    return std::nullopt;
}

}  // namespace

Result<std::monostate> apply_patch(node::Node& tree, Patch& patch) {
    Vector<Op>& ops = patch.ops;
    for (std::size_t at = 0; at < ops.size(); ++at) {
        const Path& path = path_of(ops[at]);
        node::Node* target = &tree;
        for (const PathSeg& seg : path) {
            Vector<node::Node>* list = target->slots.find(seg.slot);
            if (!list) return fail("path references an existing slot");
            if (seg.index >= list->size())
                return index_failure(at, ops[at], "path index", seg.index, "at or past", list->size(), seg.slot);
            target = &(*list)[seg.index];
        }
        // A run of child ops on one slot changes nothing on its path: apply it as a whole.
        if (const String* slot = child_slot(ops[at])) {
            std::size_t end = at + 1;
            while (end < ops.size() && child_slot(ops[end]) && *child_slot(ops[end]) == *slot &&
                   path_of(ops[end]) == path)
                ++end;
            if (end - at >= kRunLimit) {
                std::optional<Failure> failure = apply_run(*target, ops, at, end);
                if (failure) return std::move(*failure);
                at = end - 1;
                continue;
            }
        }
        std::optional<Failure> failure = apply_op(*target, ops[at], at);
        if (failure) return std::move(*failure);
    }
    return std::monostate{};
}

}  // namespace vorlan::diff
