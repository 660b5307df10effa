#pragma once
// Keyed matching of one slot's children: the removal and placement passes that
// turn the old list of keys into the new one. Inside the module: the diff and its
// tests use it; diff.hpp is what callers see.
#include <cstddef>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "diff/patch.hpp"

namespace vorlan::diff {

inline constexpr std::size_t npos = static_cast<std::size_t>(-1);

// Old positions grouped by key: each group is chained in list order from its first position.
struct KeyGroups {
    std::vector<std::size_t> first;  // per old position: the group's first position
    std::vector<std::size_t> next;   // per old position: the next one with the same key, or npos
    bool repeats = false;
    std::unordered_map<std::string_view, std::size_t> index;  // key -> first position (long lists)
    const std::vector<std::string_view>* keys = nullptr;

    static constexpr std::size_t kScanLimit = 16;

    explicit KeyGroups(const std::vector<std::string_view>& old_keys) : keys(&old_keys) {
        std::size_t m = old_keys.size();
        first.resize(m);
        next.assign(m, npos);
        std::vector<std::size_t> last;  // per group (indexed by first position): its last position
        last.resize(m);
        if (m > kScanLimit) index.reserve(m);
        for (std::size_t j = 0; j < m; ++j) {
            std::size_t g = m > kScanLimit ? index.try_emplace(old_keys[j], j).first->second : scan(old_keys[j], j);
            first[j] = g;
            if (g != j) {
                repeats = true;
                next[last[g]] = j;
            }
            last[g] = j;
        }
    }

    // The first of the positions before `end` whose key is k, or npos.
    std::size_t scan(std::string_view k, std::size_t end) const {
        for (std::size_t j = 0; j < end; ++j)
            if ((*keys)[j] == k && first[j] == j) return j;
        return end;
    }

    std::size_t find(std::string_view k) const {
        std::size_t m = first.size();
        if (m > kScanLimit) {
            auto it = index.find(k);
            return it == index.end() ? npos : it->second;
        }
        std::size_t j = scan(k, m);
        return j == m ? npos : j;
    }
};

// The removal and placement passes over one slot, given the old keys grouped and
// the new keys. Appends RemoveChild, MoveChild and InsertChild ops (InsertChild
// with an empty node, filled by the caller) and sets origin[t] to the old position
// matched with new position t, or npos for an inserted child.
void keyed_passes(const Path& path, std::string_view slot, const KeyGroups& groups,
                  const std::vector<std::string_view>& new_keys, Vector<Op>& ops, std::vector<std::size_t>& origin);

}  // namespace vorlan::diff
