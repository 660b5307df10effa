#include "diff/apply.hpp"

#include <algorithm>
#include <concepts>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vorlan::diff {
namespace {

using Applied = Result<std::monostate>;

template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

template <class T>
concept ChildOp = std::same_as<T, InsertChild> || std::same_as<T, RemoveChild> || std::same_as<T, MoveChild>;

std::size_t height(const node::Node& n) {
    std::size_t h = 0;
    for (const auto& entry : n.slots)
        for (const node::Node& c : entry.value) h = std::max(h, height(c));
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
    return std::visit(
        []<class T>(const T& o) -> const String* {
            if constexpr (ChildOp<T>) return &o.slot;
            else return nullptr;
        },
        op);
}

// Only InsertChild and Replace deepen the tree; depth is the level of the deepest node they place.
Applied check_depth(std::size_t at, const Op& op, std::size_t depth) {
    if (depth <= max_tree_depth) return std::monostate{};
    return fail(op_label(at, op) + "the tree would be " + std::to_string(depth) + " levels deep, deeper than the " +
                std::to_string(max_tree_depth) + " levels a tree may have");
}

// The child ops, over one slot list of their target: a SlotList (the list itself,
// op by op) or a SequenceSlot (the positions of a batched run). Both ways share
// these checks and messages.
template <class Slot>
Applied apply_child(Slot& slot, InsertChild& o, const Op& op, std::size_t at) {
    // The target sits at level |path| + 1.
    if (Applied depth = check_depth(at, op, o.path.size() + 1 + height(*o.node)); !depth.ok()) return depth;
    slot.create();
    if (o.index > slot.size()) return index_failure(at, op, "index", o.index, "greater than", slot.size(), o.slot);
    slot.insert(o.index, o, at);
    return std::monostate{};
}

template <class Slot>
Applied apply_child(Slot& slot, const RemoveChild& o, const Op& op, std::size_t at) {
    if (!slot.present()) return std::monostate{};
    if (o.index >= slot.size()) return index_failure(at, op, "index", o.index, "at or past", slot.size(), o.slot);
    slot.erase(o.index);
    return std::monostate{};
}

template <class Slot>
Applied apply_child(Slot& slot, const MoveChild& o, const Op& op, std::size_t at) {
    if (!slot.present()) return std::monostate{};
    if (o.from >= slot.size()) return index_failure(at, op, "from", o.from, "at or past", slot.size(), o.slot);
    if (o.to >= slot.size())
        return index_failure(at, op, "to", o.to, "greater than", slot.size() - 1, o.slot, " without the moved child");
    slot.move(o.from, o.to);
    return std::monostate{};
}

class SlotList {
public:
    SlotList(node::Node& target, const String& name) : target_(target), name_(name), list_(target.slots.find(name)) {}

    bool present() const { return list_ != nullptr; }
    std::size_t size() const { return list_->size(); }
    void create() {
        if (!list_) list_ = &target_.slots.set(name_, {});
    }
    void insert(std::uint64_t index, InsertChild& o, std::size_t) {
        list_->insert(static_cast<std::size_t>(index), std::move(*o.node));
    }
    void erase(std::uint64_t index) {
        list_->erase(static_cast<std::size_t>(index));
        if (list_->empty()) {
            target_.slots.erase(name_);
            list_ = nullptr;
        }
    }
    void move(std::uint64_t from_index, std::uint64_t to_index) {
        auto b = list_->begin();
        auto from = static_cast<std::ptrdiff_t>(from_index), to = static_cast<std::ptrdiff_t>(to_index);
        if (from < to) std::rotate(b + from, b + from + 1, b + to + 1);
        else if (to < from) std::rotate(b + to, b + from, b + from + 1);
    }

private:
    node::Node& target_;
    const String& name_;
    node::NodeList* list_;  // null while the target has no such slot
};

Applied apply_op(node::Node& target, Op& op, std::size_t at) {
    return std::visit(
        Overloaded{
            [&](SetProp& o) -> Applied {
                target.props.set(o.name, o.value);
                return std::monostate{};
            },
            [&](RemoveProp& o) -> Applied {
                target.props.erase(o.name);
                return std::monostate{};
            },
            [&](SetEvent& o) -> Applied {
                // The op lives to the end of the operation, so the tree may point into it.
                target.events.set(o.name, node::Kept<action::Action>{{}, &*o.action});
                return std::monostate{};
            },
            [&](RemoveEvent& o) -> Applied {
                target.events.erase(o.name);
                return std::monostate{};
            },
            [&](SetEventOptions& o) -> Applied {
                if (o.options) target.event_options.set(o.name, *o.options);
                else target.event_options.erase(o.name);
                return std::monostate{};
            },
            [&](SetBinding& o) -> Applied {
                target.bindings.set(o.name, node::Kept<node::Binding>{{}, &*o.binding});
                return std::monostate{};
            },
            [&](RemoveBinding& o) -> Applied {
                target.bindings.erase(o.name);
                return std::monostate{};
            },
            [&](SetKey& o) -> Applied {
                target.key = o.key ? node::Key(arena_text(*o.key)) : node::Key();
                return std::monostate{};
            },
            [&]<ChildOp T>(T& o) -> Applied {
                SlotList slot(target, o.slot);
                return apply_child(slot, o, op, at);
            },
            [&](Replace& o) -> Applied {
                if (Applied depth = check_depth(at, op, o.path.size() + height(*o.node)); !depth.ok()) return depth;
                target = std::move(*o.node);
                return std::monostate{};
            },
        },
        op);
}

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

// A slot list under a batched run: its positions in a Sequence, an item below the
// list's old length naming an old child and any other the node of the InsertChild
// op at (item - old length). The nodes are placed once, when the run is over.
class SequenceSlot {
public:
    SequenceSlot(std::size_t old_size, bool present) : seq(old_size), old_size_(old_size), present_(present) {}

    bool present() const { return present_; }
    std::size_t size() const { return seq.size(); }
    void create() { present_ = true; }
    void insert(std::uint64_t index, InsertChild&, std::size_t at) {
        seq.insert(static_cast<std::uint32_t>(index), seq.make(old_size_ + at));
    }
    void erase(std::uint64_t index) {
        seq.erase(static_cast<std::uint32_t>(index));
        present_ = seq.size() > 0;
    }
    void move(std::uint64_t from, std::uint64_t to) {
        seq.insert(static_cast<std::uint32_t>(to), seq.erase(static_cast<std::uint32_t>(from)));
    }

    Sequence seq;

private:
    std::size_t old_size_;
    bool present_;
};

// Applies ops[begin, end), child ops on one slot of target, with the same effects
// and failures as one by one.
Applied apply_run(node::Node& target, Vector<Op>& ops, std::size_t begin, std::size_t end) {
    const String& name = *child_slot(ops[begin]);
    node::NodeList* list = target.slots.find(name);
    std::size_t old_size = list ? list->size() : 0;
    SequenceSlot slot(old_size, list != nullptr);
    for (std::size_t at = begin; at < end; ++at) {
        Op& op = ops[at];
        Applied applied = std::visit(
            [&]<class T>(T& o) -> Applied {
                if constexpr (ChildOp<T>) return apply_child(slot, o, op, at);
                else return std::monostate{};  // a run holds child ops only
            },
            op);
        if (!applied.ok()) return applied;
    }
    if (!slot.present()) {
        if (list) target.slots.erase(name);
        return std::monostate{};
    }
    node::NodeList result;
    result.reserve(slot.size());
    slot.seq.each(slot.seq.root, [&](std::size_t item) {
        if (item < old_size) result.push_back(std::move((*list)[item]));
        else result.push_back(std::move(*std::get<InsertChild>(ops[item - old_size]).node));
    });
    if (list) *list = std::move(result);
    else target.slots.set(name, std::move(result));
    return std::monostate{};
}

}  // namespace

Result<std::monostate> apply_patch(node::Node& tree, Patch& patch, std::size_t run_limit) {
    Vector<Op>& ops = patch.ops;
    for (std::size_t at = 0; at < ops.size(); ++at) {
        const Path& path = path_of(ops[at]);
        node::Node* target = &tree;
        for (const PathSeg& seg : path) {
            node::NodeList* list = target->slots.find(seg.slot);
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
            if (end - at >= run_limit) {
                if (Applied applied = apply_run(*target, ops, at, end); !applied.ok()) return applied;
                at = end - 1;
                continue;
            }
        }
        if (Applied applied = apply_op(*target, ops[at], at); !applied.ok()) return applied;
    }
    return std::monostate{};
}

}  // namespace vorlan::diff
