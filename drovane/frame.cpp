#include "drovane/frame.hpp"

#include <cstring>
#include <optional>

#include "operations.hpp"
#include "json/record.hpp"
#include "wire.hpp"

namespace vorlan::drovane {
namespace {

constexpr std::string_view kKindNames[] = {"Snapshot", "Patch"};
constexpr auto kHeader = json::record("struct Header", {{"codec"}, {"model_type"}, {"target"}, {"rev"}, {"kind"}});

}  // namespace

std::string_view frame_kind_name(FrameKind kind) { return kKindNames[static_cast<int>(kind)]; }

std::string_view frame_kind_surface_name(FrameKind kind) {
    return kind == FrameKind::Snapshot ? "snapshot" : "patch";
}

void write_header(json::Writer& w, std::string_view codec, std::string_view model_type, std::uint64_t target,
                  std::uint64_t rev, FrameKind kind) {
    w.raw('{');
    json::write_members(
        w, kHeader, false, [](int) { return false; },
        [&](int i) {
            switch (i) {
                case kHeader.slot("codec"): return w.string(codec);
                case kHeader.slot("model_type"): return w.string(model_type);
                case kHeader.slot("target"): return w.u64(target);
                case kHeader.slot("rev"): return w.u64(rev);
                case kHeader.slot("kind"): return w.string(frame_kind_name(kind));
            }
        });
    w.raw('}');
}

bool read_frame_kind(json::Reader& r, FrameKind& out) {
    int index = 0;
    if (!json::read_unit_variant(r, kKindNames, index, json::NameRule::Identifier)) return false;
    out = static_cast<FrameKind>(index);
    return true;
}

namespace {

// Field i of a header in declaration order, as both the object and the array form hold it.
bool read_header_field(json::Reader& r, int i, Header& out) {
    switch (i) {
        case kHeader.slot("codec"): return r.read_string(out.codec);
        case kHeader.slot("model_type"): return r.read_string(out.model_type);
        case kHeader.slot("target"): return r.read_u64(out.target, "u64");
        case kHeader.slot("rev"): return r.read_u64(out.rev, "u64");
        case kHeader.slot("kind"): return read_frame_kind(r, out.kind);
    }
    return false;  // not reached: every field of kHeader has its case
}

}  // namespace

bool read_header(json::Reader& r, Header& out) {
    return json::read_record(r, kHeader, [&](int i) { return read_header_field(r, i, out); });
}

}  // namespace vorlan::drovane

namespace vorlan::patch {

Result<std::string> encode_frame(std::string_view payload, std::string_view model_type, std::string_view kind,
                                 std::uint64_t rev, std::string_view codec) {
    return in_arena([&]() -> Result<std::string> {
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
    return in_arena([&]() -> Result<std::string> {
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
            Result<std::string> text = append_canonical_json(payload, std::move(w.out));
            if (!text.ok()) return text.failure();
            w.out = std::move(text.value());
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
