#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "diff/apply.hpp"
#include "diff/diff.hpp"
#include "diff/keyed.hpp"
#include "fuzz/common.hpp"
#include "operations.hpp"
#include "plain_diff.hpp"

namespace vorlan::diff {
namespace {

// The removal and placement passes as plainly stated: a working list scanned from t.
void keyed_passes_plain(const std::vector<std::string_view>& old_keys, const std::vector<std::string_view>& new_keys,
                        Vector<KeyedOp>& ops, Vector<std::size_t>& origin) {
    std::vector<std::pair<std::string_view, std::size_t>> w;
    for (std::size_t j = 0; j < old_keys.size(); ++j) w.emplace_back(old_keys[j], j);
    std::set<std::string_view> k(new_keys.begin(), new_keys.end());
    for (std::size_t j = w.size(); j-- > 0;) {
        if (k.count(w[j].first)) continue;
        ops.push_back({KeyedOp::Kind::Remove, j, j});
        w.erase(w.begin() + static_cast<std::ptrdiff_t>(j));
    }
    for (std::size_t t = 0; t < new_keys.size(); ++t) {
        std::size_t p = t;
        while (p < w.size() && w[p].first != new_keys[t]) ++p;
        if (p == w.size()) {
            ops.push_back({KeyedOp::Kind::Insert, t, t});
            w.insert(w.begin() + static_cast<std::ptrdiff_t>(t), {new_keys[t], npos});
        } else if (p > t) {
            ops.push_back({KeyedOp::Kind::Move, p, t});
            auto b = w.begin();
            std::rotate(b + static_cast<std::ptrdiff_t>(t), b + static_cast<std::ptrdiff_t>(p),
                        b + static_cast<std::ptrdiff_t>(p) + 1);
        }
    }
    origin.clear();
    for (std::size_t t = 0; t < new_keys.size(); ++t) origin.push_back(w[t].second);
}

TEST(KeyedPasses, FenwickMatchesPlainScanOnRandomLists) {
    std::mt19937 rng(20261210);
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

        Vector<KeyedOp> plain_ops;
        Vector<std::size_t> plain_origin;
        keyed_passes_plain(old_keys, new_keys, plain_ops, plain_origin);
        for (const KeyGroups::Index index : {KeyGroups::Index::Hashed, KeyGroups::Index::Sorted}) {
            Vector<KeyedOp> fast_ops;
            Vector<std::size_t> fast_origin;
            keyed_passes(KeyGroups(old_keys, index), new_keys, fast_ops, fast_origin);
            ASSERT_EQ(fast_ops, plain_ops) << "round " << round;
            ASSERT_EQ(fast_origin, plain_origin) << "round " << round;
        }
    }
}

// Eight-byte keys whose hashes all share their top 24 bits, made by running the key
// hash backwards from chosen hashes: every one lands in one run of the table.
std::vector<std::string> colliding_keys(std::size_t count) {
    constexpr std::uint64_t kMul = 0x9e3779b97f4a7c15u;
    std::uint64_t inverse = kMul;  // Newton's iteration for the inverse mod 2^64
    for (int i = 0; i < 6; ++i) inverse *= 2 - kMul * inverse;
    const std::uint64_t start = 9 * kMul;  // what the hash starts from for eight bytes
    std::vector<std::string> keys;
    for (std::uint64_t low = 1; keys.size() < count; ++low) {
        std::uint64_t h = (std::uint64_t{0x5a5a5a} << 40) | (low * 0x9e37 & ((std::uint64_t{1} << 40) - 1));
        h ^= h >> 32;
        h *= inverse;
        h ^= (h >> 29) ^ (h >> 58);
        h *= inverse;
        const std::uint64_t w = h ^ start;
        std::string key(8, '\0');
        for (int b = 0; b < 8; ++b) key[b] = static_cast<char>(w >> (8 * b));
        if (json::valid_utf8(key)) keys.push_back(key);
    }
    return keys;
}

// Keys chosen to collide make the index sort them: every key is still found, and a
// lookup costs O(log n) instead of a walk along one run that holds them all.
TEST(KeyGroups, CollidingKeysAreSorted) {
    const std::vector<std::string> texts = colliding_keys(3000);
    std::vector<std::string_view> keys(texts.begin(), texts.end());
    const KeyGroups groups(keys);
    EXPECT_TRUE(groups.sorted());
    EXPECT_FALSE(groups.repeats());
    for (std::size_t j = 0; j < keys.size(); ++j) ASSERT_EQ(groups.find(keys[j]), j);
    EXPECT_EQ(groups.find("absent"), npos);
    // Ordinary keys stay hashed.
    std::vector<std::string> plain;
    for (std::size_t j = 0; j < 3000; ++j) plain.push_back(std::string("k").append(std::to_string(j)));
    std::vector<std::string_view> plain_keys(plain.begin(), plain.end());
    EXPECT_FALSE(KeyGroups(plain_keys).sorted());
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
// Texts whose writing opens exactly `depth` levels, for each kind of content an op places.
std::string value_of_depth(std::size_t depth) {
    if (depth == 0) return R"("Null")";
    if (depth == 1) return R"({"Int":1})";
    return R"({"List":[)" + value_of_depth(depth - 2) + "]}";
}
std::string action_of_depth(std::size_t depth) {
    if (depth == 1) return R"({"kind":"js","handler":"h"})";
    if (depth == 2) return R"({"kind":"seq","actions":[]})";
    return R"({"kind":"seq","actions":[)" + action_of_depth(depth - 2) + "]}";
}
std::string binding_of_depth(std::size_t depth) {
    if (depth == 1) return R"({"mode":"one-way"})";
    return R"({"compute":)" + std::string(depth - 1, '[') + std::string(depth - 1, ']') + R"(,"mode":"one-way"})";
}
std::string map_of_depth(std::size_t depth) {
    if (depth < 3) return value_of_depth(depth);
    return R"({"Map":{"k":)" + map_of_depth(depth - 2) + "}}";
}
std::string node_of_depth(std::size_t depth) {
    if (depth == 1) return R"({"tag":"x"})";
    return R"({"tag":"x","props":{"p":)" + value_of_depth(depth - 2) + "}}";
}
// A node whose depth lies in a handler, below a child that carries a binding.
std::string node_with_handler_of_depth(std::size_t depth) {
    return R"({"tag":"x","slots":{"s":[{"tag":"y","bindings":{"b":{"mode":"one-way"}}}]},"events":{"e":)" +
           action_of_depth(depth - 2) + "}}";
}
std::string node_with_binding_of_depth(std::size_t depth) {
    return R"({"tag":"x","events":{"e":{"kind":"js","handler":"h"}},"bindings":{"b":)" +
           binding_of_depth(depth - 2) + "}}";
}

// What apply returns must read again: an op whose content would make the tree text nest
// past the reader's 127 levels fails, and one level less passes. The node at depth d
// (the root at 1) opens level 3d - 2.
TEST(ApplyDepth, WhatApplyReturnsReadsAgain) {
    struct Row {
        const char* what;
        std::size_t depth;  // of the op's target
        std::string body;   // of the op, after its path
        std::size_t level;  // the deepest level the tree would then open
    };
    const std::string at_once = R"("name":"p","options":{"once":true})";
    const Row rows[] = {
        {"SetProp at the limit", 40, R"("name":"p","value":)" + value_of_depth(8), 127},
        {"SetProp past it", 40, R"("name":"p","value":)" + value_of_depth(9), 128},
        {"SetProp Map at the limit", 40, R"("name":"p","value":)" + map_of_depth(8), 127},
        {"SetProp Map past it", 40, R"("name":"p","value":)" + map_of_depth(9), 128},
        {"SetProp Null on the deepest node", 43, R"("name":"p","value":"Null")", 128},
        {"SetProp Null one node up", 42, R"("name":"p","value":"Null")", 125},
        {"SetEvent at the limit", 40, R"("name":"e","action":)" + action_of_depth(8), 127},
        {"SetEvent past it", 40, R"("name":"e","action":)" + action_of_depth(9), 128},
        {"SetEventOptions one node up", 42, at_once, 126},
        {"SetEventOptions on the deepest node", 43, at_once, 129},
        {"SetBinding at the limit", 40, R"("name":"b","binding":)" + binding_of_depth(8), 127},
        {"SetBinding past it", 40, R"("name":"b","binding":)" + binding_of_depth(9), 128},
        {"InsertChild at the limit", 40, R"("slot":"t","index":0,"node":)" + node_of_depth(7), 127},
        {"InsertChild past it", 40, R"("slot":"t","index":0,"node":)" + node_of_depth(8), 128},
        {"InsertChild with a handler at the limit", 40,
         R"("slot":"t","index":0,"node":)" + node_with_handler_of_depth(7), 127},
        {"InsertChild with a handler past it", 40,
         R"("slot":"t","index":0,"node":)" + node_with_handler_of_depth(8), 128},
        {"InsertChild below the deepest node", 43, R"("slot":"t","index":0,"node":{"tag":"x"})", 130},
        {"Replace at the limit", 40, R"("node":)" + node_of_depth(10), 127},
        {"Replace past it", 40, R"("node":)" + node_of_depth(11), 128},
        {"Replace with a binding at the limit", 40, R"("node":)" + node_with_binding_of_depth(10), 127},
        {"Replace with a binding past it", 40, R"("node":)" + node_with_binding_of_depth(11), 128},
    };
    const char* names[] = {"SetProp", "SetEvent", "SetEventOptions", "SetBinding", "InsertChild", "Replace"};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::string tree = R"({"tag":"n"})", path;
        for (std::size_t d = 1; d < row.depth; ++d) {
            tree = R"({"tag":"n","slots":{"s":[)" + tree + "]}}";
            path += std::string(path.empty() ? "" : ",") + R"({"slot":"s","index":0})";
        }
        const std::string op_name = *std::find_if(std::begin(names), std::end(names), [&](const char* n) {
            return std::string_view(row.what).rfind(n, 0) == 0 && std::string_view(row.what)[std::strlen(n)] == ' ';
        });
        const std::string patch =
            R"({"ops":[{"SetKey":{"path":[],"key":"k"}},{")" + op_name + R"(":{"path":[)" + path + "]," + row.body + "}}]}";
        ASSERT_TRUE(node::read_tree(tree).ok());
        ASSERT_TRUE(read_patch_text(patch).ok()) << patch;
        const Result<std::string> checked = apply_json(tree, patch);
        // Unchecked, the same patch shows what the check refused or let pass.
        Result<node::Node> unchecked_tree = node::read_tree(tree);
        Result<Patch> unchecked_patch = read_patch_text(patch);
        ASSERT_TRUE(apply_patch(unchecked_tree.value(), unchecked_patch.value(), {.check_depth = false}).ok());
        json::Writer w;
        node::write_node(w, unchecked_tree.value());
        const Result<std::string> again = apply_json(w.out, R"({"ops":[]})");
        if (row.level <= 127) {
            ASSERT_TRUE(checked.ok()) << checked.error();
            EXPECT_EQ(checked.value(), w.out);
            EXPECT_TRUE(again.ok()) << again.error();
        } else {
            ASSERT_FALSE(checked.ok());
            EXPECT_EQ(checked.error(), "ops[1] (" + op_name + "): the tree would nest " + std::to_string(row.level) +
                                           " levels deep, deeper than the 127 levels a tree text may nest");
            ASSERT_FALSE(again.ok());
            EXPECT_EQ(again.error().rfind("recursion limit exceeded at line 1 column ", 0), 0u) << again.error();
        }
    }
}

// The tree text after applying patch_text with the given limits, or the message.
std::string applied_with(const std::string& tree_text, const std::string& patch_text, const ApplyLimits& limits) {
    Result<node::Node> tree = node::read_tree(tree_text);
    Result<Patch> patch = read_patch_text(patch_text);
    if (!tree.ok() || !patch.ok()) return "unreadable";
    Result<std::monostate> applied = apply_patch(tree.value(), patch.value(), limits);
    if (!applied.ok()) return "error: " + applied.error();
    json::Writer w;
    node::write_node(w, tree.value());
    return w.out;
}

// Random ops on a small tree (mostly in range, some not; some on a slot the root lacks
// or below a child): with every map and list changed in place, with every change kept
// aside until the ops are done, and with the limits between, the same tree or the
// very same message.
TEST(ApplyEdits, KeptAsideMatchInPlace) {
    std::mt19937 rng(20261211);
    auto below = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
    const std::string slots[] = {"a", "b", "c", "d"};
    const std::string names[] = {"p", "q", "r", "s", "t"};
    std::size_t ok = 0, failed = 0, serial = 0;
    for (int round = 0; round < 3000; ++round) {
        std::size_t length[4] = {below(6), below(4), 0, 0};  // "c" and "d" start absent
        std::string tree = R"({"tag":"root","props":{"q":"Null","s":{"Int":1}},"slots":{)";
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
            std::size_t s = below(10) < 6 ? 0 : 1 + below(3);
            std::size_t& n = length[s];
            auto index = [&](std::size_t limit) { return below(12) ? below(limit + 1) : limit + below(3); };
            std::string path = below(10) ? "[]" : R"([{"slot":"a","index":)" + std::to_string(below(3)) + "}]";
            std::string at = R"({"path":)" + path;
            std::string head = at + R"(,"slot":")" + slots[s] + '"';
            const std::string name = R"(,"name":")" + names[below(5)] + '"';
            std::size_t kind = below(30);
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
            } else if (kind < 21) {
                patch += R"({"SetProp":)" + at + name + R"(,"value":{"Int":)" + std::to_string(k) + "}}}";
            } else if (kind < 23) {
                patch += R"({"RemoveProp":)" + at + name + "}}";
            } else if (kind < 24) {
                patch += R"({"SetEvent":)" + at + name + R"(,"action":{"kind":"js","handler":"h)" +
                         std::to_string(k) + R"("}}})";
            } else if (kind < 25) {
                patch += R"({"RemoveEvent":)" + at + name + "}}";
            } else if (kind < 26) {
                patch += R"({"SetEventOptions":)" + at + name + R"(,"options":)" +
                         (below(2) ? R"({"once":true})" : "null") + "}}";
            } else if (kind < 27) {
                patch += R"({"SetBinding":)" + at + name + R"(,"binding":{"field":"f)" + std::to_string(k) +
                         R"(","mode":"one-way"}}})";
            } else if (kind < 28) {
                patch += R"({"RemoveBinding":)" + at + name + "}}";
            } else if (kind < 29) {
                patch += R"({"SetKey":)" + at + R"(,"key":"k)" + std::to_string(k) + R"("}})";
            } else {
                patch += R"({"Replace":{"path":)" + path + R"(,"node":{"tag":"put)" + std::to_string(serial++) +
                         R"(","slots":{"a":[{"tag":"leaf"}]}}}})";
            }
        }
        patch += "]}";

        const std::string in_place = applied_with(tree, patch, {.direct = std::numeric_limits<std::size_t>::max()});
        ASSERT_NE(in_place, "unreadable") << tree << '\n' << patch;
        for (const std::size_t direct : {0, 1, 2, 32})
            ASSERT_EQ(applied_with(tree, patch, {.direct = direct}), in_place)
                << "direct " << direct << '\n' << tree << '\n' << patch;
        ++(in_place.rfind("error: ", 0) == 0 ? failed : ok);
    }
    // Both outcomes are common enough to be compared.
    EXPECT_GT(ok, 600u);
    EXPECT_GT(failed, 600u);
}

// Long runs on long lists: inserts crowded into one place, removals that clear a
// whole stretch, and moves across the list, kept aside and one op at a time in place.
TEST(ApplyEdits, LongRunsMatchInPlace) {
    std::mt19937 rng(20261210);
    auto below = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
    std::size_t serial = 0;
    for (int round = 0; round < 12; ++round) {
        std::size_t n = 100 + below(500);
        std::string tree = R"({"tag":"root","slots":{"a":[)";
        for (std::size_t i = 0; i < n; ++i)
            tree += (i ? R"(,{"tag":"old)" : R"({"tag":"old)") + std::to_string(serial++) + R"("})";
        tree += "]}}";
        std::string patch = R"({"ops":[)";
        const std::size_t spot = below(n);
        for (std::size_t k = 0; k < 900; ++k) {
            if (k) patch += ',';
            const std::string head = R"({"path":[],"slot":"a")";
            const std::size_t phase = k / 300;  // crowd in, clear out, then move about
            if (phase == 0 || (phase == 2 && n < 2)) {
                const std::size_t i = std::min(n, spot + below(4));
                patch += R"({"InsertChild":)" + head + R"(,"index":)" + std::to_string(i) + R"(,"node":{"tag":"new)" +
                         std::to_string(serial++) + R"("}}})";
                ++n;
            } else if (phase == 1) {
                const std::size_t i = std::min(n - 1, spot / 2);
                patch += R"({"RemoveChild":)" + head + R"(,"index":)" + std::to_string(i) + "}}";
                --n;
            } else {
                patch += R"({"MoveChild":)" + head + R"(,"from":)" + std::to_string(below(n)) + R"(,"to":)" +
                         std::to_string(below(n)) + "}}";
            }
        }
        patch += "]}";
        const std::string in_place = applied_with(tree, patch, {.direct = std::numeric_limits<std::size_t>::max()});
        ASSERT_EQ(in_place.rfind(R"({"tag":"root")", 0), 0u) << in_place.substr(0, 200);
        ASSERT_EQ(applied_with(tree, patch, {.direct = 0}), in_place) << "round " << round;
        ASSERT_EQ(applied_with(tree, patch, {}), in_place) << "round " << round;
    }
}

}  // namespace
}  // namespace vorlan::diff

// diff_json against plain_diff_json (plain_diff.hpp) on tree pairs whose new text
// holds many subtrees of the old one byte for byte: moved, duplicated, deeper or
// shallower, next to subtrees that read alike but are spelled otherwise.
namespace vorlan {
namespace {

std::string outcome(const Result<std::string>& r) { return r.ok() ? "ok: " + r.value() : "error: " + r.error(); }

// A JSON string of s (UTF-8): escaping only what must be, or every character.
std::string quoted(std::string_view s, bool escaped) {
    std::string out = "\"";
    for (const char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        if (static_cast<unsigned char>(c) >= 0x20) {
            out += c;
            continue;
        }
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
        out += buf;
    }
    out += '"';
    return escaped ? fuzz::respell_strings(out) : out;
}

// The diff replaces a vor-show whose slots changed and a vor-each whose slots or props did.
const char* const kTags[] = {"div", "li", "span", "x-card", "\xc3\xa9t\xc3\xa9", "a\"b", "vor-show", "vor-each"};
const char* const kWords[] = {"", "a", "label", "\xc3\xa9", "\xf0\x9f\x98\x80",
                              "q\"uote", "back\\slash", "line\nbreak", "tab\tand/slash"};
const char* const kNames[] = {"a", "b", "label", "\xc3\xa9"};
const char* const kSlotNames[] = {"", "s", "items", "footer"};
const char* const kInts[] = {"0", "-7", "42", "9223372036854775807", "-9223372036854775808"};
const char* const kSubmodels[] = {"0", "7", "18446744073709551615"};
// Several spellings of some values: 0.0 equals -0.0 and 0, 2.5 equals 2.50, 1.0 equals 1e0.
const char* const kFloats[] = {"0.0", "-0.0", "0", "1", "1.0", "1e0", "2.5", "2.50", "1E+2", "-1.25e-3", "1e16", "0.1"};
const char* const kEvents[] = {
    R"({"kind":"js","handler":"h"})",
    R"(["js","confetti"])",
    R"({"kind":"set-field","field":"n","value":{"expr":"lit","value":1}})",
    R"({"kind":"set-field","field":"n","value":{"expr":"lit","value":1.0}})",
    R"({"kind":"emit","event":"e","detail":{"expr":"lit","value":{"k":[1,"a long literal text"]}}})",
    R"({"kind":"toggle","target":{"ref":"this"},"prop":"open"})",
    R"(["set-field","q",["event"]])",
    R"({"kind":"seq","actions":[{"kind":"js","handler":"a"},{"kind":"refresh"}]})",
};
const char* const kOptions[] = {"{}", R"({"once":true})", "[true,null,false]", R"({"capture":false,"passive":true})",
                                R"({"once":true,"capture":null})"};
const char* const kBindings[] = {
    R"({"field":"name","mode":"two-way","event":"input"})",
    R"({"compute":{"expr":"field","name":"x"},"mode":"one-way"})",
    R"({"mode":"one-way","scale":1})",
    R"({"mode":"one-way","scale":1.0})",
    R"(["f",null,"two-way"])",
};
const char* const kPads[] = {" ", "\n", " \n\t", "\r\n  "};
// Members that make a node unreadable, each in its own way.
const char* const kBreaks[] = {
    R"("props":{"p":{"Int":1.5}})", R"("tag":"again")", R"("slots":{"s":[null]})",
    R"("key":7)", R"("events":{"click":{"kind":"nope"}})", R"("bindings":{"v":{}})",
};
// What may follow a whole tree text to make it unreadable.
const char* const kTails[] = {" x", ",", "}", "\n\n  ]", "{\"tag\":\"a\"}"};

struct Member {
    std::string name;
    std::string text;  // the value as written
};

struct Tree;
struct Slot {
    std::string name;
    std::vector<Tree> children;
};

// A node as the generator writes it: what it reads as, and how it is spelled.
struct Tree {
    std::string tag;
    std::optional<std::string> key;
    std::vector<Member> props, events, options, bindings;
    std::vector<Slot> slots;  // a name may repeat: the last one read wins
    // None of these changes what a readable node reads as.
    bool array_form = false;
    bool escaped = false;                            // tag, key and member names as \u escapes
    std::array<int, 7> order{0, 1, 2, 3, 4, 5, 6};  // of the object form's members
    std::string pad;                                 // whitespace after the node's own punctuation
    bool explicit_empty = false;                     // empty members written (null, {})
    std::string skipped;                             // an undeclared member's value, passed over
    std::string broken;                              // a member that makes the node unreadable
};

constexpr std::string_view kFieldNames[7] = {"tag", "key", "props", "slots", "events", "event_options", "bindings"};

// Node texts as written, with their depths (the root at 1).
using Spans = std::vector<std::pair<std::string, int>>;

std::string render(const Tree& t, int depth, Spans* spans) {
    const std::string& p = t.pad;
    auto map = [&](const std::vector<Member>& members) {
        std::string s = "{" + p;
        for (std::size_t i = 0; i < members.size(); ++i) {
            if (i) s += "," + p;
            s += quoted(members[i].name, t.escaped) + ":" + p + members[i].text;
        }
        return s + p + "}";
    };
    std::string slots = "{";
    for (std::size_t i = 0; i < t.slots.size(); ++i) {
        if (i) slots += "," + p;
        slots += quoted(t.slots[i].name, t.escaped) + ":[" + p;
        for (std::size_t j = 0; j < t.slots[i].children.size(); ++j) {
            if (j) slots += "," + p;
            slots += render(t.slots[i].children[j], depth + 1, spans);
        }
        slots += "]";
    }
    slots += "}";
    const std::string fields[7] = {quoted(t.tag, t.escaped), t.key ? quoted(*t.key, t.escaped) : "null",
                                   map(t.props), slots, map(t.events), map(t.options), map(t.bindings)};
    const bool present[7] = {true, t.key.has_value(), !t.props.empty(), !t.slots.empty(),
                             !t.events.empty(), !t.options.empty(), !t.bindings.empty()};
    std::string s;
    if (t.array_form && t.broken.empty()) {
        std::size_t n = 7;
        if (!t.explicit_empty)
            while (!present[n - 1]) --n;
        s = "[" + p;
        for (std::size_t i = 0; i < n; ++i) s += (i ? "," + p : "") + fields[i];
        s += p + "]";
    } else {
        s = "{" + p;
        bool first = true;
        auto put = [&](std::string_view name, const std::string& value) {
            if (!first) s += "," + p;
            first = false;
            s += quoted(name, t.escaped) + ":" + p + value;
        };
        for (int i : t.order)
            if (present[i] || t.explicit_empty) put(kFieldNames[i], fields[i]);
        if (!t.skipped.empty()) put("children", t.skipped);
        if (!t.broken.empty()) s += "," + t.broken;
        s += p + "}";
    }
    if (spans) spans->emplace_back(s, depth);
    return s;
}

class Gen {
public:
    explicit Gen(std::uint32_t seed) : rng_(seed) {}

    std::size_t below(std::size_t n) { return rng_() % n; }
    bool one_in(std::size_t n) { return below(n) == 0; }
    template <class T, std::size_t N>
    const T& pick(const T (&a)[N]) {
        return a[below(N)];
    }
    std::mt19937& rng() { return rng_; }

    // Mostly fresh, now and then one that is likely taken already.
    std::string key() { return "k" + std::to_string(one_in(10) ? below(3) : serial_++); }

    std::string value(int depth) {
        switch (below(depth < 2 ? 9 : 7)) {
            case 0: return one_in(2) ? R"("Null")" : R"({"Null":null})";
            case 1: return one_in(2) ? R"({"Bool":true})" : R"({"Bool":false})";
            case 2: return std::string(R"({"Int":)") + pick(kInts) + "}";
            case 3:
            case 4: return std::string(R"({"Float":)") + pick(kFloats) + "}";
            case 5: return R"({"Str":)" + quoted(pick(kWords), one_in(4)) + "}";
            case 6: return std::string(R"({"Submodel":)") + pick(kSubmodels) + "}";
            case 7: {
                std::string s = R"({"List":[)";
                for (std::size_t n = below(4), i = 0; i < n; ++i) s += (i ? "," : "") + value(depth + 1);
                return s + "]}";
            }
            default: {
                std::string s = R"({"Map":{)";
                for (std::size_t n = below(4), i = 0; i < n; ++i)
                    s += (i ? "," : "") + quoted(pick(kNames), false) + ":" + value(depth + 1);
                return s + "}}";
            }
        }
    }

    // A node at `level` (the root at 1) with at most about `budget` nodes below it, none below level 4.
    Tree tree(int level, int& budget) {
        Tree t;
        t.tag = pick(kTags);
        if (one_in(3)) t.key = key();
        for (std::size_t n = below(4); n-- > 0;) t.props.push_back({pick(kNames), value(0)});
        if (one_in(5)) t.events.push_back({"click", pick(kEvents)});
        if (one_in(7)) t.options.push_back({"click", pick(kOptions)});
        if (one_in(6)) t.bindings.push_back({"value", pick(kBindings)});
        for (std::size_t s = level == 1 ? 1 + below(2) : level < 4 ? below(3) : 0; s-- > 0 && budget > 0;) {
            Slot slot{pick(kSlotNames), {}};
            // Keyed lists, unkeyed ones, and now and then a mix.
            const std::size_t keyed = below(3);
            // Lists longer than 8 too: where a new list may look its old children up by key.
            for (std::size_t n = (level == 1) + (one_in(8) ? 9 + below(12) : below(6)); n-- > 0 && budget-- > 0;) {
                Tree child = tree(level + 1, budget);
                if (keyed == 0) child.key = key();
                else if (keyed == 1) child.key.reset();
                slot.children.push_back(std::move(child));
            }
            t.slots.push_back(std::move(slot));
        }
        respell(t);
        if (one_in(20)) {
            int small = 2;
            t.skipped = "[" + render(tree(4, small), 0, nullptr) + "]";
        }
        return t;
    }

    void respell(Tree& t) {
        t.array_form = one_in(5);
        t.escaped = one_in(8);
        if (one_in(3)) std::shuffle(t.order.begin(), t.order.end(), rng_);
        t.pad = one_in(4) ? pick(kPads) : "";
        t.explicit_empty = one_in(8);
    }

private:
    std::mt19937 rng_;
    std::size_t serial_ = 0;
};

struct Place {
    Tree* node;
    Tree* parent;  // nullptr at the root
    std::size_t slot = 0, index = 0;
    std::size_t size = 0;  // of the subtree: the places [i, i + size) lie within it
};

void collect(Tree& t, Tree* parent, std::size_t slot, std::size_t index, std::vector<Place>& out) {
    const std::size_t at = out.size();
    out.push_back({&t, parent, slot, index});
    for (std::size_t s = 0; s < t.slots.size(); ++s)
        for (std::size_t i = 0; i < t.slots[s].children.size(); ++i) collect(t.slots[s].children[i], &t, s, i, out);
    out[at].size = out.size() - at;
}

// One change to the tree: most keep most subtrees as they were written.
void mutate(Gen& g, Tree& root) {
    std::vector<Place> places;
    collect(root, nullptr, 0, 0, places);
    const std::size_t at = g.below(places.size());
    const Place& p = places[at];
    Tree& t = *p.node;
    std::vector<Tree>* siblings = p.parent ? &p.parent->slots[p.slot].children : nullptr;
    auto slot_of = [&](Tree& n) -> std::vector<Tree>& {
        if (n.slots.empty() || g.one_in(4)) n.slots.push_back({g.pick(kSlotNames), {}});
        return n.slots[g.below(n.slots.size())].children;
    };
    auto insert_somewhere = [&](std::vector<Tree>& list, Tree node) {
        list.insert(list.begin() + static_cast<std::ptrdiff_t>(g.below(list.size() + 1)), std::move(node));
    };
    switch (g.below(17)) {
        case 0:  // a prop added, removed or set
            if (t.props.empty() || g.one_in(3)) t.props.push_back({g.pick(kNames), g.value(0)});
            else if (g.one_in(3)) t.props.erase(t.props.begin() + static_cast<std::ptrdiff_t>(g.below(t.props.size())));
            else t.props[g.below(t.props.size())].text = g.value(0);
            break;
        case 1:  // a prop value spelled otherwise
            if (!t.props.empty()) {
                std::string& text = t.props[g.below(t.props.size())].text;
                text = fuzz::respell_strings(text);
            }
            break;
        case 2: {  // a fresh subtree inserted
            int budget = 3;
            insert_somewhere(slot_of(t), g.tree(3, budget));
            break;
        }
        case 3:  // a child removed
            if (siblings) siblings->erase(siblings->begin() + static_cast<std::ptrdiff_t>(p.index));
            break;
        case 4:  // a child moved within its list
            if (siblings) {
                Tree moved = std::move(t);
                siblings->erase(siblings->begin() + static_cast<std::ptrdiff_t>(p.index));
                insert_somewhere(*siblings, std::move(moved));
            }
            break;
        case 5:  // a list reordered
            if (!t.slots.empty()) {
                std::vector<Tree>& list = t.slots[g.below(t.slots.size())].children;
                if (g.one_in(2)) std::reverse(list.begin(), list.end());
                else std::shuffle(list.begin(), list.end(), g.rng());
            }
            break;
        case 6: {  // two subtrees swapped, neither within the other
            const std::size_t other = g.below(places.size());
            const Place& q = places[other];
            if (other >= at + p.size || at >= other + q.size) std::swap(t, *q.node);
            break;
        }
        case 7:  // a subtree one level deeper: under a new parent, or into a sibling
            if (siblings) {
                Tree moved = std::move(t);
                if (siblings->size() > 1 && g.one_in(2)) {
                    siblings->erase(siblings->begin() + static_cast<std::ptrdiff_t>(p.index));
                    insert_somewhere(slot_of((*siblings)[g.below(siblings->size())]), std::move(moved));
                } else {
                    Tree wrapper;
                    wrapper.tag = g.pick(kTags);
                    wrapper.slots.push_back({g.pick(kSlotNames), {}});
                    wrapper.slots[0].children.push_back(std::move(moved));
                    t = std::move(wrapper);
                }
            }
            break;
        case 8:  // a subtree one level shallower: beside its parent
            if (p.parent) {
                const auto parent = std::find_if(places.begin(), places.end(),
                                                 [&](const Place& q) { return q.node == p.parent; });
                if (!parent->parent) break;
                std::vector<Tree>& uncles = parent->parent->slots[parent->slot].children;
                Tree moved = std::move(t);
                siblings->erase(siblings->begin() + static_cast<std::ptrdiff_t>(p.index));
                uncles.insert(uncles.begin() + static_cast<std::ptrdiff_t>(parent->index + g.below(2)),
                              std::move(moved));
            }
            break;
        case 9: t.escaped = !t.escaped; break;
        case 10: t.pad = t.pad.empty() || g.one_in(2) ? g.pick(kPads) : ""; break;
        case 11: t.array_form = !t.array_form; break;
        case 12: {  // a subtree duplicated: the same bytes at two places
            Tree copy = t;
            insert_somewhere(slot_of(*places[g.below(places.size())].node), std::move(copy));
            break;
        }
        case 13:
            if (g.one_in(2)) t.tag = g.pick(kTags);
            else if (t.key && g.one_in(2)) t.key.reset();
            else t.key = g.key();
            break;
        case 14:
            std::shuffle(t.order.begin(), t.order.end(), g.rng());
            if (g.one_in(3)) t.explicit_empty = !t.explicit_empty;
            break;
        case 15: {  // an event, its options or a binding set or removed
            const std::size_t which = g.below(3);
            std::vector<Member>& list = which == 0 ? t.events : which == 1 ? t.options : t.bindings;
            if (!list.empty() && g.one_in(2)) list.clear();
            else list = {{which == 2 ? "value" : "click",
                          which == 0 ? g.pick(kEvents) : which == 1 ? g.pick(kOptions) : g.pick(kBindings)}};
            break;
        }
        default:  // a copy of a node where the reader passes over it
            t.skipped = "[" + render(*places[g.below(places.size())].node, 0, nullptr) + "]";
            break;
    }
}

// Makes the tree's text unreadable somewhere, often after subtrees that are shared.
void spoil(Gen& g, Tree& root, std::string& text) {
    switch (g.below(3)) {
        case 0: {
            std::vector<Place> places;
            collect(root, nullptr, 0, 0, places);
            places[g.below(places.size())].node->broken = g.pick(kBreaks);
            text = render(root, 1, nullptr);
            break;
        }
        case 1: text += g.pick(kTails); break;
        default: text.resize(text.size() / 2 + g.below(text.size() - text.size() / 2)); break;
    }
}

// Every sample above must read, or the pairs built from it would only compare messages.
TEST(SharedSubtrees, SamplesRead) {
    for (const char* e : kEvents)
        EXPECT_TRUE(node::read_tree(std::string(R"({"tag":"x","events":{"click":)") + e + "}}").ok()) << e;
    for (const char* o : kOptions)
        EXPECT_TRUE(node::read_tree(std::string(R"({"tag":"x","event_options":{"click":)") + o + "}}").ok()) << o;
    for (const char* b : kBindings)
        EXPECT_TRUE(node::read_tree(std::string(R"({"tag":"x","bindings":{"v":)") + b + "}}").ok()) << b;
    for (const char* b : kBreaks)
        EXPECT_FALSE(node::read_tree(std::string(R"({"tag":"x",)") + b + "}").ok()) << b;
}

TEST(SharedSubtrees, RandomPairsMatchFullReads) {
    Gen g(20270301);
    std::size_t ok = 0, failed = 0, shared = 0, deeper = 0, shallower = 0, doubled = 0, spoiled_after_shared = 0;
    for (int round = 0; round < 3000; ++round) {
        int budget = 2 + static_cast<int>(g.below(g.one_in(4) ? 120 : 40));
        Tree old_root = g.tree(1, budget);
        Spans old_spans;
        std::string old_text = render(old_root, 1, &old_spans);

        Tree new_root = old_root;
        for (std::size_t n = g.one_in(12) ? 0 : 1 + g.below(4); n-- > 0;) mutate(g, new_root);
        Spans new_spans;
        std::string new_text = render(new_root, 1, &new_spans);
        if (g.one_in(8)) spoil(g, new_root, new_text);
        else if (g.one_in(40)) spoil(g, old_root, old_text);
        if (g.one_in(10)) new_text = (g.one_in(2) ? " " : "\n") + new_text + g.pick(kPads);

        Result<std::string> got = diff_json(old_text, new_text);
        ASSERT_EQ(outcome(got), outcome(plain_diff_json(old_text, new_text)))
            << "round " << round << "\nold: " << old_text << "\nnew: " << new_text;
        ++(got.ok() ? ok : failed);

        // What the pair offers a reader that shares: subtrees (below the root) that keep
        // their bytes, moved deeper or shallower, or written twice in the new text.
        std::map<std::string_view, std::pair<int, int>> old_depths;  // least, greatest
        for (const auto& [text, depth] : old_spans) {
            auto [it, fresh] = old_depths.try_emplace(text, depth, depth);
            if (!fresh) it->second = {std::min(it->second.first, depth), std::max(it->second.second, depth)};
        }
        std::map<std::string_view, int> new_count;
        bool any = false, down = false, up = false, twice = false;
        for (const auto& [text, depth] : new_spans) {
            const auto it = old_depths.find(text);
            if (depth == 1 || it == old_depths.end()) continue;
            any = true;
            down |= depth > it->second.second;
            up |= depth < it->second.first;
            twice |= ++new_count[text] == 2;
        }
        shared += any;
        deeper += down;
        shallower += up;
        doubled += twice;
        spoiled_after_shared += any && !got.ok();
    }
    // Each kind of pair is common enough to have been compared.
    EXPECT_GT(ok, 2000u);
    EXPECT_GT(failed, 300u);
    EXPECT_GT(shared, 2600u);
    EXPECT_GT(deeper, 450u);
    EXPECT_GT(shallower, 250u);
    EXPECT_GT(doubled, 300u);
    EXPECT_GT(spoiled_after_shared, 250u);
    std::printf("pairs: %zu read, %zu failed; shared subtrees in %zu: deeper %zu, shallower %zu, twice %zu, "
                "unreadable %zu\n",
                ok, failed, shared, deeper, shallower, doubled, spoiled_after_shared);
}

// Every new list may be read against the same old one when no new key is found among
// its siblings: the old list is indexed by key once, not once per new list it guides.
TEST(SharedSubtrees, OneOldListGuidingManyIsIndexedOnce) {
    std::string old_text = R"({"tag":"ul","slots":{"items":[{"tag":"li","key":"old","slots":{"kids":[)";
    for (int i = 0; i < 1000; ++i)
        old_text += (i ? "," : "") + std::string(R"({"tag":"i","key":"c)") + std::to_string(i) + R"("})";
    old_text += "]}}]}}";
    std::string new_text = R"({"tag":"ul","slots":{"items":[)";
    for (int i = 0; i < 200; ++i)
        new_text += (i ? "," : "") + std::string(R"({"tag":"li","key":"k)") + std::to_string(i) +
                    R"(","slots":{"kids":[{"tag":"b","key":"c0"}]}})";
    new_text += "]}}";
    Result<node::Node> old_tree = node::read_tree(old_text, node::Use::Compare);
    ASSERT_TRUE(old_tree.ok());
    KeyIndex keys;
    ASSERT_TRUE(node::read_tree_against(new_text, old_tree.value(), keys).ok());
    EXPECT_EQ(keys.size(), 1u);
    EXPECT_EQ(outcome(diff_json(old_text, new_text)), outcome(plain_diff_json(old_text, new_text)));
}

// A chain of nodes through slot "s" holding `inner` at depth `depth` (the root at 1);
// `sep` follows each opening bracket of a list, `root_extra` the root's tag.
std::string chain(int depth, const std::string& inner, const std::string& sep = "",
                  const std::string& root_extra = "") {
    std::string s = inner;
    for (int d = depth - 1; d >= 1; --d)
        s = R"({"tag":"n")" + (d == 1 ? root_extra : "") + R"(,"slots":{"s":[)" + sep + s + "]}}";
    return s;
}

// A subtree next to the nesting limit, moved about or respelled: the new tree must
// read exactly as a full read of it does, whichever of its subtrees keep their bytes.
TEST(SharedSubtrees, DepthLimit) {
    struct Subtree {
        std::string text;  // holds the string "a" once
        int below;         // JSON levels under its own node object
    };
    const Subtree subtrees[] = {
        {R"({"tag":"leaf","key":"a"})", 0},
        {R"({"tag":"p","slots":{"s":[{"tag":"a"}]}})", 3},
        {R"({"tag":"p","props":{"p":{"List":[{"List":[{"Str":"a"}]}]}}})", 6},
    };
    enum class Expect { Patch, NoOps, TooDeep };
    for (const Subtree& sub : subtrees) {
        // The node at depth d opens JSON level 3d - 2; the last level that opens is kDepthLimit - 1.
        const int deepest = (json::kDepthLimit + 1 - sub.below) / 3;
        std::string escaped = sub.text, spaced = sub.text;
        escaped.replace(escaped.find("\"a\""), 3, R"("\u0061")");
        spaced.insert(1, "\n ");
        const std::string at_limit = chain(deepest, sub.text);
        struct Row {
            const char* what;
            std::string old_text, new_text;
            Expect expect;
        };
        const Row rows[] = {
            {"one level deeper, past the limit", at_limit, chain(deepest + 1, sub.text, "\n"), Expect::TooDeep},
            {"the whole old tree one level deeper", at_limit, R"({"tag":"r","slots":{"s":[)" + at_limit + "]}}",
             Expect::TooDeep},
            {"one level deeper, to the limit", chain(deepest - 1, sub.text), chain(deepest, sub.text, "\n"),
             Expect::Patch},
            {"the same depth, at the limit", at_limit, chain(deepest, sub.text, " ", R"(,"props":{"p":"Null"})"),
             Expect::Patch},
            {"one level shallower", at_limit, chain(deepest - 1, sub.text), Expect::Patch},
            {"a string escaped", at_limit, chain(deepest, escaped), Expect::NoOps},
            {"whitespace inside", at_limit, chain(deepest, spaced), Expect::NoOps},
        };
        for (const Row& row : rows) {
            SCOPED_TRACE(sub.text + ": " + row.what);
            ASSERT_TRUE(node::read_tree(row.old_text).ok());
            Result<std::string> got = diff_json(row.old_text, row.new_text);
            EXPECT_EQ(outcome(got), outcome(plain_diff_json(row.old_text, row.new_text)));
            switch (row.expect) {
                case Expect::Patch:
                    EXPECT_TRUE(got.ok() && got.value() != R"({"ops":[]})") << outcome(got);
                    break;
                case Expect::NoOps: EXPECT_EQ(outcome(got), R"(ok: {"ops":[]})"); break;
                case Expect::TooDeep: {
                    Result<node::Node> full = node::read_tree(row.new_text);
                    ASSERT_FALSE(full.ok());
                    EXPECT_EQ(full.error().rfind("recursion limit exceeded at line ", 0), 0u) << full.error();
                    EXPECT_EQ(outcome(got), "error: " + full.error());
                    break;
                }
            }
        }
    }
}

}  // namespace
}  // namespace vorlan
