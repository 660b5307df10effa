#pragma once
// The application of a patch to a tree.
#include <cstddef>
#include <variant>

#include "diff/patch.hpp"
#include "json/json.hpp"
#include "node.hpp"
#include "result.hpp"

namespace vorlan::diff {

// How apply_patch goes about its ops. Both ways of changing a map or a list give the
// same tree and the same failures; the tests hold them to that with other limits.
struct ApplyLimits {
    // A map or slot list shorter than this (in a node with fewer slots than this) is
    // changed in place, op by op; a longer one keeps its changes aside, each in
    // O(log n), and takes them all at once when the ops are done.
    std::size_t direct = 32;
    // Every op that places something checks that the tree text still nests no deeper
    // than a reader accepts. Off only to show, in tests, what the check refuses.
    bool check_depth = true;
};

// Applies every op in order, changing tree in place; the carried values are moved
// out of patch. On failure the tree is half changed and must be dropped.
Result<std::monostate> apply_patch(node::Node& tree, Patch& patch, const ApplyLimits& limits = {});

}  // namespace vorlan::diff
