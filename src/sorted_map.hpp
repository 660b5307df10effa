#pragma once
// A text-keyed map kept as a vector sorted by key bytes. The maps of a tree are
// small, read once and walked in key order often, so a sorted vector beats a node map.
#include <algorithm>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "arena.hpp"
#include "json/key_order.hpp"

namespace vorlan {

template <class V>
class SortedMap {
public:
    using Entry = std::pair<String, V>;
    using iterator = typename Vector<Entry>::iterator;
    using const_iterator = typename Vector<Entry>::const_iterator;

    bool empty() const { return entries_.empty(); }
    std::size_t size() const { return entries_.size(); }
    iterator begin() { return entries_.begin(); }
    iterator end() { return entries_.end(); }
    const_iterator begin() const { return entries_.begin(); }
    const_iterator end() const { return entries_.end(); }
    void clear() { entries_.clear(); }
    std::size_t capacity() const { return entries_.capacity(); }
    void reserve(std::size_t n) { entries_.reserve(n); }

    const V* find(std::string_view key) const {
        auto it = lower(key);
        return it != entries_.end() && it->first == key ? &it->second : nullptr;
    }
    V* find(std::string_view key) {
        auto it = lower(key);
        return it != entries_.end() && it->first == key ? &it->second : nullptr;
    }

    // For a reader (json::read_map): whether key sorts after the key added last.
    bool follows(std::string_view key) const {
        return entries_.empty() || std::string_view(entries_.back().first) < key;
    }
    // A new entry of key with V{} at the end, whether the key is there or not, to be
    // put in order by settle().
    V& add(std::string_view key) {
        entries_.emplace_back(std::piecewise_construct, std::forward_as_tuple(key.data(), key.size()),
                              std::forward_as_tuple());
        return entries_.back().second;
    }
    // The entry of key in the sorted entries, reset to V{} if present, else added with
    // V{} at its place.
    V& reset_slot(std::string_view key) {
        auto it = lower(key);
        if (it != entries_.end() && it->first == key) return it->second = V{};
        return entries_.emplace(it, std::piecewise_construct, std::forward_as_tuple(key.data(), key.size()),
                                std::forward_as_tuple())
            ->second;
    }
    // The entries sorted by key, the last added of a repeated key kept.
    void settle() {
        json::sort_keep_last(entries_, [](const Entry& e) -> std::string_view { return e.first; });
    }

    bool erase(std::string_view key) {
        auto it = lower(key);
        if (it == entries_.end() || it->first != key) return false;
        entries_.erase(it);
        return true;
    }

    friend bool operator==(const SortedMap& a, const SortedMap& b) { return a.entries_ == b.entries_; }

private:
    iterator lower(std::string_view key) {
        return std::lower_bound(entries_.begin(), entries_.end(), key,
                                [](const Entry& e, std::string_view k) { return std::string_view(e.first) < k; });
    }
    const_iterator lower(std::string_view key) const {
        return std::lower_bound(entries_.begin(), entries_.end(), key,
                                [](const Entry& e, std::string_view k) { return std::string_view(e.first) < k; });
    }

    Vector<Entry> entries_;
};

}  // namespace vorlan
