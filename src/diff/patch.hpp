#pragma once
// The patch document: paths, the twelve ops and the patch, with their JSON
// writer and reader.
#include <cstddef>
#include <cstdint>
#include <iterator>
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

// The variant names, in variant order.
inline constexpr std::string_view kOpNames[] = {"SetProp",         "RemoveProp",  "SetEvent",      "RemoveEvent",
                                                "SetEventOptions", "SetBinding",  "RemoveBinding", "SetKey",
                                                "InsertChild",     "RemoveChild", "MoveChild",     "Replace"};
static_assert(std::size(kOpNames) == std::variant_size_v<Op>);

inline std::string_view op_name(const Op& op) { return kOpNames[op.index()]; }

// A visitor of ops made of one lambda per variant.
template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

void write_path_seg(json::Writer& w, const PathSeg& seg);
void write_path_seg(json::Writer& w, std::string_view slot, std::uint64_t index);
void write_op(json::Writer& w, const Op& op);
void write_ops(json::Writer& w, const Vector<Op>& ops);  // {"ops":[...]}

// One op's text from its parts, for a writer that holds no Op: the diff writes each op
// as it finds it. `path` is the text between the brackets of the op's path.
namespace op_text {
void set_prop(json::Writer& w, std::string_view path, std::string_view name, const drovane::Value& value);
void remove_prop(json::Writer& w, std::string_view path, std::string_view name);
void set_event(json::Writer& w, std::string_view path, std::string_view name, const action::Action& action);
void remove_event(json::Writer& w, std::string_view path, std::string_view name);
// options null: the options are removed.
void set_event_options(json::Writer& w, std::string_view path, std::string_view name,
                       const node::EventOptions* options);
void set_binding(json::Writer& w, std::string_view path, std::string_view name, const node::Binding& binding);
void remove_binding(json::Writer& w, std::string_view path, std::string_view name);
// key none: the key is cleared.
void set_key(json::Writer& w, std::string_view path, std::optional<std::string_view> key);
void insert_child(json::Writer& w, std::string_view path, std::string_view slot, std::uint64_t index,
                  const node::Node& node);
void remove_child(json::Writer& w, std::string_view path, std::string_view slot, std::uint64_t index);
void move_child(json::Writer& w, std::string_view path, std::string_view slot, std::uint64_t from,
                std::uint64_t to);
void replace(json::Writer& w, std::string_view path, const node::Node& node);
}  // namespace op_text

bool read_path_seg(json::Reader& r, PathSeg& out);
bool read_op(json::Reader& r, Op& out);  // one element of the op list
bool read_patch(json::Reader& r, Patch& out);
// A whole patch text: one Patch, then only whitespace. The message carries its position.
Result<Patch> read_patch_text(std::string_view text);

}  // namespace vorlan::diff
