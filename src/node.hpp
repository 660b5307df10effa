#pragma once
// One element of a component tree and the listener options of its events.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "action.hpp"
#include "arena_list.hpp"
#include "binding.hpp"
#include "drovane/value.hpp"
#include "arena.hpp"
#include "json/json.hpp"
#include "result.hpp"

namespace vorlan {
class KeyIndex;
}

namespace vorlan::node {

struct EventOptions {
    std::optional<bool> capture;
    std::optional<bool> once;
    std::optional<bool> passive;
};

// A handler or binding as read from a tree: checked once, in full, and kept as its
// text, which the operation's inputs hold for as long as the tree lives. Most are
// never looked at again (a diff compares their bytes, an op or a written tree wants
// a few), and as records they took about four times the room of their text.
// An op sets one as a record instead: record points into the op, which the
// operation keeps to its end. A text that is already what the writer writes
// (canonical) is written back as it stands.
template <class T>
struct Kept {
    std::string_view text;
    const T* record = nullptr;
    bool canonical = false;
};

// A node's key: a text, or none. None has no bytes at all, where a key, even an
// empty one, points somewhere.
class Key {
public:
    Key() = default;
    explicit Key(std::string_view text) : data_(text.data() ? text.data() : ""), size_(text.size()) {}

    explicit operator bool() const { return data_ != nullptr; }
    std::string_view operator*() const { return {data_, size_}; }
    friend bool operator==(const Key& a, const Key& b) { return a ? b && *a == *b : !b; }

private:
    const char* data_ = nullptr;
    std::size_t size_ = 0;
};

struct Node;
using NodeList = ArenaList<Node>;

// Texts view the text the tree was read from (or the arena, for one with escapes),
// which must outlive the tree. Maps are Entries (sorted arrays): small, read once in
// order, walked in key order by diff and equality.
struct Node {
    std::string_view tag;
    Key key;
    drovane::Props props;
    Entries<NodeList> slots;
    Entries<Kept<action::Action>> events;
    Entries<EventOptions> event_options;
    Entries<Kept<Binding>> bindings;

    // The node's text in the text it was read from (size 0: none, as for a node built
    // in code or a text of 2 GiB or more). A new tree read against an old one compares
    // these bytes to share whole subtrees.
    const char* span_data = nullptr;
    std::uint32_t span_size : 31 = 0;
    // The span is what write_node writes for this node, so it is written as it stands.
    // Learnt by a tree read to be written; anything that changes the node clears it.
    bool canonical : 1 = false;
    // Only while a patch is applied: which of the apply's pending edits are this node's
    // (0: none), and whether an op's path passed it, so that edits may wait below it.
    // They travel with the node wherever the ops move it.
    std::uint32_t pending : 31 = 0;
    bool pending_below : 1 = false;
    // Set in a tree read against an old tree: this node's text repeats the old node's
    // byte for byte, so it is that node and holds nothing itself. view() resolves it.
    const Node* shared = nullptr;
};

static_assert(sizeof(void*) != 8 || sizeof(Node) == 96);

inline constexpr std::size_t kMaxSpan = (std::size_t{1} << 31) - 1;

inline std::string_view span(const Node& n) { return {n.span_data, n.span_size}; }

// The node itself, or the old node it shares.
inline const Node& view(const Node& n) { return n.shared ? *n.shared : n; }

// Reads one Node where the reader stands (object or array form); it learns what is
// canonical when the reader wants that (Reader::want_canonical).
bool read_node(json::Reader& r, Node& out);
bool read_event_options(json::Reader& r, EventOptions& out);
// null reads as no options; anything else as EventOptions.
bool read_event_options_nullable(json::Reader& r, std::optional<EventOptions>& out);
void write_node(json::Writer& w, const Node& n);
// A kept handler or binding as a record: the one it holds, or one read into storage
// from its text (which was read before, so reads again without fault).
const action::Action& record_of(const Kept<action::Action>& k, action::Action& storage);
const Binding& record_of(const Kept<Binding>& k, Binding& storage);
void write_event_options(json::Writer& w, const EventOptions& o);

// What a tree is read for: to be written out again (apply), or only compared (diff),
// which need not learn which nodes and kept texts can be written back as they stand.
enum class Use { Write, Compare };

// A whole tree text: one Node, then only whitespace. The message carries its position.
Result<Node> read_tree(std::string_view text, Use use = Use::Write);
// The same, for comparing with old, sharing the subtrees of old whose text the new text
// repeats where the diff will compare them: the same result, messages and positions
// as read_tree, for much less work when most of the tree is unchanged. The text old
// was read from must still be there; keys holds the index of old's lists by key.
Result<Node> read_tree_against(std::string_view text, const Node& old, KeyIndex& keys);

bool operator==(const EventOptions& a, const EventOptions& b);
// Equal texts are equal values; different texts may still be (-0.0 and 0.0), so
// then the records decide.
bool operator==(const Kept<action::Action>& a, const Kept<action::Action>& b);
bool operator==(const Kept<Binding>& a, const Kept<Binding>& b);
bool operator==(const Node& a, const Node& b);

}  // namespace vorlan::node
