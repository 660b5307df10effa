#include "diff/keyed.hpp"

#include <algorithm>

namespace vorlan::diff {
namespace {

// Counts of the remaining entries by old position: 1 for a survivor of the removal pass
// until it is placed, 0 otherwise.
struct Fenwick {
    Vector<std::size_t> tree;  // 1-based

    explicit Fenwick(const Vector<char>& counts) : tree(counts.size() + 1) {
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

void keyed_passes(const KeyGroups& groups, std::span<const std::string_view> new_keys, Vector<KeyedOp>& ops,
                  Vector<std::size_t>& origin, const Vector<std::size_t>* found) {
    const std::size_t m = groups.size();
    const std::size_t n = new_keys.size();
    origin.assign(n, npos);
    ops.clear();

    // Matching: each new key takes the next unmatched old position of its group. A
    // group's cursor leaves its first position as soon as the group is wanted at all.
    Vector<std::size_t> cursor(m);
    for (std::size_t j = 0; j < m; ++j) cursor[j] = j;
    // Each guess carries on the run the last two finds made: forward, or backward with
    // step -1 (wrapping); the first guess is position 0.
    std::size_t last = npos, step = 1;
    for (std::size_t t = 0; t < n; ++t) {
        const std::size_t g = found ? (*found)[t] : groups.find(new_keys[t], last + step);
        if (g == npos) continue;
        if (last != npos && (g == last + 1 || g + 1 == last)) step = g - last;
        last = g;
        if (cursor[g] == npos) continue;
        origin[t] = cursor[g];
        cursor[g] = groups.next(cursor[g]);
    }

    // Removal pass, from the end so that each index is still the old position.
    Vector<char> survives(m);
    for (std::size_t j = 0; j < m; ++j) {
        const std::size_t g = groups.first(j);
        survives[j] = cursor[g] != g;
    }
    for (std::size_t j = m; j-- > 0;)
        if (!survives[j]) ops.push_back({KeyedOp::Kind::Remove, j, j});
    if (n == 0) return;

    // The remaining entries keep their relative order behind position t, so the
    // matched entry sits at t plus the number of remaining entries before it.
    Fenwick remaining(survives);
    for (std::size_t t = 0; t < n; ++t) {
        const std::size_t j = origin[t];
        if (j == npos) {
            ops.push_back({KeyedOp::Kind::Insert, t, t});
            continue;
        }
        const std::size_t p = t + remaining.before(j);
        remaining.remove(j);
        if (p != t) ops.push_back({KeyedOp::Kind::Move, p, t});
    }
}

}  // namespace vorlan::diff
