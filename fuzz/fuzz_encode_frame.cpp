// encode_frame, both codecs. Input: byte 0 picks the codec and the kind (bit 0:
// msgpack, bit 1: patch; bits 2 and 3 substitute a wrong codec or kind), byte 1
// the model type's length (mod 32), bytes 2-9 the revision, then the model type,
// then the payload. A frame that encodes decodes to the caller's fields and the
// payload's JSON value.
#include <cstring>

#include "common.hpp"

using namespace vorlan;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Records the target builds itself (outside an operation) need an arena per input.
    const vorlan::ArenaScope arena;
    if (size < 10) return 0;
    const bool msgpack = data[0] & 1;
    const std::string_view kind = (data[0] & 8) ? "Patch" : (data[0] & 2) ? "patch" : "snapshot";
    const std::string_view codec = (data[0] & 4) ? "application/json " : msgpack ? "application/msgpack" : "application/json";
    std::size_t model_length = data[1] % 32;
    std::uint64_t rev = 0;
    for (int i = 2; i < 10; ++i) rev = rev << 8 | data[i];
    std::string_view rest = fuzz::as_text(data + 10, size - 10);
    if (model_length > rest.size()) model_length = rest.size();
    const std::string_view model_type = rest.substr(0, model_length);
    const std::string_view payload = rest.substr(model_length);
    const bool utf8 = json::valid_utf8(model_type) && json::valid_utf8(payload);

    Result<std::string> frame = patch::encode_frame(payload, model_type, kind, rev, codec);
    if (utf8 && !frame.ok()) fuzz::require_utf8(frame, "encode_frame");
    const bool good_args = !(data[0] & 12);
    if (!frame.ok()) {
        if (good_args && !msgpack) fuzz::violated("the JSON codec refused a payload", payload, frame.error());
        return 0;
    }
    fuzz::require(good_args, "a wrong codec or kind was framed", codec, kind);

    const std::string& bytes = frame.value();
    fuzz::require(bytes.size() >= 8, "frame shorter than its two length fields");
    auto be32 = [&](std::size_t at) {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = v << 8 | static_cast<unsigned char>(bytes[at + i]);
        return static_cast<std::size_t>(v);
    };
    const std::size_t h = be32(0);
    fuzz::require(bytes.size() >= 8 + h && bytes.size() == 8 + h + be32(4 + h), "frame lengths do not add up");
    if (!msgpack) fuzz::require(bytes.compare(8 + h, std::string::npos, payload) == 0, "JSON payload not framed unchanged");
    if (!utf8) return 0;

    Result<std::string> decoded = wire::decode_frame(bytes);
    fuzz::require_utf8(decoded, "decode_frame");

    json::JsonValue value;
    json::Reader reader(payload, true);
    if (!(reader.parse_value(value) && reader.end_of_text())) {
        // Only the JSON codec frames a payload that is no JSON document.
        fuzz::require(!msgpack, "msgpack framed a payload that does not read", payload);
        if (decoded.ok()) fuzz::violated("a frame whose payload is no JSON decoded", payload, decoded.value());
        return 0;
    }
    if (!decoded.ok()) fuzz::violated("an encoded frame does not decode", payload, decoded.error());
    json::Writer expected;
    expected.raw("{\"kind\":");
    expected.string(kind);
    expected.raw(",\"model_type\":");
    expected.string(model_type);
    expected.raw(",\"payload\":");
    json::write_value(expected, value);
    expected.raw(",\"rev\":");
    expected.u64(rev);
    expected.raw('}');
    fuzz::require(decoded.value() == expected.out, "decoded frame differs from what was framed", expected.out,
                  decoded.value());
    return 0;
}
