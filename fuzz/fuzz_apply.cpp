// apply_json: a tree and a patch (split at the first NUL). The result is a tree
// in canonical form: applying the empty patch to it gives it back, and writing
// every node from its fields gives it too. Runs of child
// ops applied as a batch give what they give one op at a time, and strings written
// as \u escapes as the plain ones.
#include <limits>

#include "common.hpp"
#include "diff/apply.hpp"

using namespace vorlan;

namespace {

// apply_json's steps, with runs of at least run_limit child ops on one slot batched.
Result<std::string> apply_with(std::string_view root, std::string_view patch_text, std::size_t run_limit) {
    return guarded([&]() -> Result<std::string> {
        Result<node::Node> tree = node::read_tree(root);
        if (!tree.ok()) return tree.failure();
        Result<diff::Patch> patch = diff::read_patch_text(patch_text);
        if (!patch.ok()) return patch.failure();
        Result<std::monostate> applied = diff::apply_patch(tree.value(), patch.value(), run_limit);
        if (!applied.ok()) return applied.failure();
        json::Writer w;
        node::write_node(w, tree.value());
        return std::move(w.out);
    });
}

void forget_canonical(node::Node& n) {
    n.canonical = false;
    for (auto& entry : n.slots)
        for (node::Node& child : entry.value) forget_canonical(child);
}

// apply_json's steps with every node written from its fields, none from its text.
Result<std::string> apply_from_fields(std::string_view root, std::string_view patch_text) {
    return guarded([&]() -> Result<std::string> {
        Result<node::Node> tree = node::read_tree(root);
        if (!tree.ok()) return tree.failure();
        Result<diff::Patch> patch = diff::read_patch_text(patch_text);
        if (!patch.ok()) return patch.failure();
        Result<std::monostate> applied = diff::apply_patch(tree.value(), patch.value());
        if (!applied.ok()) return applied.failure();
        forget_canonical(tree.value());
        json::Writer w;
        node::write_node(w, tree.value());
        return std::move(w.out);
    });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Records the target builds itself (outside an operation) need an arena per input.
    const vorlan::ArenaScope arena;
    const fuzz::Pair in = fuzz::split(fuzz::as_text(data, size));
    const bool utf8 = json::valid_utf8(in.first) && json::valid_utf8(in.second);

    Result<std::string> tree = apply_json(in.first, in.second);
    if (utf8) fuzz::require_utf8(tree, "apply");
    // Respelled, no variant name matches the value reader's raw-byte shortcut.
    fuzz::require_same_outcome(tree, apply_json(fuzz::respell_strings(in.first), fuzz::respell_strings(in.second)),
                               false, "escaped strings do not read as the plain ones");
    fuzz::require_same_outcome(tree, apply_from_fields(in.first, in.second), true,
                               "nodes written as they stood differ from nodes written from their fields");
    fuzz::require_same_outcome(apply_with(in.first, in.second, 1),
                               apply_with(in.first, in.second, std::numeric_limits<std::size_t>::max()), true,
                               "batched runs of child ops differ from one op at a time");
    if (!tree.ok()) return 0;

    json::JsonValue ignored;
    // Patches may build trees deeper than any tree text the reader accepts.
    if (fuzz::parse_output(tree.value(), ignored, "apply") == fuzz::Parsed::TooDeep) return 0;
    Result<std::string> again = apply_json(tree.value(), "{\"ops\":[]}");
    if (!again.ok() && again.error().rfind("recursion limit exceeded", 0) == 0) return 0;
    if (!again.ok()) fuzz::violated("apply result does not read as a tree", tree.value(), again.error());
    fuzz::require(again.value() == tree.value(), "apply result is not canonical", tree.value(), again.value());
    return 0;
}
