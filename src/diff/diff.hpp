#pragma once
// The tree diff: the ops that turn one tree into another.
#include <cstdint>
#include <string_view>

#include "diff/patch.hpp"
#include "key_index.hpp"
#include "node.hpp"

namespace vorlan::diff {

// A copy of path followed by the step {slot, index}.
Path child_path(const Path& path, std::string_view slot, std::uint64_t index);

// Appends the ops that turn old_node into new_node (addressed by path) to ops.
// new_node is consumed: the values and subtrees the ops carry are moved out of it.
// keys, if given, holds old_node's lists already indexed by key (by reading new_node
// against old_node), so that they are not indexed again.
void diff_node(const Path& path, const node::Node& old_node, node::Node& new_node, Vector<Op>& ops,
               KeyIndex* keys = nullptr);

}  // namespace vorlan::diff
