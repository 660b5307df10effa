#pragma once
// Keyed matching of one slot's children: the removal and placement passes that
// turn the old list of keys into the new one. Inside the module: the diff and its
// tests use it; diff.hpp is what callers see.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "diff/patch.hpp"
#include "key_index.hpp"

namespace vorlan::diff {

// The removal and placement passes over one slot, given the old keys grouped and
// the new keys. Appends RemoveChild, MoveChild and InsertChild ops (InsertChild
// with an empty node, filled by the caller) and sets origin[t] to the old position
// matched with new position t, or npos for an inserted child.
void keyed_passes(const Path& path, std::string_view slot, const KeyGroups& groups,
                  const std::vector<std::string_view>& new_keys, Vector<Op>& ops, std::vector<std::size_t>& origin);

}  // namespace vorlan::diff
