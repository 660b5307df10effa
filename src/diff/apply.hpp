#pragma once
// The application of a patch to a tree.
#include <cstddef>
#include <variant>

#include "diff/patch.hpp"
#include "json/json.hpp"
#include "node.hpp"
#include "result.hpp"

namespace vorlan::diff {

// The deepest tree (in node levels, the root being level 1) that apply builds:
// the deepest one a tree text can hold under the reader's nesting limit.
inline constexpr std::size_t max_tree_depth = (json::kDepthLimit - 1 + 2) / 3;

// Applies every op in order, changing tree in place; the carried values are moved
// out of patch. On failure the tree is half changed and must be dropped.
Result<std::monostate> apply_patch(node::Node& tree, Patch& patch);

}  // namespace vorlan::diff
