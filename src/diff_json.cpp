#include <algorithm>
#include <new>
#include <utility>

#include "arena.hpp"
#include "arena_only.hpp"
#include "diff/apply.hpp"
#include "diff/diff.hpp"
#include "operations.hpp"

namespace vorlan {

namespace {

// Holds a record built in the operation's arena and never runs its destructor:
// every piece of it comes from the arena, which frees them all at once, so walking
// a large tree only to give its pieces back cost about a tenth of a 10 MB diff.
template <class T>
class Dropped {
    static_assert(arena_only<T>, "a record dropped without its destructor must own nothing outside the arena");

public:
    explicit Dropped(T&& value) { ::new (static_cast<void*>(storage_)) T(std::move(value)); }
    Dropped(const Dropped&) = delete;
    Dropped& operator=(const Dropped&) = delete;

    T& operator*() { return *std::launder(reinterpret_cast<T*>(storage_)); }

private:
    alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace

// Both operations build their trees in one arena: everything they allocate dies
// when they return, and only the result text (a plain std::string) leaves.

Result<std::string> diff_json(std::string_view old_tree, std::string_view new_tree) {
    return in_arena([&]() -> Result<std::string> {
        Result<node::Node> old_read = node::read_tree(old_tree, node::Use::Compare);
        if (!old_read.ok()) return old_read.failure();
        Dropped<node::Node> old_node(std::move(old_read.value()));
        KeyIndex keys;
        Result<node::Node> new_read = node::read_tree_against(new_tree, *old_node, keys);
        if (!new_read.ok()) return new_read.failure();
        Dropped<node::Node> new_node(std::move(new_read.value()));
        // A patch is rarely longer than a quarter of the tree: one allocation instead of
        // a string doubling its way up, each step leaving a freed copy in the heap.
        // Pages of it that are never written are never faulted in.
        json::Writer w(std::max<std::size_t>(128, new_tree.size() / 4));
        diff::diff_node(*old_node, *new_node, w, &keys);
        return std::move(w.out);
    });
}

Result<std::string> apply_json(std::string_view root, std::string_view patch) {
    return in_arena([&]() -> Result<std::string> {
        Result<node::Node> tree_read = node::read_tree(root);
        if (!tree_read.ok()) return tree_read.failure();
        Dropped<node::Node> tree(std::move(tree_read.value()));
        Result<diff::Patch> ops_read = diff::read_patch_text(patch);
        if (!ops_read.ok()) return ops_read.failure();
        Dropped<diff::Patch> ops(std::move(ops_read.value()));
        Result<std::monostate> applied = diff::apply_patch(*tree, *ops);
        if (!applied.ok()) return applied.failure();
        // The new tree is about as long as the old one: one allocation instead of a
        // string doubling (and copying) its way up to the size of the tree.
        json::Writer w(root.size() + root.size() / 8);
        node::write_node(w, *tree);
        return std::move(w.out);
    });
}

}  // namespace vorlan
