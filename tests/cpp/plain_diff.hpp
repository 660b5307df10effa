#pragma once
// diff_json composed plainly from the core's pieces: both trees read in full, then
// diffed and written. The operation may take shortcuts on the way (reading the new
// tree against the old one); its text and its messages must still be these, byte
// for byte. Used by the C++ tests and by fuzz/fuzz_diff.cpp.
#include <string>
#include <string_view>
#include <utility>

#include "arena.hpp"
#include "diff/diff.hpp"
#include "result.hpp"

namespace vorlan {

inline Result<std::string> plain_diff_json(std::string_view old_tree, std::string_view new_tree) {
    return guarded([&]() -> Result<std::string> {
        // Declared after the scope, the records are destroyed before its arena is.
        ArenaScope arena;
        Result<node::Node> old_read = node::read_tree(old_tree);
        if (!old_read.ok()) return old_read.failure();
        Result<node::Node> new_read = node::read_tree(new_tree);
        if (!new_read.ok()) return new_read.failure();
        json::Writer w;
        diff::diff_node(old_read.value(), new_read.value(), w);
        return std::move(w.out);
    });
}

}  // namespace vorlan
