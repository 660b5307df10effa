#include "drovane/frame.hpp"

#include <cstring>
#include <optional>

#include "operations.hpp"
#include "wire.hpp"

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

Result<std::string> encode_frame(std::string_view payload, std::string_view model_type, std::string_view kind,
                                 std::uint64_t rev, std::string_view codec) {
    return guarded([&]() -> Result<std::string> {
        using drovane::kLengthLimit;
        std::optional<wire::Packing> packing;
        if (codec == drovane::kMsgpackCodec) {
            Result<wire::Packing> read = wire::read_packing(payload);
            if (!read.ok()) return read.failure();
            packing.emplace(std::move(read.value()));
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

        std::uint64_t payload_size = packing ? packing->size : payload.size();
        if (payload_size >= kLengthLimit) return fail("frame payload too large: its length must stay below 2^32 bytes");

        std::string frame(8 + header.out.size() + payload_size, '\0');
        char* at = frame.data();
        drovane::put_u32(at, static_cast<std::uint32_t>(header.out.size()));
        std::memcpy(at + 4, header.out.data(), header.out.size());
        at += 4 + header.out.size();
        drovane::put_u32(at, static_cast<std::uint32_t>(payload_size));
        at += 4;
        if (packing) {
            packing->write(at);
        } else if (!payload.empty()) {
            std::memcpy(at, payload.data(), payload.size());
        }
        return frame;
    });
}

}  // namespace vorlan::patch

namespace vorlan::wire {

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
            Result<std::string> text = append_json(payload, std::move(w.out));
            if (!text.ok()) return text.failure();
            w.out = std::move(text.value());
        } else if (header.codec == drovane::kJsonCodec) {
            Result<std::string_view> valid = check_utf8(payload);
            if (!valid.ok()) return valid.failure();
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
