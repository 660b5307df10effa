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

// Writes the patch that turns old_node into new_node, {"ops":[...]}, its ops in the
// order the diff finds them. keys, if given, holds old_node's lists already indexed
// by key (by reading new_node against old_node), so that they are not indexed again.
void diff_node(const node::Node& old_node, const node::Node& new_node, json::Writer& w, KeyIndex* keys = nullptr);

}  // namespace vorlan::diff
