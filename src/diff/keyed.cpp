#include "diff/keyed.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

namespace vorlan::diff {
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

// Counts of the remaining entries by old position: 1 for a survivor of the removal pass
// until it is placed, 0 otherwise.
struct Fenwick {
    std::vector<std::size_t> tree;  // 1-based

    explicit Fenwick(const std::vector<char>& counts) : tree(counts.size() + 1) {
        const std::size_t n = counts.size();
        for (std::size_t i = 1; i <= n; ++i) {
            tree[i] += static_cast<std::size_t>(counts[i - 1]);
            const std::size_t up = i + (i & (~i + 1));
            if (up <= n) tree[up] += tree[i];
        }
    }
    std::size_t before(std::size_t i) const {  // sum over positions < i
        std::size_t s = 0;
        for (; i > 0; i &= i - 1) s += tree[i];
        return s;
    }
    void remove(std::size_t i) {
        for (++i; i < tree.size(); i += i & (~i + 1)) --tree[i];
    }
};

}  // namespace

KeyGroups::KeyGroups(const std::vector<std::string_view>& old_keys) : keys_(&old_keys) {
    const std::size_t m = old_keys.size();
    std::vector<std::size_t> last;  // per group (by first position): its last position
    auto join = [&](std::size_t g, std::size_t j) {
        if (first_.empty()) {
            first_.resize(m);
            for (std::size_t x = 0; x < m; ++x) first_[x] = x;
            next_.assign(m, npos);
            last = first_;
        }
        first_[j] = g;
        next_[last[g]] = j;
        last[g] = j;
    };
    if (m <= kScanLimit) {
        for (std::size_t j = 0; j < m; ++j)
            if (std::size_t g = scan(old_keys[j], j); g != j) join(g, j);
        return;
    }
    // At most half full; a position plus one fits below shift_.
    const std::size_t capacity = std::bit_ceil(2 * m);
    home_shift_ = 64 - static_cast<unsigned>(std::countr_zero(capacity));
    shift_ = static_cast<unsigned>(std::bit_width(m));
    table_.assign(capacity, 0);
    const std::uint64_t low = (std::uint64_t{1} << shift_) - 1;
    for (std::size_t j = 0; j < m; ++j) {
        const std::uint64_t h = hash_key(old_keys[j]);
        const std::uint64_t tag = h & ~low;
        for (std::size_t i = static_cast<std::size_t>(h >> home_shift_);; i = (i + 1) & (capacity - 1)) {
            const std::uint64_t e = table_[i];
            if (e == 0) {
                table_[i] = tag | (j + 1);
                break;
            }
            const std::size_t g = static_cast<std::size_t>(e & low) - 1;
            if ((e & ~low) == tag && old_keys[g] == old_keys[j]) {
                join(g, j);
                break;
            }
        }
    }
}

std::size_t KeyGroups::scan(std::string_view k, std::size_t end) const {
    for (std::size_t j = 0; j < end; ++j)
        if ((*keys_)[j] == k) return j;
    return end;
}

std::size_t KeyGroups::find(std::string_view k, std::size_t guess) const {
    const std::size_t m = size();
    if (guess < m && first(guess) == guess && (*keys_)[guess] == k) return guess;
    if (m <= kScanLimit) {
        std::size_t j = scan(k, m);
        return j == m ? npos : j;
    }
    const std::uint64_t low = (std::uint64_t{1} << shift_) - 1;
    const std::uint64_t h = hash_key(k);
    const std::uint64_t tag = h & ~low;
    const std::size_t mask = table_.size() - 1;
    for (std::size_t i = static_cast<std::size_t>(h >> home_shift_);; i = (i + 1) & mask) {
        const std::uint64_t e = table_[i];
        if (e == 0) return npos;
        const std::size_t j = static_cast<std::size_t>(e & low) - 1;
        if ((e & ~low) == tag && (*keys_)[j] == k) return j;
    }
}

void keyed_passes(const Path& path, std::string_view slot, const KeyGroups& groups,
                  const std::vector<std::string_view>& new_keys, Vector<Op>& ops, std::vector<std::size_t>& origin) {
    const std::size_t m = groups.size();
    const std::size_t n = new_keys.size();
    origin.assign(n, npos);

    // At most one op per old and per new position; grow geometrically all the same.
    if (ops.capacity() - ops.size() < m + n) ops.reserve(std::max(ops.size() + m + n, 2 * ops.capacity()));

    // Matching: each new key takes the next unmatched old position of its group. A
    // group's cursor leaves its first position as soon as the group is wanted at all.
    std::vector<std::size_t> cursor(m);
    for (std::size_t j = 0; j < m; ++j) cursor[j] = j;
    // Each guess carries on the run the last two finds made: forward, or backward with
    // step -1 (wrapping); the first guess is position 0.
    std::size_t last = npos, step = 1;
    for (std::size_t t = 0; t < n; ++t) {
        const std::size_t g = groups.find(new_keys[t], last + step);
        if (g == npos) continue;
        if (last != npos && (g == last + 1 || g + 1 == last)) step = g - last;
        last = g;
        if (cursor[g] == npos) continue;
        origin[t] = cursor[g];
        cursor[g] = groups.next(cursor[g]);
    }

    // Removal pass, from the end so that each index is still the old position.
    std::vector<char> survives(m);
    for (std::size_t j = 0; j < m; ++j) {
        const std::size_t g = groups.first(j);
        survives[j] = cursor[g] != g;
    }
    for (std::size_t j = m; j-- > 0;)
        if (!survives[j]) ops.emplace_back(RemoveChild{path, String(slot), j});
    if (n == 0) return;

    // The remaining entries keep their relative order behind position t, so the
    // matched entry sits at t plus the number of remaining entries before it.
    Fenwick remaining(survives);
    for (std::size_t t = 0; t < n; ++t) {
        const std::size_t j = origin[t];
        if (j == npos) {
            ops.emplace_back(InsertChild{path, String(slot), t, {}});
            continue;
        }
        const std::size_t p = t + remaining.before(j);
        remaining.remove(j);
        if (p != t) ops.emplace_back(MoveChild{path, String(slot), p, t});
    }
}

}  // namespace vorlan::diff
