#include "diff/apply.hpp"

#include <algorithm>
#include <concepts>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "json/key_order.hpp"

namespace vorlan::diff {
namespace {

using Applied = Result<std::monostate>;
using node::Node;
using node::NodeList;

template <class T>
concept ChildOp = std::same_as<T, InsertChild> || std::same_as<T, RemoveChild> || std::same_as<T, MoveChild>;

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

// ---- how deep the tree text nests where an op places something ----

// The levels the brackets of a JSON text the module wrote open (so no whitespace, and
// a backslash in a string always escapes the byte after it).
std::size_t text_depth(std::string_view text) {
    const char* p = text.data();
    const std::size_t n = text.size();
    std::size_t depth = 0, deepest = 0;
    for (std::size_t i = 0; i < n; ++i) {
        switch (p[i]) {
            case '"':
                i = json::detail::scan_to_stop(p, i + 1, n);
                while (i < n && p[i] != '"') i = json::detail::scan_to_stop(p, i + (p[i] == '\\' ? 2 : 1), n);
                break;
            case '{':
            case '[': deepest = std::max(deepest, ++depth); break;
            case '}':
            case ']': --depth; break;
            default: break;
        }
    }
    return deepest;
}

// The levels a value's text opens: "Null" none, {"Int":1} one, {"List":[...]} two and its items'.
std::size_t value_depth(const drovane::Value& v) {
    std::size_t inner = 0;
    switch (v.kind()) {
        case drovane::Value::Kind::Null: return 0;
        case drovane::Value::Kind::List:
            for (const drovane::Value& item : v.items()) inner = std::max(inner, value_depth(item));
            return 2 + inner;
        case drovane::Value::Kind::Map:
            for (const drovane::MapEntry& e : v.entries()) inner = std::max(inner, value_depth(e.value));
            return 2 + inner;
        default: return 1;
    }
}

// Handlers and bindings are written as their text when it is canonical, else from the
// record, whose text is measured in scratch.
template <class T, class Write>
std::size_t record_depth(const T& record, json::Writer& scratch, Write&& write) {
    scratch.out.clear();
    write(scratch, record);
    return text_depth(scratch.out);
}

template <class T, class Write>
std::size_t kept_depth(const node::Kept<T>& k, json::Writer& scratch, Write&& write) {
    if (!k.record && k.canonical) return text_depth(k.text);
    T storage;
    return record_depth(node::record_of(k, storage), scratch, write);
}

// The levels write_node opens for n: its object, and below it each map it writes.
std::size_t node_depth(const Node& n, json::Writer& scratch) {
    std::size_t below = 0;
    const auto map_of = [&](std::size_t deepest_member) { below = std::max(below, 1 + deepest_member); };
    std::size_t deepest = 0;
    if (!n.props.empty()) {
        for (const auto& e : n.props) deepest = std::max(deepest, value_depth(e.value));
        map_of(deepest);
    }
    if (!n.slots.empty()) {
        deepest = 1;  // the slot's array
        for (const auto& e : n.slots)
            for (const Node& child : e.value) deepest = std::max(deepest, 1 + node_depth(child, scratch));
        map_of(deepest);
    }
    if (!n.events.empty()) {
        deepest = 0;
        for (const auto& e : n.events) deepest = std::max(deepest, kept_depth(e.value, scratch, action::write_action));
        map_of(deepest);
    }
    if (!n.event_options.empty()) map_of(1);
    if (!n.bindings.empty()) {
        deepest = 0;
        for (const auto& e : n.bindings) deepest = std::max(deepest, kept_depth(e.value, scratch, node::write_binding));
        map_of(deepest);
    }
    return 1 + below;
}

// Whatever apply returns must read again as a tree: no level past the reader's last.
constexpr std::size_t kDeepestLevel = json::kDepthLimit - 1;

// The level of the object of the node an op's path leads to: the root's is 1, and each
// step adds its parent's slots object, the slot's array and its own object.
std::size_t target_level(const Op& op) { return 3 * path_of(op).size() + 1; }

Applied check_level(std::size_t at, const Op& op, std::size_t level) {
    if (level <= kDeepestLevel) return std::monostate{};
    return fail(op_label(at, op) + "the tree would nest " + std::to_string(level) + " levels deep, deeper than the " +
                std::to_string(kDeepestLevel) + " levels a tree text may nest");
}

// ---- a long slot list under edits: positions as a counted B+ tree ----

// The children of one slot by position under inserts, erases and moves anywhere, each in
// O(log n): pointers to the nodes, which stay where they are until the list is settled.
// Blocks are never merged; a block emptied by erases stays, costing only its scan.
class Sequence {
public:
    Sequence() = default;
    // The nodes of list, in order.
    explicit Sequence(NodeList& list) {
        Vector<Block*> level;
        for (std::size_t i = 0; i < list.size(); i += kFill) {
            Block* b = block(true);
            for (std::size_t j = i; j < std::min(list.size(), i + kFill); ++j) b->slot[b->used++] = &list[j];
            level.push_back(b);
        }
        size_ = list.size();
        while (level.size() > 1) {
            Vector<Block*> up;
            for (std::size_t i = 0; i < level.size(); i += kFill) {
                Block* b = block(false);
                for (std::size_t j = i; j < std::min(level.size(), i + kFill); ++j) {
                    b->count[b->used] = total(level[j]);
                    b->slot[b->used++] = level[j];
                }
                up.push_back(b);
            }
            level = std::move(up);
        }
        root_ = level.empty() ? nullptr : level[0];
    }

    std::size_t size() const { return size_; }

    Node* at(std::size_t i) const {
        const Block* b = root_;
        while (!b->leaf) {
            std::uint32_t c = 0;
            for (; i >= b->count[c]; ++c) i -= b->count[c];
            b = static_cast<const Block*>(b->slot[c]);
        }
        return static_cast<Node*>(b->slot[i]);
    }

    void insert(std::size_t i, Node* n) {
        if (!root_) root_ = block(true);
        if (Block* right = insert_into(root_, i, n)) {
            Block* top = block(false);
            top->slot[0] = root_;
            top->count[0] = total(root_);
            top->slot[1] = right;
            top->count[1] = total(right);
            top->used = 2;
            root_ = top;
        }
        ++size_;
    }

    Node* erase(std::size_t i) {
        Block* b = root_;
        while (!b->leaf) {
            std::uint32_t c = 0;
            for (; i >= b->count[c]; ++c) i -= b->count[c];
            --b->count[c];
            b = static_cast<Block*>(b->slot[c]);
        }
        Node* n = static_cast<Node*>(b->slot[i]);
        std::copy(b->slot + i + 1, b->slot + b->used, b->slot + i);
        --b->used;
        --size_;
        return n;
    }

    template <class F>
    void each(F&& f) const {
        if (root_) each_in(root_, f);
    }

private:
    static constexpr std::uint32_t kWidth = 64;
    static constexpr std::uint32_t kFill = 48;  // built blocks leave room, so the first inserts do not split

    struct Block {
        std::uint32_t used = 0;
        bool leaf;
        std::size_t count[kWidth];  // inner blocks: the nodes below each child
        void* slot[kWidth];         // a leaf's nodes, an inner block's children
    };

    static Block* block(bool leaf) {
        Block* b = ArenaAllocator<Block>().allocate(1);
        b->used = 0;
        b->leaf = leaf;
        return b;
    }
    static std::size_t total(const Block* b) {
        if (b->leaf) return b->used;
        std::size_t n = 0;
        for (std::uint32_t c = 0; c < b->used; ++c) n += b->count[c];
        return n;
    }

    // Puts item (with its count, for an inner block) at place i of b, first splitting a
    // full b in halves: returns the new right half, or nullptr.
    static Block* place(Block* b, std::uint32_t i, void* item, std::size_t count) {
        Block* right = nullptr;
        Block* into = b;
        if (b->used == kWidth) {
            right = block(b->leaf);
            constexpr std::uint32_t half = kWidth / 2;
            std::copy(b->slot + half, b->slot + kWidth, right->slot);
            if (!b->leaf) std::copy(b->count + half, b->count + kWidth, right->count);
            right->used = kWidth - half;
            b->used = half;
            if (i > half) {
                into = right;
                i -= half;
            }
        }
        std::copy_backward(into->slot + i, into->slot + into->used, into->slot + into->used + 1);
        into->slot[i] = item;
        if (!into->leaf) {
            std::copy_backward(into->count + i, into->count + into->used, into->count + into->used + 1);
            into->count[i] = count;
        }
        ++into->used;
        return right;
    }

    static Block* insert_into(Block* b, std::size_t i, Node* n) {
        if (b->leaf) return place(b, static_cast<std::uint32_t>(i), n, 0);
        std::uint32_t c = 0;
        for (; c + 1 < b->used && i > b->count[c]; ++c) i -= b->count[c];
        Block* child = static_cast<Block*>(b->slot[c]);
        Block* right = insert_into(child, i, n);
        if (!right) {
            ++b->count[c];
            return nullptr;
        }
        b->count[c] = total(child);
        return place(b, c + 1, right, total(right));
    }

    template <class F>
    static void each_in(const Block* b, F& f) {
        for (std::uint32_t c = 0; c < b->used; ++c) {
            if (b->leaf) f(static_cast<Node*>(b->slot[c]));
            else each_in(static_cast<const Block*>(b->slot[c]), f);
        }
    }

    Block* root_ = nullptr;
    std::size_t size_ = 0;
};

// ---- edits kept aside until the ops are done ----

// A set (or, erased, a removal) of one key of a map too long to change in place op by op.
template <class V>
struct Edit {
    std::string_view key;
    V value;
    bool erased;
};
template <class V>
using EditLog = Vector<Edit<V>>;

// A slot whose list, or whose node's map of slots, is too long to change in place.
struct SlotEdit {
    bool present = false;
    Sequence seq;
};
using SlotEdits =
    std::map<std::string_view, SlotEdit, std::less<>, ArenaAllocator<std::pair<const std::string_view, SlotEdit>>>;

struct NodeEdits {
    EditLog<drovane::Value> props;
    EditLog<node::Kept<action::Action>> events;
    EditLog<node::EventOptions> event_options;
    EditLog<node::Kept<node::Binding>> bindings;
    SlotEdits slots;
};

// The map with its logged edits in op order: sorted once, the last edit of each key
// winning, and merged with what the map held.
template <class V>
void settle_map(Entries<V>& map, EditLog<V>& log) {
    if (log.empty()) return;
    Vector<Entry<V>> out;
    out.reserve(map.size() + log.size());
    const Entry<V>* base = map.begin();
    const Entry<V>* end = map.end();
    json::sort_keys(log.begin(), log.end(), [](const Edit<V>& e) { return e.key; }, [&](Edit<V>& e, bool kept) {
        if (!kept) return;
        while (base != end && base->key < e.key) out.push_back(*base++);
        if (base != end && base->key == e.key) ++base;
        if (!e.erased) out.push_back(Entry<V>{e.key, std::move(e.value)});
    });
    out.insert(out.end(), base, end);
    map = Entries<V>::taken(out.data(), out.size());
}

void settle_slots(Node& n, SlotEdits& edits) {
    if (edits.empty()) return;
    Vector<Entry<NodeList>> out;
    out.reserve(n.slots.size() + edits.size());
    Entry<NodeList>* base = n.slots.begin();
    Entry<NodeList>* end = n.slots.end();
    for (auto& [name, e] : edits) {
        while (base != end && base->key < name) out.push_back(std::move(*base++));
        if (base != end && base->key == name) ++base;
        if (!e.present) continue;
        NodeList list;
        list.reserve(e.seq.size());
        e.seq.each([&](Node* child) { list.push_back(std::move(*child)); });
        out.push_back(Entry<NodeList>{name, std::move(list)});
    }
    while (base != end) out.push_back(std::move(*base++));
    n.slots = Entries<NodeList>::taken(out.data(), out.size());
}

// ---- one slot of the target, as the child ops see it ----

// A slot changed in place: short lists of a node with few slots.
class DirectSlot {
public:
    DirectSlot(Node& target, std::string_view name, NodeList* list) : target_(target), name_(name), list_(list) {}

    bool present() const { return list_ != nullptr; }
    std::size_t size() const { return list_->size(); }
    void create() {
        if (!list_) list_ = &target_.slots.set(name_, {});
    }
    void insert(std::uint64_t index, InsertChild& o) { list_->insert(static_cast<std::size_t>(index), std::move(*o.node)); }
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
    Node& target_;
    std::string_view name_;
    NodeList* list_;  // null while the target has no such slot
};

// A slot whose changes wait in its SlotEdit; an inserted node stays in its op until then.
class PendingSlot {
public:
    explicit PendingSlot(SlotEdit& e) : e_(e) {}

    bool present() const { return e_.present; }
    std::size_t size() const { return e_.seq.size(); }
    void create() { e_.present = true; }
    void insert(std::uint64_t index, InsertChild& o) { e_.seq.insert(static_cast<std::size_t>(index), &*o.node); }
    void erase(std::uint64_t index) {
        e_.seq.erase(static_cast<std::size_t>(index));
        e_.present = e_.seq.size() > 0;
    }
    void move(std::uint64_t from, std::uint64_t to) {
        e_.seq.insert(static_cast<std::size_t>(to), e_.seq.erase(static_cast<std::size_t>(from)));
    }

private:
    SlotEdit& e_;
};

// Both kinds of slot share these checks and messages.
template <class Slot>
Applied apply_child(Slot& slot, InsertChild& o, const Op& op, std::size_t at) {
    slot.create();
    if (o.index > slot.size()) return index_failure(at, op, "index", o.index, "greater than", slot.size(), o.slot);
    slot.insert(o.index, o);
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

// ---- the op loop ----

class Applier {
public:
    explicit Applier(const ApplyLimits& limits) : limits_(limits) {}
    Applier(const Applier&) = delete;
    Applier& operator=(const Applier&) = delete;
    ~Applier() {
        for (NodeEdits* e : edits_) e->~NodeEdits();
    }

    Applied run(Node& tree, Vector<Op>& ops) {
        for (std::size_t at = 0; at < ops.size(); ++at) {
            Op& op = ops[at];
            // The op changes its target, and so the text of every node on the way there.
            // Marked too: should the op leave edits waiting, settle() finds them down its way.
            Node* target = &tree;
            target->canonical = false;
            target->pending_below = true;
            for (const PathSeg& seg : path_of(op)) {
                const SlotView slot = view_slot(*target, seg.slot);
                if (!slot.present()) return fail("path references an existing slot");
                if (seg.index >= slot.size())
                    return index_failure(at, op, "path index", seg.index, "at or past", slot.size(), seg.slot);
                target = slot.child(static_cast<std::size_t>(seg.index));
                target->canonical = false;
                target->pending_below = true;
            }
            if (Applied applied = apply_op(*target, op, at); !applied.ok()) return applied;
        }
        if (!edits_.empty() && tree.pending_below) settle(tree);
        return std::monostate{};
    }

private:
    struct SlotView {
        SlotEdit* pending;
        NodeList* list;
        bool present() const { return pending ? pending->present : list != nullptr; }
        std::size_t size() const { return pending ? pending->seq.size() : list->size(); }
        Node* child(std::size_t i) const { return pending ? pending->seq.at(i) : &(*list)[i]; }
    };

    NodeEdits* edits_of(const Node& n) { return n.pending ? edits_[n.pending - 1] : nullptr; }
    NodeEdits& edits_for(Node& n) {
        if (!n.pending) {
            if (edits_.size() >= kMaxEdits) out_of_memory();
            edits_.push_back(::new (ArenaAllocator<NodeEdits>().allocate(1)) NodeEdits);
            n.pending = static_cast<std::uint32_t>(edits_.size());
        }
        return *edits_[n.pending - 1];
    }

    [[gnu::always_inline]] SlotView view_slot(Node& n, std::string_view name) {
        if (NodeEdits* e = edits_of(n); e && !e->slots.empty()) {
            // Ops mostly follow one another down the same long list.
            if (e != last_edits_ || !json::same(name, last_name_)) {
                auto it = e->slots.find(name);
                if (it == e->slots.end()) return {nullptr, n.slots.find(name)};
                last_edits_ = e;
                last_name_ = it->first;
                last_slot_ = &it->second;
            }
            return {last_slot_, nullptr};
        }
        return {nullptr, n.slots.find(name)};
    }

    // Sets key to value (nullptr: removes it) in one of target's maps: in place while the
    // map is short and has no edits waiting, else logged for when the ops are done.
    template <class V>
    void change(Node& target, Entries<V> Node::*map, EditLog<V> NodeEdits::*log, std::string_view key,
                const V* value) {
        NodeEdits* e = edits_of(target);
        Entries<V>& m = target.*map;
        if ((!e || (e->*log).empty()) && m.size() < limits_.direct) {
            if (value) m.set(key, *value);
            else m.erase(key);
            return;
        }
        (edits_for(target).*log).push_back(Edit<V>{arena_text(key), value ? *value : V{}, !value});
    }

    template <ChildOp T>
    Applied child_op(Node& target, T& o, const Op& op, std::size_t at) {
        SlotView view = view_slot(target, o.slot);
        if (!view.pending) {
            // A removal or move on a slot the target lacks changes nothing, wherever it is.
            const bool idle = !view.list && !std::same_as<T, InsertChild>;
            if (idle || ((view.list ? view.list->size() : 0) < limits_.direct && target.slots.size() < limits_.direct)) {
                DirectSlot slot(target, o.slot, view.list);
                return apply_child(slot, o, op, at);
            }
            SlotEdit& e = edits_for(target).slots[arena_text(o.slot)];
            e.present = view.list != nullptr;
            if (view.list) e.seq = Sequence(*view.list);
            view.pending = &e;
        }
        PendingSlot slot(*view.pending);
        return apply_child(slot, o, op, at);
    }

    // The check of an op that places something; level() gives the deepest level it reaches.
    template <class Level>
    Applied placed(std::size_t at, const Op& op, Level&& level) {
        return limits_.check_depth ? check_level(at, op, level()) : Applied(std::monostate{});
    }

    // SetEvent and SetBinding: the record is written as the op holds it, which lives to the
    // end of the operation, so the tree may point into it.
    template <class T, class Write>
    Applied set_kept(Node& target, Entries<node::Kept<T>> Node::*map, EditLog<node::Kept<T>> NodeEdits::*log,
                     std::string_view name, const T& record, Write&& write, std::size_t at, const Op& op,
                     std::size_t level) {
        if (Applied a = placed(at, op, [&] { return level + 1 + record_depth(record, scratch_, write); }); !a.ok())
            return a;
        const node::Kept<T> kept{{}, &record};
        change(target, map, log, name, &kept);
        return std::monostate{};
    }

    Applied apply_op(Node& target, Op& op, std::size_t at) {
        // Levels of the target's object and of its maps.
        const std::size_t level = target_level(op);
        return std::visit(
            Overloaded{
                [&](SetProp& o) -> Applied {
                    if (Applied a = placed(at, op, [&] { return level + 1 + value_depth(o.value); }); !a.ok())
                        return a;
                    change(target, &Node::props, &NodeEdits::props, o.name, &o.value);
                    return std::monostate{};
                },
                [&](RemoveProp& o) -> Applied {
                    change<drovane::Value>(target, &Node::props, &NodeEdits::props, o.name, nullptr);
                    return std::monostate{};
                },
                [&](SetEvent& o) -> Applied {
                    return set_kept(target, &Node::events, &NodeEdits::events, o.name, *o.action, action::write_action,
                                    at, op, level);
                },
                [&](RemoveEvent& o) -> Applied {
                    change<node::Kept<action::Action>>(target, &Node::events, &NodeEdits::events, o.name, nullptr);
                    return std::monostate{};
                },
                [&](SetEventOptions& o) -> Applied {
                    if (o.options) {
                        if (Applied a = placed(at, op, [&] { return level + 2; }); !a.ok()) return a;
                    }
                    change(target, &Node::event_options, &NodeEdits::event_options, o.name,
                           o.options ? &*o.options : nullptr);
                    return std::monostate{};
                },
                [&](SetBinding& o) -> Applied {
                    return set_kept(target, &Node::bindings, &NodeEdits::bindings, o.name, *o.binding,
                                    node::write_binding, at, op, level);
                },
                [&](RemoveBinding& o) -> Applied {
                    change<node::Kept<node::Binding>>(target, &Node::bindings, &NodeEdits::bindings, o.name,
                                                      nullptr);
                    return std::monostate{};
                },
                [&](SetKey& o) -> Applied {
                    target.key = o.key ? node::Key(arena_text(*o.key)) : node::Key();
                    return std::monostate{};
                },
                [&](InsertChild& o) -> Applied {
                    // The child's object opens below the target's slots object and the slot's array.
                    if (Applied a = placed(at, op, [&] { return level + 2 + node_depth(*o.node, scratch_); }); !a.ok())
                        return a;
                    return child_op(target, o, op, at);
                },
                [&]<ChildOp T>(T& o) -> Applied { return child_op(target, o, op, at); },
                [&](Replace& o) -> Applied {
                    if (Applied a = placed(at, op, [&] { return level - 1 + node_depth(*o.node, scratch_); }); !a.ok())
                        return a;
                    target = std::move(*o.node);
                    return std::monostate{};
                },
            },
            op);
    }

    // Only the nodes some op's path passed are marked, so the walk passes over every
    // other subtree.
    void settle(Node& n) {
        if (NodeEdits* e = edits_of(n)) {
            settle_map(n.props, e->props);
            settle_map(n.events, e->events);
            settle_map(n.event_options, e->event_options);
            settle_map(n.bindings, e->bindings);
            settle_slots(n, e->slots);
            n.pending = 0;
        }
        n.pending_below = false;
        for (auto& entry : n.slots)
            for (Node& child : entry.value)
                if (child.pending_below) settle(child);
    }

    // pending numbers the edits in 31 bits.
    static constexpr std::size_t kMaxEdits = (std::size_t{1} << 31) - 1;

    ApplyLimits limits_;
    // The slot edit view_slot found last (edits are never dropped while the ops run).
    const NodeEdits* last_edits_ = nullptr;
    std::string_view last_name_;
    SlotEdit* last_slot_ = nullptr;
    Vector<NodeEdits*> edits_;  // each in the arena
    json::Writer scratch_{0};
};

}  // namespace

Result<std::monostate> apply_patch(node::Node& tree, Patch& patch, const ApplyLimits& limits) {
    return Applier(limits).run(tree, patch.ops);
}

}  // namespace vorlan::diff
