#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "diff/apply.hpp"
#include "diff/diff.hpp"
#include "diff/keyed.hpp"
#include "operations.hpp"

namespace vorlan::diff {
namespace {

// The removal and placement passes as plainly stated: a working list scanned from t.
void keyed_passes_plain(const Path& path, std::string_view slot, const std::vector<std::string_view>& old_keys,
                        const std::vector<std::string_view>& new_keys, Vector<Op>& ops,
                        std::vector<std::size_t>& origin) {
    std::vector<std::pair<std::string_view, std::size_t>> w;
    for (std::size_t j = 0; j < old_keys.size(); ++j) w.emplace_back(old_keys[j], j);
    std::set<std::string_view> k(new_keys.begin(), new_keys.end());
    for (std::size_t j = w.size(); j-- > 0;) {
        if (k.count(w[j].first)) continue;
        ops.emplace_back(RemoveChild{path, String(slot), j});
        w.erase(w.begin() + static_cast<std::ptrdiff_t>(j));
    }
    for (std::size_t t = 0; t < new_keys.size(); ++t) {
        std::size_t p = t;
        while (p < w.size() && w[p].first != new_keys[t]) ++p;
        if (p == w.size()) {
            ops.emplace_back(InsertChild{path, String(slot), t, {}});
            w.insert(w.begin() + static_cast<std::ptrdiff_t>(t), {new_keys[t], npos});
        } else if (p > t) {
            ops.emplace_back(MoveChild{path, String(slot), p, t});
            auto b = w.begin();
            std::rotate(b + static_cast<std::ptrdiff_t>(t), b + static_cast<std::ptrdiff_t>(p),
                        b + static_cast<std::ptrdiff_t>(p) + 1);
        }
    }
    origin.clear();
    for (std::size_t t = 0; t < new_keys.size(); ++t) origin.push_back(w[t].second);
}

std::string text_of(const Vector<Op>& ops) {
    json::Writer w;
    write_ops(w, ops);
    return w.out;
}

TEST(KeyedPasses, FenwickMatchesPlainScanOnRandomLists) {
    std::mt19937 rng(20261210);
    const Path path = {PathSeg{"rows", 3}};
    for (int round = 0; round < 3000; ++round) {
        std::size_t alphabet = 1 + rng() % 40;
        std::vector<std::string> pool;
        for (std::size_t i = 0; i < alphabet; ++i) pool.push_back(std::to_string(i).insert(0, 1, 'k'));
        // Old lists mostly distinct (as diff uses them), sometimes with repeats.
        bool old_repeats = round % 4 == 0;
        std::vector<std::string_view> old_keys, new_keys;
        std::vector<std::size_t> perm(alphabet);
        for (std::size_t i = 0; i < alphabet; ++i) perm[i] = i;
        std::shuffle(perm.begin(), perm.end(), rng);
        std::size_t m = rng() % (alphabet + 1);
        for (std::size_t j = 0; j < m; ++j) old_keys.push_back(pool[old_repeats ? rng() % alphabet : perm[j]]);
        std::size_t n = rng() % (alphabet + 8);
        for (std::size_t t = 0; t < n; ++t) new_keys.push_back(pool[rng() % alphabet]);

        Vector<Op> fast_ops, plain_ops;
        std::vector<std::size_t> fast_origin, plain_origin;
        keyed_passes(path, "rows", KeyGroups(old_keys), new_keys, fast_ops, fast_origin);
        keyed_passes_plain(path, "rows", old_keys, new_keys, plain_ops, plain_origin);
        ASSERT_EQ(text_of(fast_ops), text_of(plain_ops)) << "round " << round;
        ASSERT_EQ(fast_origin, plain_origin) << "round " << round;
    }
}

std::string keyed_list(std::size_t n, bool reversed) {
    std::string s = R"({"tag":"ul","slots":{"items":[)";
    for (std::size_t i = 0; i < n; ++i) {
        std::size_t k = reversed ? n - 1 - i : i;
        if (i) s += ',';
        s += R"({"tag":"li","key":"k)" + std::to_string(k) + R"(","props":{"n":{"Int":)" + std::to_string(k) + "}}}";
    }
    return s + "]}}";
}

// Speed is the benchmark's business (bench/); a quadratic pass would still stall here.
TEST(KeyedPasses, ReversedListOfHundredThousand) {
    const std::size_t n = 100000;
    std::string old_tree = keyed_list(n, false), new_tree = keyed_list(n, true);
    Result<std::string> patch = diff_json(old_tree, new_tree);
    ASSERT_TRUE(patch.ok()) << patch.error();
    // Each step t brings the last remaining entry forward: n - 1 moves from n - 1.
    std::string first = R"({"ops":[{"MoveChild":{"path":[],"slot":"items","from":99999,"to":0}},)";
    EXPECT_EQ(patch.value().compare(0, first.size(), first), 0);
    std::string last = R"({"MoveChild":{"path":[],"slot":"items","from":99999,"to":99998}}]})";
    EXPECT_EQ(patch.value().substr(patch.value().size() - last.size()), last);
}

// Long child lists (past the arena's largest piece, outgrown while read) and handlers
// holding literal JSON, diffed and applied back. The operations drop their trees with
// the arena without running destructors; the sanitizer run checks nothing is left.
TEST(Operations, LongListsAndLiteralsRoundTrip) {
    auto tree = [](std::size_t n, std::size_t shift) {
        std::string s = R"({"tag":"list","slots":{"items":[)";
        for (std::size_t i = 0; i < n; ++i) {
            if (i) s += ',';
            std::string k = std::to_string((i * 7 + shift) % n);
            s += R"({"tag":"li","key":")" + k + R"(","props":{"tags":{"List":[{"Str":")" + std::string(40, 'x') + k +
                 R"("}]}},"events":{"click":{"kind":"emit","event":"e","detail":{"expr":"lit","value":{"k":[)" + k +
                 R"(,"a long literal text"]}}}},"bindings":{"v":{"field":"f","mode":"two-way","compute":)"
                 R"({"expr":"lit","value":")" + k + R"("}}}})";
        }
        return s + "]}}";
    };
    std::string old_tree = tree(2000, 0), new_tree = tree(2100, 3);
    Result<std::string> patch = diff_json(old_tree, new_tree);
    ASSERT_TRUE(patch.ok()) << patch.error();
    Result<std::string> applied = apply_json(old_tree, patch.value());
    ASSERT_TRUE(applied.ok()) << applied.error();
    Result<std::string> expected = apply_json(new_tree, R"({"ops":[]})");
    ASSERT_TRUE(expected.ok()) << expected.error();
    EXPECT_EQ(applied.value(), expected.value());
}

// A tree as deep as a tree text can be, and a patch that grows it one level further.
TEST(ApplyDepth, GrowingPastTheReadableDepthFails) {
    std::string tree = R"({"tag":"n"})";
    Path path;
    for (std::size_t d = 1; d < max_tree_depth; ++d) {
        tree = R"({"tag":"n","slots":{"s":[)" + tree + "]}}";
        if (d > 1) path.push_back(PathSeg{"s", 0});
    }
    ASSERT_TRUE(node::read_tree(tree).ok());
    auto path_text = [](const Path& p) {
        json::Writer w;
        w.raw('[');
        for (std::size_t i = 0; i < p.size(); ++i) {
            if (i) w.raw(',');
            write_path_seg(w, p[i]);
        }
        w.raw(']');
        return w.out;
    };
    // Inserting a leaf below the node at level 42 reaches level 43: allowed.
    std::string ok_patch = R"({"ops":[{"InsertChild":{"path":)" + path_text(path) +
                           R"(,"slot":"t","index":0,"node":{"tag":"leaf"}}}]})";
    EXPECT_TRUE(apply_json(tree, ok_patch).ok());
    path.push_back(PathSeg{"s", 0});
    std::string deep_patch = R"({"ops":[{"SetKey":{"path":[],"key":"k"}},{"InsertChild":{"path":)" +
                             path_text(path) + R"(,"slot":"t","index":0,"node":{"tag":"leaf"}}}]})";
    Result<std::string> r = apply_json(tree, deep_patch);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error(),
              "ops[1] (InsertChild): the tree would be 44 levels deep, deeper than the 43 levels a tree may have");
}

// The tree text after applying patch_text with runs of run_limit child ops batched, or the message.
std::string applied_with(const std::string& tree_text, const std::string& patch_text, std::size_t run_limit) {
    Result<node::Node> tree = node::read_tree(tree_text);
    Result<Patch> patch = read_patch_text(patch_text);
    if (!tree.ok() || !patch.ok()) return "unreadable";
    Result<std::monostate> applied = apply_patch(tree.value(), patch.value(), run_limit);
    if (!applied.ok()) return "error: " + applied.error();
    json::Writer w;
    node::write_node(w, tree.value());
    return w.out;
}

// Random child ops on a small tree (mostly in range, some not; some on a slot the
// root lacks or below a child; now and then an op that ends a run) applied with
// every run batched, with the default limit and one op at a time: the same tree or
// the very same message.
TEST(ApplyRuns, BatchedRunsMatchOneByOne) {
    std::mt19937 rng(20261211);
    auto below = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
    const std::string slots[] = {"a", "b", "c"};
    std::size_t ok = 0, failed = 0, serial = 0;
    for (int round = 0; round < 3000; ++round) {
        std::size_t length[3] = {below(6), below(4), 0};  // "c" starts absent
        std::string tree = R"({"tag":"root","slots":{)";
        for (std::size_t s = 0; s < 2; ++s) {
            if (s) tree += ',';
            tree += '"' + slots[s] + "\":[";
            for (std::size_t i = 0; i < length[s]; ++i) {
                if (i) tree += ',';
                tree += R"({"tag":"old)" + std::to_string(serial++) + R"(","slots":{"a":[{"tag":"leaf"}]}})";
            }
            tree += ']';
        }
        tree += "}}";

        std::string patch = R"({"ops":[)";
        std::size_t count = 1 + below(24);
        for (std::size_t k = 0; k < count; ++k) {
            if (k) patch += ',';
            std::size_t s = below(10) < 7 ? 0 : 1 + below(2);
            std::size_t& n = length[s];
            auto index = [&](std::size_t limit) { return below(12) ? below(limit + 1) : limit + below(3); };
            std::string path = below(10) ? "[]" : R"([{"slot":"a","index":)" + std::to_string(below(3)) + "}]";
            std::string head = R"({"path":)" + path + R"(,"slot":")" + slots[s] + '"';
            std::size_t kind = below(20);
            if (kind < 7) {
                std::size_t i = index(n);
                patch += R"({"InsertChild":)" + head + R"(,"index":)" + std::to_string(i) +
                         R"(,"node":{"tag":"new)" + std::to_string(serial++) + R"("}}})";
                if (path == "[]" && i <= n) ++n;
            } else if (kind < 12) {
                std::size_t i = index(n ? n - 1 : 0);
                patch += R"({"RemoveChild":)" + head + R"(,"index":)" + std::to_string(i) + "}}";
                if (path == "[]" && i < n) --n;
            } else if (kind < 18) {
                patch += R"({"MoveChild":)" + head + R"(,"from":)" + std::to_string(index(n ? n - 1 : 0)) +
                         R"(,"to":)" + std::to_string(index(n ? n - 1 : 0)) + "}}";
            } else {
                patch += R"({"SetProp":{"path":[],"name":"p","value":{"Int":)" + std::to_string(k) + "}}}";
            }
        }
        patch += "]}";

        std::string one_by_one = applied_with(tree, patch, std::numeric_limits<std::size_t>::max());
        ASSERT_EQ(applied_with(tree, patch, 1), one_by_one) << tree << '\n' << patch;
        ASSERT_EQ(applied_with(tree, patch, kRunLimit), one_by_one) << tree << '\n' << patch;
        ASSERT_NE(one_by_one, "unreadable") << tree << '\n' << patch;
        ++(one_by_one.rfind("error: ", 0) == 0 ? failed : ok);
    }
    // Both outcomes are common enough to be compared.
    EXPECT_GT(ok, 600u);
    EXPECT_GT(failed, 600u);
}

}  // namespace
}  // namespace vorlan::diff
