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

// A run of at least this many child ops on one slot of one node is applied as a
// batch: positions in a balanced tree, each node placed once when the run is over,
// instead of shifting the list per op. Both ways give the same tree and the same
// failures; the tests hold them to that by passing other limits to apply_patch.
inline constexpr std::size_t kRunLimit = 4;

// Applies every op in order, changing tree in place; the carried values are moved
// out of patch. On failure the tree is half changed and must be dropped.
Result<std::monostate> apply_patch(node::Node& tree, Patch& patch, std::size_t run_limit = kRunLimit);

}  // namespace vorlan::diff
