#include "key_index.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

namespace vorlan {
namespace {

// Keys are mostly short: a multiply-xorshift over eight bytes at a time. Unseeded, as
// the standard library's string hash is.
std::uint64_t hash_key(std::string_view k) {
    constexpr std::uint64_t kMul = 0x9e3779b97f4a7c15u;
    const char* p = k.data();
    std::size_t n = k.size();
    std::uint64_t h = (n + 1) * kMul;
    auto mix = [&](std::uint64_t w) {
        h = (h ^ w) * kMul;
        h ^= h >> 29;
    };
    for (; n >= 8; p += 8, n -= 8) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        mix(w);
    }
    if (n) {
        std::uint64_t w = 0;
        for (std::size_t i = 0; i < n; ++i) w |= std::uint64_t{static_cast<unsigned char>(p[i])} << (8 * i);
        mix(w);
    }
    h *= kMul;
    return h ^ (h >> 32);
}

}  // namespace

KeyGroups::KeyGroups(std::span<const std::string_view> keys, Index index) : keys_(keys) {
    const std::size_t m = keys.size();
    if (m <= kScanLimit) {
        Vector<std::size_t> last;
        for (std::size_t j = 0; j < m; ++j)
            if (std::size_t g = scan(keys[j], j); g != j) join(g, j, last);
        return;
    }
    if (index == Index::Sorted || !hash()) sort();
}

void KeyGroups::join(std::size_t g, std::size_t j, Vector<std::size_t>& last) {
    if (first_.empty()) {
        const std::size_t m = keys_.size();
        first_.resize(m);
        for (std::size_t x = 0; x < m; ++x) first_[x] = x;
        next_.assign(m, npos);
        last = first_;
    }
    first_[j] = g;
    next_[last[g]] = j;
    last[g] = j;
}

bool KeyGroups::hash() {
    const std::span<const std::string_view> keys = keys_;
    const std::size_t m = keys.size();
    // At most half full; a position plus one fits below shift_.
    const std::size_t capacity = std::bit_ceil(2 * m);
    home_shift_ = 64 - static_cast<unsigned>(std::countr_zero(capacity));
    shift_ = static_cast<unsigned>(std::bit_width(m));
    table_.assign(capacity, 0);
    // Random hashes at this load leave runs of a few dozen entries at the most.
    const std::size_t longest = 32 + 4 * std::bit_width(m);
    const std::uint64_t low = (std::uint64_t{1} << shift_) - 1;
    Vector<std::size_t> last;
    for (std::size_t j = 0; j < m; ++j) {
        const std::uint64_t h = hash_key(keys[j]);
        const std::uint64_t tag = h & ~low;
        std::size_t probes = 0;
        for (std::size_t i = static_cast<std::size_t>(h >> home_shift_);; i = (i + 1) & (capacity - 1)) {
            if (++probes > longest) return false;
            const std::uint64_t e = table_[i];
            if (e == 0) {
                table_[i] = tag | (j + 1);
                break;
            }
            const std::size_t g = static_cast<std::size_t>(e & low) - 1;
            if ((e & ~low) == tag && keys[g] == keys[j]) {
                join(g, j, last);
                break;
            }
        }
    }
    // A lookup that misses walks the run its home lies in to the end.
    std::size_t run = 0;
    for (std::size_t i = 0; i < 2 * capacity; ++i) {
        run = table_[i & (capacity - 1)] ? run + 1 : 0;
        if (run > longest) return false;
    }
    return true;
}

void KeyGroups::sort() {
    const std::span<const std::string_view> keys = keys_;
    const std::size_t m = keys.size();
    table_.clear();
    first_.clear();
    next_.clear();
    sorted_.resize(m);
    for (std::size_t j = 0; j < m; ++j) sorted_[j] = j;
    std::sort(sorted_.begin(), sorted_.end(), [&](std::size_t a, std::size_t b) {
        const int c = keys[a].compare(keys[b]);
        return c < 0 || (c == 0 && a < b);
    });
    Vector<std::size_t> last;
    for (std::size_t i = 1, start = 0; i < m; ++i) {
        if (keys[sorted_[i]] != keys[sorted_[start]]) start = i;
        else join(sorted_[start], sorted_[i], last);
    }
}

std::size_t KeyGroups::scan(std::string_view k, std::size_t end) const {
    for (std::size_t j = 0; j < end; ++j)
        if (keys_[j] == k) return j;
    return end;
}

std::size_t KeyGroups::find(std::string_view k, std::size_t guess) const {
    const std::size_t m = size();
    if (guess < m && first(guess) == guess && keys_[guess] == k) return guess;
    if (m <= kScanLimit) {
        std::size_t j = scan(k, m);
        return j == m ? npos : j;
    }
    if (!sorted_.empty()) {
        const std::span<const std::string_view> keys = keys_;
        const auto it = std::lower_bound(sorted_.begin(), sorted_.end(), k,
                                         [&](std::size_t j, std::string_view key) { return keys[j] < key; });
        return it != sorted_.end() && keys[*it] == k ? *it : npos;
    }
    const std::uint64_t low = (std::uint64_t{1} << shift_) - 1;
    const std::uint64_t h = hash_key(k);
    const std::uint64_t tag = h & ~low;
    const std::size_t mask = table_.size() - 1;
    for (std::size_t i = static_cast<std::size_t>(h >> home_shift_);; i = (i + 1) & mask) {
        const std::uint64_t e = table_[i];
        if (e == 0) return npos;
        const std::size_t j = static_cast<std::size_t>(e & low) - 1;
        if ((e & ~low) == tag && keys_[j] == k) return j;
    }
}

ChildKeys::ChildKeys(const node::NodeList& list) {
    keys_.reserve(list.size());
    for (std::size_t j = 0; j < list.size(); ++j) {
        const node::Key& k = node::view(list[j]).key;
        if (!k) {
            // From the first child without a key on, positions in keys_ are not list positions.
            if (all_keyed_) {
                all_keyed_ = false;
                for (std::size_t i = 0; i < keys_.size(); ++i) at_.push_back(i);
            }
            continue;
        }
        keys_.emplace_back(*k);
        if (!all_keyed_) at_.push_back(j);
    }
}

const KeyGroups& ChildKeys::groups() {
    if (!groups_) groups_.emplace(keys_);
    return *groups_;
}

std::size_t ChildKeys::find(std::string_view key) {
    const std::size_t i = groups().find(key);
    return i == npos || all_keyed_ ? i : at_[i];
}

ChildKeys& KeyIndex::of(const node::NodeList& list) { return lists_.try_emplace(list.data(), list).first->second; }

void KeyIndex::found(const node::NodeList& list, const node::NodeList& old, Vector<std::size_t> positions) {
    if (!list.empty()) found_[list.data()] = Found{old.data(), std::move(positions)};
}

const Vector<std::size_t>* KeyIndex::found(const node::NodeList& list, const node::NodeList& old) const {
    const auto it = list.empty() ? found_.end() : found_.find(list.data());
    return it != found_.end() && it->second.old == old.data() ? &it->second.positions : nullptr;
}

ChildKeys* KeyIndex::built(const node::NodeList& list) {
    const auto it = lists_.find(list.data());
    return it == lists_.end() ? nullptr : &it->second;
}

}  // namespace vorlan
