#include "wire.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include <msgpack/pack.hpp>

#include "json/json.hpp"
#include "json/key_order.hpp"
#include "json/walk.hpp"
#include "utf8.hpp"

namespace vorlan::wire {

Result<std::string_view> check_utf8(std::string_view s) {
    const std::size_t at = utf8::first_invalid(s);
    if (at == s.size()) return s;
    const int length = utf8::decode(s, at).error_length;
    if (length == 0) return fail("incomplete utf-8 byte sequence from index " + std::to_string(at));
    return fail("invalid utf-8 sequence of " + std::to_string(length) + " bytes from index " + std::to_string(at));
}

namespace {

template <int N>
using Width = std::integral_constant<int, N>;

// Each header in its most compact form: emit(marker, Width<N>) where N big-endian
// bytes of the number or length follow the marker. These size the payload before
// the library's packer writes it, which makes the same choices (Pack checks that
// the two agree to the byte).
template <class Emit>
auto uint_head(std::uint64_t n, Emit emit) {
    if (n < 128) return emit(static_cast<unsigned char>(n), Width<0>{});
    if (n < 256) return emit(0xcc, Width<1>{});
    if (n < 65536) return emit(0xcd, Width<2>{});
    if (n < (std::uint64_t{1} << 32)) return emit(0xce, Width<4>{});
    return emit(0xcf, Width<8>{});
}

template <class Emit>
auto int_head(std::int64_t n, Emit emit) {
    if (n >= 0) return uint_head(static_cast<std::uint64_t>(n), emit);
    if (n >= -32) return emit(static_cast<unsigned char>(n), Width<0>{});
    if (n >= -128) return emit(0xd0, Width<1>{});
    if (n >= -32768) return emit(0xd1, Width<2>{});
    if (n >= -(std::int64_t{1} << 31)) return emit(0xd2, Width<4>{});
    return emit(0xd3, Width<8>{});
}

template <class Emit>
auto float64_head(Emit emit) {
    return emit(0xcb, Width<8>{});
}

template <class Emit>
auto str_head(std::uint64_t n, Emit emit) {
    if (n < 32) return emit(static_cast<unsigned char>(0xa0 | n), Width<0>{});
    if (n < 256) return emit(0xd9, Width<1>{});
    if (n < 65536) return emit(0xda, Width<2>{});
    return emit(0xdb, Width<4>{});
}

template <class Emit>
auto array_head(std::uint64_t n, Emit emit) {
    if (n < 16) return emit(static_cast<unsigned char>(0x90 | n), Width<0>{});
    if (n < 65536) return emit(0xdc, Width<2>{});
    return emit(0xdd, Width<4>{});
}

template <class Emit>
auto map_head(std::uint64_t n, Emit emit) {
    if (n < 16) return emit(static_cast<unsigned char>(0x80 | n), Width<0>{});
    if (n < 65536) return emit(0xde, Width<2>{});
    return emit(0xdf, Width<4>{});
}

// The bytes a header takes.
constexpr auto head_size = [](unsigned char, auto width) -> std::uint64_t { return 1 + decltype(width)::value; };

constexpr std::size_t kInOrder = ~std::size_t{0};

}  // namespace

// One value of the document in text order; a container's elements (for a map, key
// and value by turns) follow it, so a map is re-ordered by indices, not by moving bytes.
struct Packing::Node {
    enum class Kind : std::uint8_t { Null, False, True, U64, I64, F64, Str, Array, Map };
    Kind kind;
    std::uint32_t n;  // string bytes or element count; cut only when the payload is refused as too large
    union {
        std::uint64_t u;
        std::int64_t i;
        double f;
        const char* s;
        std::size_t order;  // a map's first key index in the order list, or kInOrder
    };
};

Packing::Packing() = default;
Packing::Packing(Packing&&) noexcept = default;
Packing& Packing::operator=(Packing&&) noexcept = default;
Packing::~Packing() = default;

namespace {

// A builder over the reader's walk, so the document is read as a generic value
// would be (same messages and positions): records its nodes and the packed size.
class Scan {
public:
    static constexpr json::WalkRules rules = json::kRead;

    explicit Scan(std::string_view text) : text_(text) {}

    bool null() { return scalar(Node::Kind::Null); }
    bool boolean(bool b) { return scalar(b ? Node::Kind::True : Node::Kind::False); }
    bool number(const json::Number& n) {
        Node& it = out.nodes.emplace_back();
        switch (n.kind) {
            case json::Number::Kind::U64:
                it.kind = Node::Kind::U64;
                it.u = n.u;
                out.size += uint_head(n.u, head_size);
                break;
            case json::Number::Kind::I64:
                it.kind = Node::Kind::I64;
                it.i = n.i;
                out.size += int_head(n.i, head_size);
                break;
            case json::Number::Kind::F64:
                it.kind = Node::Kind::F64;
                it.f = n.f;
                out.size += float64_head(head_size);
                break;
        }
        return true;
    }
    bool string(std::string_view s) {
        record_string(s);
        return true;
    }
    bool begin_array() {
        open_[depth_++] = Open{out.nodes.size(), 0};
        out.nodes.push_back(Node{Node::Kind::Array, 0, {}});
        return true;
    }
    void element() { ++open_[depth_ - 1].count; }
    void end_array() {
        const Open level = open_[--depth_];
        out.nodes[level.at].n = static_cast<std::uint32_t>(level.count);
        out.size += array_head(level.count, head_size);
    }
    bool begin_object() {
        open_[depth_++] = Open{out.nodes.size(), members_.size()};
        out.nodes.push_back(Node{Node::Kind::Map, 0, {}});
        return true;
    }
    bool key(std::string_view k) {
        Member& m = members_.emplace_back(Member{{}, out.nodes.size(), out.size});
        m.key = record_string(k);
        return true;
    }
    void end_object();

    Packing out;  // held here rather than referred to: the scan's every step updates it

private:
    using Node = Packing::Node;
    // A member of a map being read: its key, the index of its key node, and the
    // packed size where it starts (its own packed bytes once they are needed).
    struct Member {
        std::string_view key;
        std::size_t at;
        std::uint64_t size;
    };
    // An array or map being read: its node, and its element count or (a map) its first member.
    struct Open {
        std::size_t at;
        std::uint64_t count;
    };

    bool scalar(Node::Kind kind) {
        out.nodes.push_back(Node{kind, 0, {}});
        out.size += 1;
        return true;
    }
    // Records a string node; returns the string where it stays valid.
    std::string_view record_string(std::string_view s);

    std::string_view text_;
    Open open_[json::kDepthLimit];  // the walk opens no more under its rules
    int depth_ = 0;
    std::vector<Member> members_;  // members of the open maps, innermost last
};

std::string_view Scan::record_string(std::string_view s) {
    if (s.data() < text_.data() || s.data() > text_.data() + text_.size()) s = out.unescaped.emplace_back(s);
    Node& it = out.nodes.emplace_back();
    it.kind = Node::Kind::Str;
    it.n = static_cast<std::uint32_t>(s.size());
    it.s = s.data();
    out.size += str_head(s.size(), head_size) + s.size();
    return s;
}

void Scan::end_object() {
    const std::size_t at = open_[depth_ - 1].at;
    const std::size_t base = open_[depth_ - 1].count;
    --depth_;
    auto first = members_.begin() + static_cast<std::ptrdiff_t>(base);
    auto last = members_.end();
    std::size_t count = static_cast<std::size_t>(last - first);
    out.nodes[at].order = kInOrder;
    auto key = [](const Member& m) { return m.key; };
    if (!json::keys_ascend(first, last, key)) {
        // A member's bytes run up to where the next one starts.
        for (auto m = first; m != last; ++m) m->size = (m + 1 != last ? (m + 1)->size : out.size) - m->size;
        // The dropped members' bytes leave the payload; the kept ones are packed in this order.
        out.nodes[at].order = out.order.size();
        count = 0;
        json::sort_keys(first, last, key, [&](const Member& m, bool kept) {
            if (!kept) {
                out.size -= m.size;
                return;
            }
            out.order.push_back(m.at);
            ++count;
        });
    }
    members_.resize(base);
    out.nodes[at].n = static_cast<std::uint32_t>(count);
    out.size += map_head(count, head_size);
}

}  // namespace

Result<Packing> read_packing(std::string_view text) {
    json::Reader r(text);
    Scan scan(text);
    // Most values take a few bytes of text.
    scan.out.nodes.reserve(text.size() / 8);
    if (!r.walk(scan) || !r.end_of_text()) return fail(r.error().text());
    return std::move(scan.out);
}

namespace {

// The frame is allocated at its final size and the packer writes straight into it.
// A check on every write costs encoding 6 %; the boundary tables of the frame tests,
// run under AddressSanitizer, are what hold the sizing and the packer together.
struct FixedSink {
    char* at;
    char* end;
    void write(const char* data, std::size_t n) {
        std::memcpy(at, data, n);
        at += n;
    }
};

// The library's pack_double writes integral doubles as integers; every float here stays float 64.
void pack_float64(FixedSink& sink, double d) {
    std::uint64_t bits;
    std::memcpy(&bits, &d, 8);
    char buf[9];
    buf[0] = static_cast<char>(0xcb);
    for (int k = 0; k < 8; ++k) buf[1 + k] = static_cast<char>(bits >> (56 - 8 * k));
    sink.write(buf, 9);
}

// Writes the nodes, maps in key order. Recurses as deep as the document nests.
class Pack {
public:
    using Node = Packing::Node;

    Pack(const std::vector<Node>& nodes, const std::vector<std::size_t>& order, char* out, std::size_t size)
        : nodes_(nodes), order_(order), sink_{out, out + size}, pk_(sink_) {}

    // Writes the value at node index `at`; returns the index past it.
    std::size_t value(std::size_t at) {
        const Node& it = nodes_[at];
        switch (it.kind) {
            case Node::Kind::Null: pk_.pack_nil(); break;
            case Node::Kind::False: pk_.pack_false(); break;
            case Node::Kind::True: pk_.pack_true(); break;
            case Node::Kind::U64: pk_.pack_uint64(it.u); break;
            case Node::Kind::I64:
                it.i >= 0 ? pk_.pack_uint64(static_cast<std::uint64_t>(it.i)) : pk_.pack_int64(it.i);
                break;
            case Node::Kind::F64: pack_float64(sink_, it.f); break;
            case Node::Kind::Str:
                pk_.pack_str(it.n);
                pk_.pack_str_body(it.s, it.n);
                break;
            case Node::Kind::Array: {
                pk_.pack_array(it.n);
                std::size_t next = at + 1;
                for (std::uint32_t k = 0; k < it.n; ++k) next = value(next);
                return next;
            }
            case Node::Kind::Map: {
                pk_.pack_map(it.n);
                std::size_t next = at + 1;
                if (it.order == kInOrder) {
                    for (std::uint32_t k = 0; k < 2 * it.n; ++k) next = value(next);
                    return next;
                }
                // The last member in text order is always kept, so the furthest end is the map's end.
                for (std::uint32_t k = 0; k < it.n; ++k) {
                    std::size_t key = order_[it.order + k];
                    next = std::max(next, value(value(key)));
                }
                return next;
            }
        }
        return at + 1;
    }

    bool filled() const { return sink_.at == sink_.end; }

private:
    const std::vector<Node>& nodes_;
    const std::vector<std::size_t>& order_;
    FixedSink sink_;
    msgpack::packer<FixedSink> pk_;
};

}  // namespace

void Packing::write(char* out) const {
    Pack pack(nodes, order, out, size);
    pack.value(0);
    // Sizing and packing disagreed: better to stop than to send a frame with bytes unset.
    if (!pack.filled()) std::abort();
}

namespace {

constexpr int kMsgpackDepthLimit = 1024;  // reaching 0 on entering an array, map or ext fails

constexpr const char* kMarkerEof = "IO error while reading marker: failed to fill whole buffer";
constexpr const char* kDataEof = "IO error while reading data: failed to fill whole buffer";
constexpr const char* kBytesEof = "IO error while reading data: unexpected end of file";

struct Cursor {
    const unsigned char* at;
    const unsigned char* end;
    std::size_t left() const { return static_cast<std::size_t>(end - at); }
};

// One MessagePack item: a scalar, or the head of an array, map, bin or ext value.
struct Item {
    enum class Kind : std::uint8_t { Nil, Bool, U64, I64, F64, Str, Array, Map, Bin, Ext } kind = Kind::Nil;
    union {
        bool b;
        std::uint64_t u = 0;
        std::int64_t i;
        double f;
        std::uint64_t count;  // an array's elements or a map's members
    };
    std::string_view str;
};

// The next n bytes as a big-endian number; false when fewer are left.
bool read_be(Cursor& c, int n, std::uint64_t& out) {
    if (c.left() < static_cast<std::size_t>(n)) return false;
    out = 0;
    for (int k = 0; k < n; ++k) out = out << 8 | c.at[k];
    c.at += n;
    return true;
}

// The next n bytes; false when fewer are left.
bool read_bytes(Cursor& c, std::uint64_t n, std::string_view& out) {
    if (c.left() < n) return false;
    out = {reinterpret_cast<const char*>(c.at), static_cast<std::size_t>(n)};
    c.at += n;
    return true;
}

Result<Item> str_item(Cursor& c, std::uint64_t n) {
    Item it;
    it.kind = Item::Kind::Str;
    if (!read_bytes(c, n, it.str)) return fail(kBytesEof);
    Result<std::string_view> valid = check_utf8(it.str);
    if (!valid.ok()) return fail("string found to be invalid utf8: " + valid.error());
    return it;
}

// Inlined into the walk, so that an item stays in registers instead of passing through memory.
[[gnu::always_inline]] inline Result<Item> read_item(Cursor& c) {
    if (c.left() == 0) return fail(kMarkerEof);
    unsigned m = *c.at++;
    Item it;
    std::uint64_t n = 0;
    if (m <= 0x7f) {
        it.kind = Item::Kind::U64;
        it.u = m;
        return it;
    }
    if (m >= 0xe0) {
        it.kind = Item::Kind::I64;
        it.i = static_cast<std::int8_t>(m);
        return it;
    }
    if (m <= 0x8f) {
        it.kind = Item::Kind::Map;
        it.count = m & 0x0f;
        return it;
    }
    if (m <= 0x9f) {
        it.kind = Item::Kind::Array;
        it.count = m & 0x0f;
        return it;
    }
    if (m <= 0xbf) return str_item(c, m & 0x1f);
    switch (m) {
        case 0xc0: it.kind = Item::Kind::Nil; return it;
        case 0xc1: return fail("wrong msgpack marker Reserved");
        case 0xc2:
        case 0xc3: it.kind = Item::Kind::Bool; it.b = m == 0xc3; return it;
        case 0xc4:
        case 0xc5:
        case 0xc6: {
            it.kind = Item::Kind::Bin;
            std::string_view data;
            if (!read_be(c, 1 << (m - 0xc4), n)) return fail(kDataEof);
            if (!read_bytes(c, n, data)) return fail(kBytesEof);
            return it;
        }
        case 0xc7:
        case 0xc8:
        case 0xc9:
            it.kind = Item::Kind::Ext;
            if (!read_be(c, 1 << (m - 0xc7), n)) return fail(kDataEof);
            return it;
        case 0xca: {
            if (!read_be(c, 4, n)) return fail(kDataEof);
            std::uint32_t bits = static_cast<std::uint32_t>(n);
            float f;
            std::memcpy(&f, &bits, 4);
            it.kind = Item::Kind::F64;
            it.f = f;
            return it;
        }
        case 0xcb:
            if (!read_be(c, 8, n)) return fail(kDataEof);
            it.kind = Item::Kind::F64;
            std::memcpy(&it.f, &n, 8);
            return it;
        case 0xcc:
        case 0xcd:
        case 0xce:
        case 0xcf:
            it.kind = Item::Kind::U64;
            if (!read_be(c, 1 << (m - 0xcc), it.u)) return fail(kDataEof);
            return it;
        case 0xd0:
        case 0xd1:
        case 0xd2:
        case 0xd3: {
            int bytes = 1 << (m - 0xd0);
            if (!read_be(c, bytes, n)) return fail(kDataEof);
            // Sign-extend from the item's width.
            int shift = 64 - 8 * bytes;
            std::int64_t v = static_cast<std::int64_t>(n << shift) >> shift;
            if (v >= 0) {
                it.kind = Item::Kind::U64;
                it.u = static_cast<std::uint64_t>(v);
            } else {
                it.kind = Item::Kind::I64;
                it.i = v;
            }
            return it;
        }
        case 0xd4:
        case 0xd5:
        case 0xd6:
        case 0xd7:
        case 0xd8: it.kind = Item::Kind::Ext; return it;
        case 0xd9:
        case 0xda:
        case 0xdb:
            if (!read_be(c, 1 << (m - 0xd9), n)) return fail(kDataEof);
            return str_item(c, n);
        case 0xdc:
        case 0xdd:
            it.kind = Item::Kind::Array;
            if (!read_be(c, m == 0xdc ? 2 : 4, it.count)) return fail(kDataEof);
            return it;
        default:
            it.kind = Item::Kind::Map;
            if (!read_be(c, m == 0xde ? 2 : 4, it.count)) return fail(kDataEof);
            return it;
    }
}

// What a key that is no string is called in "invalid type: X, expected a string key".
std::string describe_key(const Item& it) {
    switch (it.kind) {
        case Item::Kind::Nil: return "null";
        case Item::Kind::Bool: return it.b ? "boolean `true`" : "boolean `false`";
        case Item::Kind::U64: return json::describe_u64(it.u);
        case Item::Kind::I64: return json::describe_i64(it.i);
        case Item::Kind::F64:
            if (std::isnan(it.f)) return "floating point `NaN`";
            if (std::isinf(it.f)) return it.f < 0 ? "floating point `-inf`" : "floating point `inf`";
            return json::describe_f64(it.f);
        case Item::Kind::Array: return "sequence";
        case Item::Kind::Map: return "map";
        case Item::Kind::Bin: return "byte array";
        case Item::Kind::Ext: return "newtype struct";
        case Item::Kind::Str: break;
    }
    return "string";
}

// The next item the walk takes, refusing in this order: a bad item, binary and
// extension items, a container opened past the depth limit (a container takes a
// level here, given back when it closes), and any key but a string. Inlined as read_item is.
[[gnu::always_inline]] inline Result<Item> take_item(Cursor& c, bool at_key, int& depth) {
    Result<Item> next = read_item(c);
    if (next.ok()) {
        const Item& it = next.value();
        const char* expected = at_key ? "a string key" : "any valid JSON value";
        switch (it.kind) {
            case Item::Kind::Bin: next = fail(json::invalid_type("byte array", expected)); break;
            case Item::Kind::Ext:
                next = fail(--depth == 0 ? "depth limit exceeded" : json::invalid_type("newtype struct", expected));
                break;
            case Item::Kind::Array:
            case Item::Kind::Map:
                if (--depth == 0) {
                    next = fail("depth limit exceeded");
                    break;
                }
                [[fallthrough]];
            default:
                if (at_key && it.kind != Item::Kind::Str) next = fail(json::invalid_type(describe_key(it), expected));
                break;
        }
    }
    return next;
}

void write_scalar(json::Writer& w, const Item& it) {
    switch (it.kind) {
        case Item::Kind::Bool: w.boolean(it.b); break;
        case Item::Kind::U64: w.u64(it.u); break;
        case Item::Kind::I64: w.i64(it.i); break;
        case Item::Kind::F64: w.f64(it.f); break;  // NaN and the infinities as null
        case Item::Kind::Str: w.string(it.str); break;
        default: w.null(); break;
    }
}

// The text of a value whose maps are written in arrival order, their members put in
// key order (the last of a repeated key kept) once the whole value is written: a map
// moved as it closes would be moved again by every map around it that moves too,
// as many times as maps nest.
class SortedText {
public:
    explicit SortedText(std::string& out) : out_(out) {}

    // Just after a map's opening brace.
    void open_map() { open_.push_back(Open{members_.size(), out_.size()}); }
    // Before a member's key is written, and its comma; the key must stay valid until
    // the map closes.
    void member(std::string_view key) {
        std::size_t begin = out_.size();
        if (members_.size() > open_.back().first_member) {
            members_.back().end = begin;
            out_.push_back(',');
            ++begin;
        }
        members_.push_back(Member{key, begin, 0});
    }
    // Before the map's closing brace.
    void close_map() {
        const Open map = open_.back();
        open_.pop_back();
        const auto from = members_.begin() + static_cast<std::ptrdiff_t>(map.first_member);
        if (from == members_.end()) return;
        members_.back().end = out_.size();
        auto key = [](const Member& m) { return m.key; };
        if (!json::keys_ascend(from, members_.end(), key)) {
            Reorder r{map.body, out_.size(), kept_.size(), 0};
            json::sort_keys(from, members_.end(), key, [&](const Member& m, bool kept) {
                if (kept) kept_.push_back(Span{m.begin, m.end});
            });
            r.count = kept_.size() - r.first_kept;
            reorders_.push_back(r);
        }
        members_.resize(map.first_member);
    }
    // Writes the text again with every map's members in order, when some were not.
    void finish() {
        if (reorders_.empty()) return;
        std::sort(reorders_.begin(), reorders_.end(),
                  [](const Reorder& a, const Reorder& b) { return a.body < b.body; });
        std::string sorted;
        sorted.reserve(out_.size());
        emit(sorted, 0, out_.size());
        out_ = std::move(sorted);
    }

private:
    struct Open {
        std::size_t first_member;  // index into members_
        std::size_t body;          // offset just past the opening brace
    };
    // A member of an open map: its key bytes and where its "key":value text lies.
    struct Member {
        std::string_view key;
        std::size_t begin;
        std::size_t end;
    };
    struct Span {
        std::size_t begin;
        std::size_t end;
    };
    // A map whose members are to be written in another order: its body, and the
    // members it keeps in key order, at kept_[first_kept, first_kept + count).
    struct Reorder {
        std::size_t body;
        std::size_t end;
        std::size_t first_kept;
        std::size_t count;
    };

    // The first map to reorder whose body starts after `at`: a map's first member starts
    // where its body does, and the maps inside it after that.
    std::vector<Reorder>::const_iterator reorder_after(std::size_t at) const {
        return std::upper_bound(reorders_.begin(), reorders_.end(), at,
                                [](std::size_t a, const Reorder& r) { return a < r.body; });
    }

    // Appends out_[lo, hi) to `to`, each map to reorder inside it in its order. Recurses
    // as deep as such maps nest in one another.
    void emit(std::string& to, std::size_t lo, std::size_t hi) const {
        std::size_t at = lo;
        for (auto r = reorder_after(lo); r != reorders_.end() && r->body < hi; r = reorder_after(at)) {
            to.append(out_, at, r->body - at);
            for (std::size_t k = 0; k < r->count; ++k) {
                if (k) to.push_back(',');
                const Span& m = kept_[r->first_kept + k];
                emit(to, m.begin, m.end);
            }
            at = r->end;
        }
        to.append(out_, at, hi - at);
    }

    std::string& out_;
    std::vector<Open> open_;
    std::vector<Member> members_;  // of the open maps, innermost last
    std::vector<Span> kept_;
    std::vector<Reorder> reorders_;
};

// An array being written: the elements it still expects. A map's count is of members,
// want_key telling whether its next item is a key.
struct OpenText {
    std::uint64_t left;
    bool is_map;
    bool want_key;
};

}  // namespace

// Our own walk instead of the library's unpacker: it must fail at the first bad item
// in stream order with the exact messages and depth rule above, at any depth, without recursion.
Result<std::string> append_json(std::string_view bytes, std::string text) {
    Cursor c{reinterpret_cast<const unsigned char*>(bytes.data()),
             reinterpret_cast<const unsigned char*>(bytes.data()) + bytes.size()};
    json::Writer w(0);
    w.out = std::move(text);
    std::string& out = w.out;
    const std::size_t start = out.size();
    std::vector<OpenText> stack;
    SortedText sorted(out);
    int depth = kMsgpackDepthLimit;
    bool too_deep_for_json = false;
    for (;;) {
        bool at_key = !stack.empty() && stack.back().want_key;
        Result<Item> next = take_item(c, at_key, depth);
        if (!next.ok()) return next.failure();
        const Item& it = next.value();
        switch (it.kind) {
            case Item::Kind::Array:
            case Item::Kind::Map: {
                if (static_cast<int>(stack.size()) + 1 >= json::kDepthLimit) too_deep_for_json = true;
                bool is_map = it.kind == Item::Kind::Map;
                out.push_back(is_map ? '{' : '[');
                if (it.count > 0) {
                    stack.push_back(OpenText{it.count, is_map, is_map});
                    if (is_map) sorted.open_map();
                    continue;
                }
                ++depth;
                out.push_back(is_map ? '}' : ']');
                break;
            }
            default:
                if (at_key) {
                    sorted.member(it.str);
                    w.key(it.str);
                    stack.back().want_key = false;
                    continue;
                }
                write_scalar(w, it);
                break;
        }
        // The value is written: close every container it completes.
        for (;;) {
            if (stack.empty()) {
                sorted.finish();
                if (too_deep_for_json) {
                    // The text's reader refuses it: its message and position are the failure.
                    json::Reader r(std::string_view(out).substr(start));
                    if (!r.check_value()) return fail(r.error().text());
                }
                return std::move(out);
            }
            OpenText& top = stack.back();
            if (top.is_map) top.want_key = true;
            if (--top.left > 0) {
                if (!top.is_map) out.push_back(',');
                break;
            }
            if (top.is_map) sorted.close_map();
            out.push_back(top.is_map ? '}' : ']');
            stack.pop_back();
            ++depth;
        }
    }
}

namespace {

// A builder over the reader's walk that writes the value as a generic value is
// written, maps in key order by SortedText, without building one.
class CanonicalText {
public:
    static constexpr json::WalkRules rules = json::kRead;

    CanonicalText(std::string_view text, json::Writer& w) : text_(text), w_(w), sorted_(w.out) {}

    bool null() {
        w_.null();
        return true;
    }
    bool boolean(bool b) {
        w_.boolean(b);
        return true;
    }
    bool number(const json::Number& n) {
        switch (n.kind) {
            case json::Number::Kind::U64: w_.u64(n.u); break;
            case json::Number::Kind::I64: w_.i64(n.i); break;
            case json::Number::Kind::F64: w_.f64(n.f); break;
        }
        return true;
    }
    bool string(std::string_view s) {
        w_.string(s);
        return true;
    }
    bool begin_array() {
        w_.raw('[');
        return true;
    }
    // Called before each element: the first follows the bracket.
    void element() {
        if (w_.out.back() != '[') w_.raw(',');
    }
    void end_array() { w_.raw(']'); }
    bool begin_object() {
        w_.raw('{');
        sorted_.open_map();
        return true;
    }
    bool key(std::string_view k) {
        // An escaped key was unescaped into the reader's scratch, which the next string overwrites.
        if (k.data() < text_.data() || k.data() > text_.data() + text_.size()) k = unescaped_.emplace_back(k);
        sorted_.member(k);
        w_.key(k);
        return true;
    }
    void end_object() {
        sorted_.close_map();
        w_.raw('}');
    }
    void finish() { sorted_.finish(); }

private:
    std::string_view text_;
    json::Writer& w_;
    SortedText sorted_;
    std::deque<std::string> unescaped_;
};

}  // namespace

Result<std::string> append_canonical_json(std::string_view json, std::string text) {
    json::Writer w(0);
    w.out = std::move(text);
    json::Reader r(json);
    CanonicalText canonical(json, w);
    if (!r.walk(canonical) || !r.end_of_text()) return fail(r.error().text());
    canonical.finish();
    return std::move(w.out);
}

}  // namespace vorlan::wire
