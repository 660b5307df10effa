#include "drovane/frame.hpp"

#include <algorithm>
#include <cstring>
#include <deque>
#include <msgpack/pack.hpp>
#include <vector>

#include "operations.hpp"

namespace vorlan::drovane {
namespace {

constexpr std::string_view kKindNames[] = {"Snapshot", "Patch"};

bool kind_from_name(json::Reader& r, std::string_view name, FrameKind& out) {
    if (name == kKindNames[0]) out = FrameKind::Snapshot;
    else if (name == kKindNames[1]) out = FrameKind::Patch;
    else return r.fail(json::unknown_variant(name, json::expected_names(kKindNames)));
    return true;
}

}  // namespace

std::string_view frame_kind_name(FrameKind kind) { return kKindNames[static_cast<int>(kind)]; }

std::string_view frame_kind_surface_name(FrameKind kind) {
    return kind == FrameKind::Snapshot ? "snapshot" : "patch";
}

void write_header(json::Writer& w, std::string_view codec, std::string_view model_type, std::uint64_t target,
                  std::uint64_t rev, FrameKind kind) {
    w.raw('{');
    w.key("codec");
    w.string(codec);
    w.raw(',');
    w.key("model_type");
    w.string(model_type);
    w.raw(',');
    w.key("target");
    w.u64(target);
    w.raw(',');
    w.key("rev");
    w.u64(rev);
    w.raw(',');
    w.key("kind");
    w.string(frame_kind_name(kind));
    w.raw('}');
}

bool read_frame_kind(json::Reader& r, FrameKind& out) {
    int c = r.peek_ws();
    if (c == '"') {
        r.bump();
        std::string_view name;
        return r.parse_string(name) && kind_from_name(r, name, out);
    }
    if (c == '{') {
        // The variant's braces are not a map: no close-on-error step, and a second member is "expected value".
        if (!r.enter()) return false;
        bool ok;
        int k = r.peek_ws();
        if (k == '"') {
            r.bump();
            std::string_view name;
            ok = r.parse_string(name) && kind_from_name(r, name, out);
        } else if (k < 0) {
            ok = r.fail_peek("EOF while parsing a value");
        } else {
            ok = r.fail_invalid_type_here("variant identifier");
        }
        ok = ok && r.colon();
        ok = ok && r.read_unit_payload();
        r.leave();
        if (!ok) return false;
        return r.end_variant();
    }
    if (c < 0) return r.fail_peek("EOF while parsing a value");
    return r.fail_peek("expected value");
}

namespace {

// Field i of a header in declaration order, as both the object and the array form hold it.
bool read_header_field(json::Reader& r, int i, Header& out) {
    switch (i) {
        case 0: return r.read_string(out.codec);
        case 1: return r.read_string(out.model_type);
        case 2: return r.read_u64(out.target, "u64");
        case 3: return r.read_u64(out.rev, "u64");
        default: return read_frame_kind(r, out.kind);
    }
}

}  // namespace

bool read_header(json::Reader& r, Header& out) {
    int c = r.peek_ws();
    if (c == '{') return r.in_object([&] {
        bool seen[5] = {};
        static constexpr std::string_view names[5] = {"codec", "model_type", "target", "rev", "kind"};
        bool first = true;
        std::string_view key;
        for (;;) {
            int k = r.next_key(first, key);
            if (k < 0) return false;
            if (k == 0) break;
            int field = 0;
            while (field < 5 && names[field] != key) ++field;
            if (field == 5) {
                if (!r.colon() || !r.skip_value()) return false;
                continue;
            }
            if (seen[field]) return r.fail_unpositioned(json::duplicate_field(names[field]));
            seen[field] = true;
            if (!r.colon()) return false;
            if (!read_header_field(r, field, out)) return false;
        }
        for (int field = 0; field < 5; ++field)
            if (!seen[field]) return r.fail_unpositioned(json::missing_field(names[field]));
        return true;
    });
    if (c == '[') return r.in_array([&] {
        bool first = true;
        for (int field = 0; field < 5; ++field) {
            int e = r.next_element(first);
            if (e < 0) return false;
            if (e == 0) return r.fail_unpositioned(json::invalid_length(field, "struct Header with 5 elements"));
            if (!read_header_field(r, field, out)) return false;
        }
        return true;
    });
    if (c < 0) return r.fail_peek("EOF while parsing a value");
    return r.fail_invalid_type_here("struct Header");
}

}  // namespace vorlan::drovane

namespace vorlan::patch {
namespace {

std::size_t uint_size(std::uint64_t n) { return n < 128 ? 1 : n < 256 ? 2 : n < 65536 ? 3 : n < (1ull << 32) ? 5 : 9; }

std::size_t int_size(std::int64_t n) {
    if (n >= 0) return uint_size(static_cast<std::uint64_t>(n));
    return n >= -32 ? 1 : n >= -128 ? 2 : n >= -32768 ? 3 : n >= -(1ll << 31) ? 5 : 9;
}

std::size_t str_size(std::size_t n) { return (n < 32 ? 1 : n < 256 ? 2 : n < 65536 ? 3 : 5) + n; }
std::size_t container_size(std::size_t n) { return n < 16 ? 1 : n < 65536 ? 3 : 5; }

// One value of the payload in text order; a container's elements (for a map, key
// and value by turns) follow it, so a map is re-ordered by indices, not by moving bytes.
struct Item {
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
constexpr std::size_t kInOrder = ~std::size_t{0};

// A member of a map being read: its key, the index of its key item, and its packed bytes.
struct Member {
    std::string_view key;
    std::size_t at;
    std::uint64_t size;
};

// The first pass: reads the payload as the generic reader would (same calls, so the
// same messages and positions), recording items and the packed size.
class Scan {
public:
    explicit Scan(json::Reader& r) : r_(r), text_(r.text()) {}

    bool value();

    std::vector<Item> items;
    std::vector<std::size_t> order;  // key item indices of re-ordered maps
    std::uint64_t size = 0;

private:
    // Records a string item; returns the string where it stays valid.
    std::string_view string(std::string_view s);
    bool array();
    bool object();

    json::Reader& r_;
    std::string_view text_;
    std::vector<Member> members_;         // members of the open maps, innermost last
    std::deque<std::string> unescaped_;  // strings with escapes, which the reader leaves in its scratch
};

std::string_view Scan::string(std::string_view s) {
    if (s.data() < text_.data() || s.data() > text_.data() + text_.size()) s = unescaped_.emplace_back(s);
    Item& it = items.emplace_back();
    it.kind = Item::Kind::Str;
    it.n = static_cast<std::uint32_t>(s.size());
    it.s = s.data();
    size += str_size(s.size());
    return s;
}

bool Scan::value() {
    int c = r_.peek_ws();
    Item it;
    switch (c) {
        case 'n': r_.bump(); if (!r_.parse_ident("ull")) return false; it.kind = Item::Kind::Null; break;
        case 't': r_.bump(); if (!r_.parse_ident("rue")) return false; it.kind = Item::Kind::True; break;
        case 'f': r_.bump(); if (!r_.parse_ident("alse")) return false; it.kind = Item::Kind::False; break;
        case '-': case '0': case '1': case '2': case '3': case '4':
        case '5': case '6': case '7': case '8': case '9': {
            json::Number n;
            if (!r_.parse_number(n)) return false;
            switch (n.kind) {
                case json::Number::Kind::U64: it.kind = Item::Kind::U64; it.u = n.u; size += uint_size(n.u); break;
                case json::Number::Kind::I64: it.kind = Item::Kind::I64; it.i = n.i; size += int_size(n.i); break;
                case json::Number::Kind::F64: it.kind = Item::Kind::F64; it.f = n.f; size += 9; break;
            }
            items.push_back(it);
            return true;
        }
        case '"': {
            r_.bump();
            std::string_view s;
            if (!r_.parse_string(s)) return false;
            string(s);
            return true;
        }
        case '[': return array();
        case '{': return object();
        default: {
            // Whatever cannot start a value: the reader words the failure.
            json::JsonValue ignored;
            return r_.parse_value(ignored);
        }
    }
    size += 1;
    items.push_back(it);
    return true;
}

bool Scan::array() {
    const std::size_t at = items.size();
    items.push_back(Item{Item::Kind::Array, 0, {}});
    std::uint64_t count = 0;
    bool ok = r_.in_array([&] {
        bool first = true;
        for (;;) {
            int e = r_.next_element(first);
            if (e < 0) return false;
            if (e == 0) return true;
            ++count;
            if (!value()) return false;
        }
    });
    if (!ok) return false;
    items[at].n = static_cast<std::uint32_t>(count);
    size += container_size(count);
    return true;
}

bool Scan::object() {
    const std::size_t at = items.size();
    items.push_back(Item{Item::Kind::Map, 0, {}});
    const std::size_t base = members_.size();
    bool ok = r_.in_object([&] {
        bool first = true;
        std::string_view key;
        for (;;) {
            int k = r_.next_key(first, key);
            if (k < 0) return false;
            if (k == 0) return true;
            const std::uint64_t before = size;
            const std::size_t index = members_.size();
            members_.push_back(Member{{}, items.size(), 0});
            members_[index].key = string(key);
            if (!r_.colon() || !value()) return false;
            members_[index].size = size - before;
        }
    });
    if (!ok) return false;
    auto first = members_.begin() + static_cast<std::ptrdiff_t>(base);
    auto last = members_.end();
    std::size_t count = static_cast<std::size_t>(last - first);
    bool sorted = true;
    for (std::size_t k = 1; k < count && sorted; ++k) sorted = first[k - 1].key < first[k].key;
    items[at].order = kInOrder;
    if (!sorted) {
        auto less = [](const Member& a, const Member& b) { return a.key < b.key; };
        if (count <= 16) {
            // Objects are small: a stable insertion sort needs no buffer.
            for (auto i = first + 1; i < last; ++i) {
                if (!less(*i, *(i - 1))) continue;
                Member m = *i;
                auto j = i;
                for (; j > first && less(m, *(j - 1)); --j) *j = *(j - 1);
                *j = m;
            }
        } else {
            std::stable_sort(first, last, less);
        }
        // The last of each run of equal keys stays; the others' bytes leave the payload.
        items[at].order = order.size();
        count = 0;
        for (auto m = first; m < last; ++m) {
            if (m + 1 < last && (m + 1)->key == m->key) {
                size -= m->size;
                continue;
            }
            order.push_back(m->at);
            ++count;
        }
    }
    members_.resize(base);
    items[at].n = static_cast<std::uint32_t>(count);
    size += container_size(count);
    return true;
}

// The frame buffer is allocated at its final size; the packer writes straight into it.
struct FixedSink {
    char* at;
    void write(const char* data, std::size_t n) {
        std::memcpy(at, data, n);
        at += n;
    }
};

using Packer = msgpack::packer<FixedSink>;

// The library's pack_double writes integral doubles as integers; every float here stays float 64.
void pack_float64(FixedSink& sink, double d) {
    std::uint64_t bits;
    std::memcpy(&bits, &d, 8);
    char buf[9];
    buf[0] = static_cast<char>(0xcb);
    for (int k = 0; k < 8; ++k) buf[1 + k] = static_cast<char>(bits >> (56 - 8 * k));
    sink.write(buf, 9);
}

// The second pass: packs the items, maps in key order. Recurses as deep as the
// payload nests, which the reader kept below 128 levels. Returns the index past the value.
class Pack {
public:
    Pack(const Scan& scan, char* out) : items_(scan.items), order_(scan.order), sink_{out}, pk_(sink_) {}

    std::size_t value(std::size_t at) {
        const Item& it = items_[at];
        switch (it.kind) {
            case Item::Kind::Null: pk_.pack_nil(); break;
            case Item::Kind::False: pk_.pack_false(); break;
            case Item::Kind::True: pk_.pack_true(); break;
            case Item::Kind::U64: pk_.pack_uint64(it.u); break;
            case Item::Kind::I64:
                it.i >= 0 ? pk_.pack_uint64(static_cast<std::uint64_t>(it.i)) : pk_.pack_int64(it.i);
                break;
            case Item::Kind::F64: pack_float64(sink_, it.f); break;
            case Item::Kind::Str:
                pk_.pack_str(it.n);
                pk_.pack_str_body(it.s, it.n);
                break;
            case Item::Kind::Array: {
                pk_.pack_array(it.n);
                std::size_t next = at + 1;
                for (std::uint32_t k = 0; k < it.n; ++k) next = value(next);
                return next;
            }
            case Item::Kind::Map: {
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

private:
    const std::vector<Item>& items_;
    const std::vector<std::size_t>& order_;
    FixedSink sink_;
    Packer pk_;
};

}  // namespace

Result<std::string> encode_frame(std::string_view payload, std::string_view model_type, std::string_view kind,
                                 std::uint64_t rev, std::string_view codec) {
    return guarded([&]() -> Result<std::string> {
        using drovane::kLengthLimit;
        json::Reader r(payload);
        Scan scan(r);
        bool msgpack = false;
        if (codec == drovane::kMsgpackCodec) {
            // Most items take a few bytes of text.
            scan.items.reserve(payload.size() / 8);
            if (!scan.value() || !r.end_of_text()) return fail(r.error().text());
            msgpack = true;
        } else if (codec != drovane::kJsonCodec) {
            return fail("unknown codec: " + std::string(codec));
        }

        drovane::FrameKind frame_kind;
        if (kind == "snapshot") frame_kind = drovane::FrameKind::Snapshot;
        else if (kind == "patch") frame_kind = drovane::FrameKind::Patch;
        else return fail("unknown frame kind: " + std::string(kind));

        constexpr const char* kHeaderTooLarge = "frame header too large: its length must stay below 2^32 bytes";
        if (model_type.size() >= kLengthLimit) return fail(kHeaderTooLarge);
        json::Writer header;
        drovane::write_header(header, codec, model_type, 0, rev, frame_kind);
        if (header.out.size() >= kLengthLimit) return fail(kHeaderTooLarge);

        std::uint64_t payload_size = msgpack ? scan.size : payload.size();
        if (payload_size >= kLengthLimit) return fail("frame payload too large: its length must stay below 2^32 bytes");

        std::string frame(8 + header.out.size() + payload_size, '\0');
        char* at = frame.data();
        drovane::put_u32(at, static_cast<std::uint32_t>(header.out.size()));
        std::memcpy(at + 4, header.out.data(), header.out.size());
        at += 4 + header.out.size();
        drovane::put_u32(at, static_cast<std::uint32_t>(payload_size));
        at += 4;
        if (msgpack) {
            Pack(scan, at).value(0);
        } else if (!payload.empty()) {
            std::memcpy(at, payload.data(), payload.size());
        }
        return frame;
    });
}

}  // namespace vorlan::patch
