#pragma once
// The patch document (paths, the twelve ops, the patch), its JSON reader and
// writer, the tree diff that makes a patch and the application that runs one.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "action.hpp"
#include "binding.hpp"
#include "box.hpp"
#include "drovane/value.hpp"
#include "arena.hpp"
#include "json/json.hpp"
#include "node.hpp"
#include "result.hpp"

namespace vorlan::diff {

struct PathSeg {
    String slot;
    std::uint64_t index = 0;
    friend bool operator==(const PathSeg&, const PathSeg&) = default;
};

using Path = Vector<PathSeg>;

struct SetProp {
    Path path;
    String name;
    drovane::Value value;
};
struct RemoveProp {
    Path path;
    String name;
};
struct SetEvent {
    Path path;
    String name;
    Box<action::Action> action;
};
struct RemoveEvent {
    Path path;
    String name;
};
struct SetEventOptions {
    Path path;
    String name;
    std::optional<node::EventOptions> options;  // nothing removes them
};
struct SetBinding {
    Path path;
    String name;
    Box<node::Binding> binding;
};
struct RemoveBinding {
    Path path;
    String name;
};
struct SetKey {
    Path path;
    std::optional<String> key;  // nothing clears it
};
struct InsertChild {
    Path path;  // of the parent
    String slot;
    std::uint64_t index = 0;
    Box<node::Node> node;
};
struct RemoveChild {
    Path path;  // of the parent
    String slot;
    std::uint64_t index = 0;
};
struct MoveChild {
    Path path;  // of the parent
    String slot;
    std::uint64_t from = 0;
    std::uint64_t to = 0;  // counted after the child was taken out
};
struct Replace {
    Path path;
    Box<node::Node> node;
};

// Alternative order is the variant order of the names in messages. The large
// payloads are boxed so that an op stays small in the op list.
using Op = std::variant<SetProp, RemoveProp, SetEvent, RemoveEvent, SetEventOptions, SetBinding, RemoveBinding,
                        SetKey, InsertChild, RemoveChild, MoveChild, Replace>;

struct Patch {
    Vector<Op> ops;
};

std::string_view op_name(const Op& op);

// ---- writing --------------------------------------------------------------

void write_path_seg(json::Writer& w, const PathSeg& seg);
void write_op(json::Writer& w, const Op& op);
void write_ops(json::Writer& w, const Vector<Op>& ops);  // {"ops":[...]}

// ---- reading --------------------------------------------------------------

bool read_path_seg(json::Reader& r, PathSeg& out);
bool read_op(json::Reader& r, Op& out);  // one element of the op list
bool read_patch(json::Reader& r, Patch& out);
// A whole patch text: one Patch, then only whitespace. The message carries its position.
Result<Patch> read_patch_text(std::string_view text);

// ---- diff -----------------------------------------------------------------

// A copy of path followed by the step {slot, index}.
Path child_path(const Path& path, std::string_view slot, std::uint64_t index);

// Appends the ops that turn old_node into new_node (addressed by path) to ops.
// new_node is consumed: the values and subtrees the ops carry are moved out of it.
void diff_node(const Path& path, const node::Node& old_node, node::Node& new_node, Vector<Op>& ops);

// The removal and placement passes of keyed matching over one slot, given the keys
// of the old and the new list. Appends RemoveChild, MoveChild and InsertChild ops
// (InsertChild with an empty node, filled by the caller) and sets origin[t] to the
// old position matched with new position t, or npos for an inserted child.
inline constexpr std::size_t npos = static_cast<std::size_t>(-1);
void keyed_passes(const Path& path, std::string_view slot, const std::vector<std::string_view>& old_keys,
                  const std::vector<std::string_view>& new_keys, Vector<Op>& ops,
                  std::vector<std::size_t>& origin);

// ---- application ----------------------------------------------------------

// The deepest tree (in node levels, the root being level 1) that apply builds:
// the deepest one a tree text can hold under the reader's nesting limit.
inline constexpr std::size_t max_tree_depth = (json::kDepthLimit - 1 + 2) / 3;

// Applies every op in order, changing tree in place; the carried values are moved
// out of patch. On failure the tree is half changed and must be dropped.
Result<std::monostate> apply_patch(node::Node& tree, Patch& patch);

}  // namespace vorlan::diff
