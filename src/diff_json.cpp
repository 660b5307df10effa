#include "arena.hpp"
#include "diff.hpp"
#include "operations.hpp"

namespace vorlan {

// Both operations build their trees in one arena: everything they allocate dies
// when they return, and only the result text (a plain std::string) leaves.

Result<std::string> diff_json(std::string_view old_tree, std::string_view new_tree) {
    return guarded([&]() -> Result<std::string> {
        ArenaScope arena;
        Result<node::Node> old_node = node::read_tree(old_tree);
        if (!old_node.ok()) return old_node.failure();
        Result<node::Node> new_node = node::read_tree(new_tree);
        if (!new_node.ok()) return new_node.failure();
        Vector<diff::Op> ops;
        diff::diff_node({}, old_node.value(), new_node.value(), ops);
        json::Writer w;
        diff::write_ops(w, ops);
        return std::move(w.out);
    });
}

Result<std::string> apply_json(std::string_view root, std::string_view patch) {
    return guarded([&]() -> Result<std::string> {
        ArenaScope arena;
        Result<node::Node> tree = node::read_tree(root);
        if (!tree.ok()) return tree.failure();
        Result<diff::Patch> ops = diff::read_patch_text(patch);
        if (!ops.ok()) return ops.failure();
        Result<std::monostate> applied = diff::apply_patch(tree.value(), ops.value());
        if (!applied.ok()) return applied.failure();
        json::Writer w;
        node::write_node(w, tree.value());
        return std::move(w.out);
    });
}

}  // namespace vorlan
