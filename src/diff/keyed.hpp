#pragma once
// Keyed matching of one slot's children: the removal and placement passes that
// turn the old list of keys into the new one. Inside the module: the diff and its
// tests use it; diff.hpp is what callers see.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "diff/patch.hpp"

namespace vorlan::diff {

inline constexpr std::size_t npos = static_cast<std::size_t>(-1);

// Old positions grouped by key. Short lists are scanned; longer ones are indexed by
// one flat open-addressing table of positions.
// Repeated keys are rare (the diff gives up on them), so their chains are only kept
// once a repeat is seen: until then every position is a group of its own.
class KeyGroups {
public:
    explicit KeyGroups(const std::vector<std::string_view>& old_keys);

    std::size_t size() const { return keys_->size(); }
    bool repeats() const { return !first_.empty(); }
    // The group of position j: its first position.
    std::size_t first(std::size_t j) const { return first_.empty() ? j : first_[j]; }
    // The next position after j with the same key, or npos.
    std::size_t next(std::size_t j) const { return next_.empty() ? npos : next_[j]; }
    // The first position whose key is k, or npos. The guess is tried before the table:
    // keyed lists mostly keep runs in order, or in reverse, so it is usually right.
    std::size_t find(std::string_view k, std::size_t guess = npos) const;

private:
    static constexpr std::size_t kScanLimit = 16;

    // The first of the positions before `end` whose key is k, or end.
    std::size_t scan(std::string_view k, std::size_t end) const;

    const std::vector<std::string_view>* keys_;
    // Per entry: 0 when empty, else the position plus one in the low `shift_` bits and
    // the key's hash above them, so that most probes that miss are told apart without
    // reading the key. An entry's home is the top bits of the hash (`home_shift_`).
    std::vector<std::uint64_t> table_;
    unsigned shift_ = 0;
    unsigned home_shift_ = 0;
    std::vector<std::size_t> first_, next_;  // empty while no key repeats
};

// The removal and placement passes over one slot, given the old keys grouped and
// the new keys. Appends RemoveChild, MoveChild and InsertChild ops (InsertChild
// with an empty node, filled by the caller) and sets origin[t] to the old position
// matched with new position t, or npos for an inserted child.
void keyed_passes(const Path& path, std::string_view slot, const KeyGroups& groups,
                  const std::vector<std::string_view>& new_keys, Vector<Op>& ops, std::vector<std::size_t>& origin);

}  // namespace vorlan::diff
