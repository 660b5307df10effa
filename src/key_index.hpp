#pragma once
// Children found by key: the index of one slot list's keys that the diff's keyed
// matching and the reading of a new tree against an old one both look old children
// up in, and the per-operation home that builds it once per old list. All of it lies
// in the operation's arena, like the trees.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "arena.hpp"
#include "node.hpp"

namespace vorlan {

inline constexpr std::size_t npos = static_cast<std::size_t>(-1);

// Positions grouped by key. Short lists are scanned; longer ones are indexed by one
// flat open-addressing table of positions, or, where the keys' hashes crowd into runs
// of the table (keys chosen to collide, say), by the positions sorted by key, so that
// no keys make a lookup cost more than O(log n).
// Repeated keys are rare (the diff gives up on them), so their chains are only kept
// once a repeat is seen: until then every position is a group of its own.
class KeyGroups {
public:
    enum class Index { Hashed, Sorted };  // Sorted: only to hold both ways to each other in tests
    explicit KeyGroups(std::span<const std::string_view> keys, Index index = Index::Hashed);

    std::size_t size() const { return keys_.size(); }
    bool sorted() const { return !sorted_.empty(); }
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
    // Puts the table together; false when some run of it grew past what random hashes
    // make, so that the keys are sorted instead.
    bool hash();
    void sort();
    // Joins position j to the group whose first position is g; last: per group, its last.
    void join(std::size_t g, std::size_t j, Vector<std::size_t>& last);

    std::span<const std::string_view> keys_;
    // Per entry: 0 when empty, else the position plus one in the low `shift_` bits and
    // the key's hash above them, so that most probes that miss are told apart without
    // reading the key. An entry's home is the top bits of the hash (`home_shift_`).
    Vector<std::uint64_t> table_;
    unsigned shift_ = 0;
    unsigned home_shift_ = 0;
    Vector<std::size_t> sorted_;        // positions by key, then by position; empty when hashed
    Vector<std::size_t> first_, next_;  // empty while no key repeats
};

// The keys of one slot list's keyed children, in list order, grouped when first asked.
class ChildKeys {
public:
    explicit ChildKeys(const node::NodeList& list);
    ChildKeys(const ChildKeys&) = delete;  // groups_ points into keys_
    ChildKeys& operator=(const ChildKeys&) = delete;

    bool all_keyed() const { return all_keyed_; }
    // Of the keyed children: all of the list's when all_keyed().
    const Vector<std::string_view>& keys() const { return keys_; }
    const KeyGroups& groups();
    // The list position of the first child with this key, or npos.
    std::size_t find(std::string_view key);

private:
    Vector<std::string_view> keys_;
    Vector<std::size_t> at_;  // list positions of keys_, when some child has no key
    bool all_keyed_ = true;
    std::optional<KeyGroups> groups_;
};

// The ChildKeys of the old lists of one operation, each built once, however many
// new lists it is asked for: one old list may guide any number of them. And, for a
// new list read against an old one, where each of its children's keys stands there.
class KeyIndex {
public:
    ChildKeys& of(const node::NodeList& list);
    // Already built, or nullptr.
    ChildKeys* built(const node::NodeList& list);
    std::size_t size() const { return lists_.size(); }

    // positions[t]: the first position in old of the key of list's child t, or npos.
    void found(const node::NodeList& list, const node::NodeList& old, Vector<std::size_t> positions);
    // Those positions, if list was read against old; else nullptr.
    const Vector<std::size_t>* found(const node::NodeList& list, const node::NodeList& old) const;

private:
    struct Found {
        const node::Node* old;
        Vector<std::size_t> positions;
    };
    // In the operation's arena, like the trees: a diff on every thread leaves nothing behind.
    template <class V>
    using Map = std::unordered_map<const node::Node*, V, std::hash<const node::Node*>, std::equal_to<>,
                                   ArenaAllocator<std::pair<const node::Node* const, V>>>;
    Map<ChildKeys> lists_;  // nodes of the map stay where they are: groups_ points into keys_
    Map<Found> found_;
};

}  // namespace vorlan
