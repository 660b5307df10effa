#include "drovane/frame.hpp"

#include <cstring>
#include <msgpack/pack.hpp>

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
            bool ok = false;
            switch (field) {
                case 0: ok = r.read_string(out.codec); break;
                case 1: ok = r.read_string(out.model_type); break;
                case 2: ok = r.read_u64(out.target, "u64"); break;
                case 3: ok = r.read_u64(out.rev, "u64"); break;
                default: ok = read_frame_kind(r, out.kind); break;
            }
            if (!ok) return false;
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
            bool ok = false;
            switch (field) {
                case 0: ok = r.read_string(out.codec); break;
                case 1: ok = r.read_string(out.model_type); break;
                case 2: ok = r.read_u64(out.target, "u64"); break;
                case 3: ok = r.read_u64(out.rev, "u64"); break;
                default: ok = read_frame_kind(r, out.kind); break;
            }
            if (!ok) return false;
        }
        return true;
    });
    if (c < 0) return r.fail_peek("EOF while parsing a value");
    return r.fail_invalid_type_here("struct Header");
}

}  // namespace vorlan::drovane

namespace vorlan::patch {
namespace {

using json::JsonValue;

std::size_t uint_size(std::uint64_t n) { return n < 128 ? 1 : n < 256 ? 2 : n < 65536 ? 3 : n < (1ull << 32) ? 5 : 9; }

std::size_t int_size(std::int64_t n) {
    if (n >= 0) return uint_size(static_cast<std::uint64_t>(n));
    return n >= -32 ? 1 : n >= -128 ? 2 : n >= -32768 ? 3 : n >= -(1ll << 31) ? 5 : 9;
}

std::size_t str_size(std::size_t n) { return (n < 32 ? 1 : n < 256 ? 2 : n < 65536 ? 3 : 5) + n; }
std::size_t container_size(std::size_t n) { return n < 16 ? 1 : n < 65536 ? 3 : 5; }

// Both walks recurse: a JsonValue from the reader nests fewer than 128 levels.
std::size_t packed_size(const JsonValue& v) {
    switch (v.kind()) {
        case JsonValue::Kind::Null:
        case JsonValue::Kind::Bool: return 1;
        case JsonValue::Kind::U64: return uint_size(*v.as_u64());
        case JsonValue::Kind::I64: return int_size(*v.as_i64());
        case JsonValue::Kind::F64: return 9;
        case JsonValue::Kind::String: return str_size(v.as_string()->size());
        case JsonValue::Kind::Array: {
            const json::JsonArray& a = *v.as_array();
            std::size_t n = container_size(a.size());
            for (const JsonValue& e : a) n += packed_size(e);
            return n;
        }
        case JsonValue::Kind::Object: {
            const json::JsonObject& o = *v.as_object();
            std::size_t n = container_size(o.size());
            for (const json::JsonMember& m : o) n += str_size(m.key.size()) + packed_size(m.value);
            return n;
        }
    }
    return 0;
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

void pack_string(Packer& pk, std::string_view s) {
    pk.pack_str(static_cast<std::uint32_t>(s.size()));
    pk.pack_str_body(s.data(), static_cast<std::uint32_t>(s.size()));
}

void pack_value(Packer& pk, FixedSink& sink, const JsonValue& v) {
    switch (v.kind()) {
        case JsonValue::Kind::Null: pk.pack_nil(); break;
        case JsonValue::Kind::Bool: *v.as_bool() ? pk.pack_true() : pk.pack_false(); break;
        case JsonValue::Kind::U64: pk.pack_uint64(*v.as_u64()); break;
        case JsonValue::Kind::I64: {
            std::int64_t n = *v.as_i64();
            n >= 0 ? pk.pack_uint64(static_cast<std::uint64_t>(n)) : pk.pack_int64(n);
            break;
        }
        case JsonValue::Kind::F64: pack_float64(sink, *v.as_f64()); break;
        case JsonValue::Kind::String: pack_string(pk, *v.as_string()); break;
        case JsonValue::Kind::Array: {
            const json::JsonArray& a = *v.as_array();
            pk.pack_array(static_cast<std::uint32_t>(a.size()));
            for (const JsonValue& e : a) pack_value(pk, sink, e);
            break;
        }
        case JsonValue::Kind::Object: {
            const json::JsonObject& o = *v.as_object();
            pk.pack_map(static_cast<std::uint32_t>(o.size()));
            for (const json::JsonMember& m : o) {
                pack_string(pk, m.key);
                pack_value(pk, sink, m.value);
            }
            break;
        }
    }
}

}  // namespace

Result<std::string> encode_frame(std::string_view payload, std::string_view model_type, std::string_view kind,
                                 std::uint64_t rev, std::string_view codec) {
    return guarded([&]() -> Result<std::string> {
        using drovane::kLengthLimit;
        bool msgpack = false;
        JsonValue doc;
        if (codec == drovane::kMsgpackCodec) {
            json::Reader r(payload);
            if (!r.parse_value(doc) || !r.end_of_text()) return fail(r.error().text());
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

        std::size_t payload_size = msgpack ? packed_size(doc) : payload.size();
        if (payload_size >= kLengthLimit) return fail("frame payload too large: its length must stay below 2^32 bytes");

        std::string frame(8 + header.out.size() + payload_size, '\0');
        char* at = frame.data();
        drovane::put_u32(at, static_cast<std::uint32_t>(header.out.size()));
        std::memcpy(at + 4, header.out.data(), header.out.size());
        at += 4 + header.out.size();
        drovane::put_u32(at, static_cast<std::uint32_t>(payload_size));
        at += 4;
        if (msgpack) {
            FixedSink sink{at};
            Packer pk(sink);
            pack_value(pk, sink, doc);
        } else if (!payload.empty()) {
            std::memcpy(at, payload.data(), payload.size());
        }
        return frame;
    });
}

}  // namespace vorlan::patch
