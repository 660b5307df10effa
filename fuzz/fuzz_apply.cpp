// apply_json: a tree and a patch (split at the first NUL). The result is a tree
// in canonical form: applying the empty patch to it gives it back, and writing
// every node from its fields gives it too. Maps and lists changed in place give
// what changes kept aside give, strings written as \u escapes what the plain ones
// give, and the depth check refuses exactly the patches whose tree would not read.
#include <limits>
#include <optional>

#include "common.hpp"
#include "diff/apply.hpp"

using namespace vorlan;

namespace {

// apply_json's steps, with other limits.
Result<std::string> apply_with(std::string_view root, std::string_view patch_text, const diff::ApplyLimits& limits) {
    return guarded([&]() -> Result<std::string> {
        Result<node::Node> tree = node::read_tree(root);
        if (!tree.ok()) return tree.failure();
        Result<diff::Patch> patch = diff::read_patch_text(patch_text);
        if (!patch.ok()) return patch.failure();
        Result<std::monostate> applied = diff::apply_patch(tree.value(), patch.value(), limits);
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

    std::optional<Result<std::string>> first;
    const std::size_t peak = fuzz::arena_peak_of([&] { first.emplace(apply_json(in.first, in.second)); });
    fuzz::require_arena_bound(peak, size, 128, "apply");
    const Result<std::string>& tree = *first;
    if (utf8) fuzz::require_utf8(tree, "apply");
    // Respelled, no variant name matches the value reader's raw-byte shortcut.
    fuzz::require_same_outcome(tree, apply_json(fuzz::respell_strings(in.first), fuzz::respell_strings(in.second)),
                               false, "escaped strings do not read as the plain ones");
    fuzz::require_same_outcome(tree, apply_from_fields(in.first, in.second), true,
                               "nodes written as they stood differ from nodes written from their fields");
    fuzz::require_same_outcome(apply_with(in.first, in.second, {.direct = 0}),
                               apply_with(in.first, in.second, {.direct = std::numeric_limits<std::size_t>::max()}),
                               true, "changes kept aside differ from changes made in place");
    if (!tree.ok()) {
        // Refused for its depth: unchecked, the same patch makes a tree that does not read.
        const std::string& e = tree.error();
        if (e.rfind("ops[", 0) != 0 || e.find("): the tree would nest ") == std::string::npos) return 0;
        Result<std::string> unchecked = apply_with(in.first, in.second, {.check_depth = false});
        if (!unchecked.ok()) fuzz::violated("a patch refused for its depth fails otherwise", tree.error(), unchecked.error());
        Result<std::string> read = apply_json(unchecked.value(), "{\"ops\":[]}");
        if (read.ok() || read.error().rfind("recursion limit exceeded", 0) != 0)
            fuzz::violated("a patch refused for its depth makes a tree that reads", tree.error(), unchecked.value());
        return 0;
    }

    json::JsonValue ignored;
    fuzz::require(fuzz::parse_output(tree.value(), ignored, "apply") == fuzz::Parsed::Ok,
                  "apply result nests past the reader's limit", tree.value());
    Result<std::string> again = apply_json(tree.value(), "{\"ops\":[]}");
    if (!again.ok()) fuzz::violated("apply result does not read as a tree", tree.value(), again.error());
    fuzz::require(again.value() == tree.value(), "apply result is not canonical", tree.value(), again.value());
    return 0;
}
