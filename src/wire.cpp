#include "wire.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "drovane/frame.hpp"

namespace vorlan::wire {
namespace {

using json::JsonValue;

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
    bool b = false;
    std::uint64_t u = 0;
    std::int64_t i = 0;
    double f = 0;
    std::string_view str;
    std::uint64_t count = 0;
};

bool read_be(Cursor& c, int n, std::uint64_t& out, std::string& error) {
    if (c.left() < static_cast<std::size_t>(n)) {
        error = kDataEof;
        return false;
    }
    out = 0;
    for (int k = 0; k < n; ++k) out = out << 8 | c.at[k];
    c.at += n;
    return true;
}

bool read_bytes(Cursor& c, std::uint64_t n, std::string_view& out, std::string& error) {
    if (c.left() < n) {
        error = kBytesEof;
        return false;
    }
    out = {reinterpret_cast<const char*>(c.at), static_cast<std::size_t>(n)};
    c.at += n;
    return true;
}

bool read_str(Cursor& c, std::uint64_t n, Item& it, std::string& error) {
    it.kind = Item::Kind::Str;
    if (!read_bytes(c, n, it.str, error)) return false;
    std::string bad = utf8_error(it.str);
    if (bad.empty()) return true;
    error = "string found to be invalid utf8: " + bad;
    return false;
}

bool read_item(Cursor& c, Item& it, std::string& error) {
    if (c.left() == 0) {
        error = kMarkerEof;
        return false;
    }
    unsigned m = *c.at++;
    std::uint64_t n = 0;
    if (m <= 0x7f) {
        it.kind = Item::Kind::U64;
        it.u = m;
        return true;
    }
    if (m >= 0xe0) {
        it.kind = Item::Kind::I64;
        it.i = static_cast<std::int8_t>(m);
        return true;
    }
    if (m <= 0x8f) {
        it.kind = Item::Kind::Map;
        it.count = m & 0x0f;
        return true;
    }
    if (m <= 0x9f) {
        it.kind = Item::Kind::Array;
        it.count = m & 0x0f;
        return true;
    }
    if (m <= 0xbf) return read_str(c, m & 0x1f, it, error);
    switch (m) {
        case 0xc0: it.kind = Item::Kind::Nil; return true;
        case 0xc1: error = "wrong msgpack marker Reserved"; return false;
        case 0xc2:
        case 0xc3: it.kind = Item::Kind::Bool; it.b = m == 0xc3; return true;
        case 0xc4:
        case 0xc5:
        case 0xc6: {
            it.kind = Item::Kind::Bin;
            std::string_view data;
            return read_be(c, 1 << (m - 0xc4), n, error) && read_bytes(c, n, data, error);
        }
        case 0xc7:
        case 0xc8:
        case 0xc9: it.kind = Item::Kind::Ext; return read_be(c, 1 << (m - 0xc7), n, error);
        case 0xca: {
            if (!read_be(c, 4, n, error)) return false;
            std::uint32_t bits = static_cast<std::uint32_t>(n);
            float f;
            std::memcpy(&f, &bits, 4);
            it.kind = Item::Kind::F64;
            it.f = f;
            return true;
        }
        case 0xcb: {
            if (!read_be(c, 8, n, error)) return false;
            it.kind = Item::Kind::F64;
            std::memcpy(&it.f, &n, 8);
            return true;
        }
        case 0xcc:
        case 0xcd:
        case 0xce:
        case 0xcf: it.kind = Item::Kind::U64; return read_be(c, 1 << (m - 0xcc), it.u, error);
        case 0xd0:
        case 0xd1:
        case 0xd2:
        case 0xd3: {
            int bytes = 1 << (m - 0xd0);
            if (!read_be(c, bytes, n, error)) return false;
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
            return true;
        }
        case 0xd4:
        case 0xd5:
        case 0xd6:
        case 0xd7:
        case 0xd8: it.kind = Item::Kind::Ext; return true;
        case 0xd9:
        case 0xda:
        case 0xdb: return read_be(c, 1 << (m - 0xd9), n, error) && read_str(c, n, it, error);
        case 0xdc:
        case 0xdd: it.kind = Item::Kind::Array; return read_be(c, m == 0xdc ? 2 : 4, it.count, error);
        default: it.kind = Item::Kind::Map; return read_be(c, m == 0xde ? 2 : 4, it.count, error);
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

JsonValue scalar_value(const Item& it) {
    switch (it.kind) {
        case Item::Kind::Bool: return JsonValue(it.b);
        case Item::Kind::U64: return JsonValue(it.u);
        case Item::Kind::I64: return JsonValue(it.i);
        case Item::Kind::F64: return std::isfinite(it.f) ? JsonValue(it.f) : JsonValue();
        case Item::Kind::Str: return JsonValue(String(it.str));
        default: return JsonValue();
    }
}

struct Open {
    JsonValue container;  // an array or an object
    std::uint64_t left;
    bool want_key;
    String key;
};

}  // namespace

std::string utf8_error(std::string_view s) {
    const auto* b = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    std::size_t i = 0;
    while (i < n) {
        if (b[i] < 0x80) {
            std::uint64_t word;
            while (i + 8 <= n && (std::memcpy(&word, b + i, 8), (word & 0x8080808080808080ull) == 0)) i += 8;
            while (i < n && b[i] < 0x80) ++i;
            continue;
        }
        const std::size_t start = i;
        const unsigned first = b[i];
        auto error = [start](int length) {
            if (length == 0) return "incomplete utf-8 byte sequence from index " + std::to_string(start);
            return "invalid utf-8 sequence of " + std::to_string(length) + " bytes from index " +
                   std::to_string(start);
        };
        auto is_cont = [](unsigned c) { return (c & 0xc0) == 0x80; };
        int width = first >= 0xc2 && first <= 0xdf ? 2 : first >= 0xe0 && first <= 0xef ? 3
                  : first >= 0xf0 && first <= 0xf4 ? 4 : 0;
        if (width == 0) return error(1);
        for (int k = 1; k < width; ++k) {
            if (++i >= n) return error(0);
            unsigned c = b[i];
            bool ok = is_cont(c);
            if (k == 1) {
                if (first == 0xe0) ok = c >= 0xa0 && c <= 0xbf;
                else if (first == 0xed) ok = c >= 0x80 && c <= 0x9f;
                else if (first == 0xf0) ok = c >= 0x90 && c <= 0xbf;
                else if (first == 0xf4) ok = c >= 0x80 && c <= 0x8f;
            }
            if (!ok) return error(k);
        }
        ++i;
    }
    return {};
}

// What both decoders refuse in an item before taking it, in this order: binary and
// extension items, a container opened past the depth limit (a container takes a
// level here, given back when it closes), and any key but a string.
bool refused(const Item& it, bool at_key, int& depth, std::string& error) {
    const char* expected = at_key ? "a string key" : "any valid JSON value";
    switch (it.kind) {
        case Item::Kind::Bin: error = json::invalid_type("byte array", expected); return true;
        case Item::Kind::Ext:
            error = --depth == 0 ? "depth limit exceeded" : json::invalid_type("newtype struct", expected);
            return true;
        case Item::Kind::Array:
        case Item::Kind::Map:
            if (--depth == 0) {
                error = "depth limit exceeded";
                return true;
            }
            break;
        default: break;
    }
    if (!at_key || it.kind == Item::Kind::Str) return false;
    error = json::invalid_type(describe_key(it), expected);
    return true;
}

// Our own reader instead of the library's unpacker: it must fail at the first bad
// item in stream order with the exact messages and depth rule above, without recursion.
Result<MsgpackValue> decode_msgpack(std::string_view bytes) {
    Cursor c{reinterpret_cast<const unsigned char*>(bytes.data()),
             reinterpret_cast<const unsigned char*>(bytes.data()) + bytes.size()};
    std::vector<Open> stack;
    int depth = kMsgpackDepthLimit;
    MsgpackValue out;
    std::string error;
    for (;;) {
        bool at_key = !stack.empty() && stack.back().want_key;
        Item it;
        if (!read_item(c, it, error) || refused(it, at_key, depth, error)) return fail(std::move(error));
        JsonValue v;
        switch (it.kind) {
            case Item::Kind::Array:
            case Item::Kind::Map: {
                out.nesting = std::max(out.nesting, static_cast<int>(stack.size()) + 1);
                bool is_map = it.kind == Item::Kind::Map;
                // Every element takes at least one byte: a count beyond the input reserves no more.
                std::size_t room = std::min<std::uint64_t>(it.count, c.left());
                if (it.count > 0) {
                    Open open{is_map ? JsonValue(json::JsonObject{}) : JsonValue(json::JsonArray{}), it.count, is_map, {}};
                    if (is_map) open.container.as_object()->reserve(room / 2);
                    else open.container.as_array()->reserve(room);
                    stack.push_back(std::move(open));
                    continue;
                }
                ++depth;
                v = is_map ? JsonValue(json::JsonObject{}) : JsonValue(json::JsonArray{});
                break;
            }
            default:
                if (at_key) {
                    stack.back().key.assign(it.str);
                    stack.back().want_key = false;
                    continue;
                }
                v = scalar_value(it);
                break;
        }
        // Hand the finished value to its container, closing every container it completes.
        for (;;) {
            if (stack.empty()) {
                out.value = std::move(v);
                return out;
            }
            Open& top = stack.back();
            if (json::JsonObject* members = top.container.as_object()) {
                members->push_back(json::JsonMember{std::move(top.key), std::move(v)});
                top.key.clear();
                top.want_key = true;
            } else {
                top.container.as_array()->push_back(std::move(v));
            }
            if (--top.left > 0) break;
            if (json::JsonObject* members = top.container.as_object()) json::sort_members(*members);
            v = std::move(top.container);
            stack.pop_back();
            ++depth;
        }
    }
}

namespace {

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

// A map or array being written, and where its members' text starts.
struct OpenText {
    std::uint64_t left;
    bool is_map;
    bool want_key;
    std::size_t first_member;  // index into the member list
    std::size_t body;          // output offset just past the opening bracket
};

// A member of a map being written: its key bytes and where its "key":value text lies.
struct MemberText {
    std::string_view key;
    std::size_t begin;
    std::size_t end;
};

// Writes keys of a map that arrived out of order in key order, the last of a repeated key winning.
void sort_member_text(std::string& out, std::vector<MemberText>& members, std::size_t first, std::size_t body,
                      std::string& scratch) {
    auto from = members.begin() + static_cast<std::ptrdiff_t>(first);
    auto to = members.end();
    bool sorted = true;
    for (auto m = from + 1; m < to && sorted; ++m) sorted = (m - 1)->key < m->key;
    if (sorted) return;
    std::stable_sort(from, to, [](const MemberText& a, const MemberText& b) { return a.key < b.key; });
    scratch.assign(out, body, std::string::npos);
    out.resize(body);
    bool first_kept = true;
    for (auto m = from; m < to; ++m) {
        if (m + 1 < to && (m + 1)->key == m->key) continue;
        if (!first_kept) out.push_back(',');
        first_kept = false;
        out.append(scratch, m->begin - body, m->end - m->begin);
    }
}

}  // namespace

// Same items, same order and same failures as decode_msgpack, without the tree.
Result<bool> write_msgpack(std::string_view bytes, json::Writer& w) {
    Cursor c{reinterpret_cast<const unsigned char*>(bytes.data()),
             reinterpret_cast<const unsigned char*>(bytes.data()) + bytes.size()};
    std::vector<OpenText> stack;
    std::vector<MemberText> members;
    std::string scratch;
    std::string& out = w.out;
    int depth = kMsgpackDepthLimit;
    std::string error;
    for (;;) {
        bool at_key = !stack.empty() && stack.back().want_key;
        Item it;
        if (!read_item(c, it, error) || refused(it, at_key, depth, error)) return fail(std::move(error));
        switch (it.kind) {
            case Item::Kind::Array:
            case Item::Kind::Map: {
                if (static_cast<int>(stack.size()) + 1 >= json::kDepthLimit) return false;
                bool is_map = it.kind == Item::Kind::Map;
                out.push_back(is_map ? '{' : '[');
                if (it.count > 0) {
                    stack.push_back(OpenText{it.count, is_map, is_map, members.size(), out.size()});
                    continue;
                }
                ++depth;
                out.push_back(is_map ? '}' : ']');
                break;
            }
            default:
                if (at_key) {
                    OpenText& top = stack.back();
                    std::size_t begin = out.size();
                    if (members.size() > top.first_member) {
                        out.push_back(',');
                        ++begin;
                    }
                    members.push_back(MemberText{it.str, begin, 0});
                    w.key(it.str);
                    top.want_key = false;
                    continue;
                }
                write_scalar(w, it);
                break;
        }
        // The value is written: close every container it completes.
        for (;;) {
            if (stack.empty()) return true;
            OpenText& top = stack.back();
            if (top.is_map) {
                members.back().end = out.size();
                top.want_key = true;
            }
            if (--top.left > 0) {
                if (!top.is_map) out.push_back(',');
                break;
            }
            if (top.is_map) {
                sort_member_text(out, members, top.first_member, top.body, scratch);
                members.resize(top.first_member);
            }
            out.push_back(top.is_map ? '}' : ']');
            stack.pop_back();
            ++depth;
        }
    }
}

Result<std::string> decode_frame(std::string_view frame) {
    return guarded([&]() -> Result<std::string> {
        const std::uint64_t size = frame.size();
        if (size < 4) return fail("truncated frame");
        const std::uint64_t header_size = drovane::get_u32(frame.data());
        if (size < 4 + header_size) return fail("truncated frame");

        drovane::Header header;
        {
            json::Reader r(frame.substr(4, header_size), true);
            if (!drovane::read_header(r, header) || !r.end_of_text())
                return fail("bad frame header: " + r.error().text());
        }

        if (size < header_size + 8) return fail("truncated frame");
        const std::uint64_t payload_size = drovane::get_u32(frame.data() + 4 + header_size);
        if (size < header_size + 8 + payload_size) return fail("truncated frame");
        const std::string_view payload = frame.substr(8 + header_size, payload_size);

        json::Writer w(payload.size() + header.model_type.size() + 64);
        w.raw("{\"kind\":");
        w.string(drovane::frame_kind_surface_name(header.kind));
        w.raw(",\"model_type\":");
        w.string(header.model_type);
        w.raw(",\"payload\":");
        if (header.codec == drovane::kMsgpackCodec) {
            const std::size_t payload_at = w.out.size();
            // Text written from a value this shallow reads back as the same value.
            Result<bool> written = write_msgpack(payload, w);
            if (!written.ok()) return written.failure();
            if (!written.value()) {
                // Nested too deep to read back: the reader's message and position come from the whole text.
                w.out.resize(payload_at);
                Result<MsgpackValue> decoded = decode_msgpack(payload);
                if (!decoded.ok()) return decoded.failure();
                std::string text = json::to_text(decoded.value().value);
                json::Reader r(text);
                json::JsonValue value;
                if (!r.parse_value(value) || !r.end_of_text()) return fail(r.error().text());
                json::write_value(w, value);
            }
        } else if (header.codec == drovane::kJsonCodec) {
            std::string bad = utf8_error(payload);
            if (!bad.empty()) return fail(std::move(bad));
            json::Reader r(payload);
            json::JsonValue value;
            if (!r.parse_value(value) || !r.end_of_text()) return fail(r.error().text());
            json::write_value(w, value);
        } else {
            return fail("unknown codec: " + header.codec);
        }
        w.raw(",\"rev\":");
        w.u64(header.rev);
        w.raw('}');
        return std::move(w.out);
    });
}

}  // namespace vorlan::wire
