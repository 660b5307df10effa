#include "diff/keyed.hpp"

#include <algorithm>

namespace vorlan::diff {
namespace {

// Counts of the remaining entries by their order among the survivors of the removal pass.
struct Fenwick {
    std::vector<std::size_t> tree;  // 1-based

    explicit Fenwick(std::size_t n) : tree(n + 1) {
        for (std::size_t i = 1; i <= n; ++i) tree[i] = i & (~i + 1);  // all ones
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

void keyed_passes(const Path& path, std::string_view slot, const KeyGroups& groups,
                  const std::vector<std::string_view>& new_keys, Vector<Op>& ops, std::vector<std::size_t>& origin) {
    std::size_t m = groups.first.size();
    std::size_t n = new_keys.size();
    origin.assign(n, npos);

    // At most one op per old and per new position; grow geometrically all the same.
    if (ops.capacity() - ops.size() < m + n) ops.reserve(std::max(ops.size() + m + n, 2 * ops.capacity()));

    std::vector<std::size_t> group_of(n);
    std::vector<char> wanted(m, 0);
    for (std::size_t t = 0; t < n; ++t) {
        std::size_t g = groups.find(new_keys[t]);
        group_of[t] = g;
        if (g != npos) wanted[g] = 1;
    }

    // Removal pass, from the end so that each index is still the old position.
    for (std::size_t j = m; j-- > 0;)
        if (!wanted[groups.first[j]]) ops.emplace_back(RemoveChild{path, String(slot), j});
    if (n == 0) return;

    std::vector<std::size_t> rank(m, npos);  // order among the survivors
    std::size_t survivors = 0;
    for (std::size_t j = 0; j < m; ++j)
        if (wanted[groups.first[j]]) rank[j] = survivors++;

    // The remaining entries keep their relative order behind position t, so the
    // first remaining entry of a key sits at t plus its rank among the remaining.
    Fenwick remaining(survivors);
    std::vector<std::size_t> cursor(m, npos);  // per group: its next unmatched position
    for (std::size_t j = 0; j < m; ++j)
        if (groups.first[j] == j) cursor[j] = j;
    for (std::size_t t = 0; t < n; ++t) {
        std::size_t g = group_of[t];
        std::size_t j = g == npos ? npos : cursor[g];
        if (j == npos) {
            ops.emplace_back(InsertChild{path, String(slot), t, {}});
            continue;
        }
        cursor[g] = groups.next[j];
        std::size_t p = t + remaining.before(rank[j]);
        remaining.remove(rank[j]);
        if (p != t) ops.emplace_back(MoveChild{path, String(slot), p, t});
        origin[t] = j;
    }
}

}  // namespace vorlan::diff
