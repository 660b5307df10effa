#pragma once
// Keyed matching of one slot's children: the removal and placement passes that
// turn the old list of keys into the new one. Inside the module: the diff and its
// tests use it; diff.hpp is what callers see.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "arena.hpp"
#include "key_index.hpp"

namespace vorlan::diff {

// One op of the keyed passes over a slot: a RemoveChild at `from`, a MoveChild from
// `from` to `to`, or an InsertChild of the new child at `to`.
struct KeyedOp {
    enum class Kind : std::uint8_t { Remove, Move, Insert };
    Kind kind;
    std::size_t from;
    std::size_t to;
    friend bool operator==(const KeyedOp&, const KeyedOp&) = default;
};

// The removal and placement passes over one slot, given the old keys grouped and the
// new keys: its ops in patch order, and origin[t], the old position matched with new
// position t, or npos for an inserted child. found, if given, holds what groups.find
// gives for each new key, already looked up.
void keyed_passes(const KeyGroups& groups, std::span<const std::string_view> new_keys, Vector<KeyedOp>& ops,
                  Vector<std::size_t>& origin, const Vector<std::size_t>* found = nullptr);

}  // namespace vorlan::diff
