#pragma once
// The frame envelope: the Header record and FrameKind, their JSON forms, and the
// frame's length-prefixed byte layout. frame.cpp also holds the two operations on
// frames, encode_frame and decode_frame (operations.hpp), side by side.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "json/json.hpp"

namespace vorlan::drovane {

enum class FrameKind : std::uint8_t { Snapshot, Patch };

struct Header {
    std::string codec;
    std::string model_type;
    std::uint64_t target = 0;
    std::uint64_t rev = 0;
    FrameKind kind = FrameKind::Snapshot;
};

inline constexpr std::string_view kJsonCodec = "application/json";
inline constexpr std::string_view kMsgpackCodec = "application/msgpack";

// A length field holds 32 bits: a header or payload must stay below this.
inline constexpr std::uint64_t kLengthLimit = std::uint64_t{1} << 32;

// "Snapshot" / "Patch": the header's names.
std::string_view frame_kind_name(FrameKind kind);
// "snapshot" / "patch": the names at the Python surface.
std::string_view frame_kind_surface_name(FrameKind kind);

// Writes the compact header {"codec":..,"model_type":..,"target":..,"rev":..,"kind":..}.
void write_header(json::Writer& w, std::string_view codec, std::string_view model_type, std::uint64_t target,
                  std::uint64_t rev, FrameKind kind);
// Reads a Header where the reader stands: an object (keys in any order, others
// skipped) or an array of the five fields in order.
bool read_header(json::Reader& r, Header& out);
// "Snapshot", "Patch", or {"Snapshot":null} / {"Patch":null}.
bool read_frame_kind(json::Reader& r, FrameKind& out);

// Big-endian 32-bit length field.
inline void put_u32(char* p, std::uint32_t v) {
    p[0] = static_cast<char>(v >> 24);
    p[1] = static_cast<char>(v >> 16);
    p[2] = static_cast<char>(v >> 8);
    p[3] = static_cast<char>(v);
}
inline std::uint32_t get_u32(const char* p) {
    auto b = [p](int i) { return static_cast<std::uint32_t>(static_cast<unsigned char>(p[i])); };
    return b(0) << 24 | b(1) << 16 | b(2) << 8 | b(3);
}

}  // namespace vorlan::drovane
