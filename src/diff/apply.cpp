#include "diff/apply.hpp"

#include <algorithm>
#include <cmath>
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

// A list of items under positional insert and erase: runs of consecutive items in
// blocks of about sqrt(n), found by a walk over the block lengths. Each step moves
// at most two blocks' worth of small items, which for the lengths lists have costs
// less than a balanced tree's pointer chasing at any of them.
class Sequence {
public:
    // The items 0 .. n-1 in order; `changes` is how many inserts may follow.
    Sequence(std::size_t n, std::size_t changes)
        : block_(std::max<std::size_t>(kMinBlock, static_cast<std::size_t>(std::sqrt(double(n + changes))))) {
        for (std::size_t i = 0; i < n; i += block_) {
            std::vector<std::size_t>& b = blocks_.emplace_back();
            for (std::size_t j = i; j < std::min(n, i + block_); ++j) b.push_back(j);
        }
        size_ = n;
    }

    std::size_t size() const { return size_; }

    void insert(std::size_t at, std::size_t item) {
        if (blocks_.empty()) blocks_.emplace_back();
        auto [b, i] = locate(at, true);
        std::vector<std::size_t>& block = blocks_[b];
        block.insert(block.begin() + static_cast<std::ptrdiff_t>(i), item);
        ++size_;
        if (block.size() > 2 * block_) {
            // Splits a block grown twice too long in halves.
            std::vector<std::size_t> tail(block.begin() + static_cast<std::ptrdiff_t>(block_), block.end());
            block.resize(block_);
            blocks_.insert(blocks_.begin() + static_cast<std::ptrdiff_t>(b + 1), std::move(tail));
        }
    }

    std::size_t erase(std::size_t at) {
        auto [b, i] = locate(at, false);
        std::vector<std::size_t>& block = blocks_[b];
        const std::size_t item = block[i];
        block.erase(block.begin() + static_cast<std::ptrdiff_t>(i));
        --size_;
        if (block.empty()) blocks_.erase(blocks_.begin() + static_cast<std::ptrdiff_t>(b));
        return item;
    }

    template <class F>
    void each(F&& f) const {
        for (const std::vector<std::size_t>& b : blocks_)
            for (std::size_t item : b) f(item);
    }

private:
    static constexpr std::size_t kMinBlock = 64;

    // The block and the place in it of position at; an insert at the end goes to the last block.
    std::pair<std::size_t, std::size_t> locate(std::size_t at, bool inserting) const {
        std::size_t b = 0;
        while (b + 1 < blocks_.size() && (at > blocks_[b].size() || (!inserting && at == blocks_[b].size()))) {
            at -= blocks_[b].size();
            ++b;
        }
        return {b, at};
    }

    std::size_t block_;
    std::size_t size_ = 0;
    std::vector<std::vector<std::size_t>> blocks_;
};

// A slot list under a batched run: its positions in a Sequence, an item below the
// list's old length naming an old child and any other the node of the InsertChild
// op at (item - old length). The nodes are placed once, when the run is over.
class SequenceSlot {
public:
    SequenceSlot(std::size_t old_size, bool present, std::size_t changes)
        : seq(old_size, changes), old_size_(old_size), present_(present) {}

    bool present() const { return present_; }
    std::size_t size() const { return seq.size(); }
    void create() { present_ = true; }
    void insert(std::uint64_t index, InsertChild&, std::size_t at) { seq.insert(index, old_size_ + at); }
    void erase(std::uint64_t index) {
        seq.erase(index);
        present_ = seq.size() > 0;
    }
    void move(std::uint64_t from, std::uint64_t to) { seq.insert(to, seq.erase(from)); }

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
    SequenceSlot slot(old_size, list != nullptr, end - begin);
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
    slot.seq.each([&](std::size_t item) {
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
        // The op changes its target, and so the text of every node on the way there.
        node::Node* target = &tree;
        target->canonical = false;
        for (const PathSeg& seg : path) {
            node::NodeList* list = target->slots.find(seg.slot);
            if (!list) return fail("path references an existing slot");
            if (seg.index >= list->size())
                return index_failure(at, ops[at], "path index", seg.index, "at or past", list->size(), seg.slot);
            target = &(*list)[seg.index];
            target->canonical = false;
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
