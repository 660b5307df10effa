// decode_frame: any bytes give a UTF-8 JSON object or one UTF-8 message; a
// decoded frame framed again as JSON decodes to the same text.
#include "common.hpp"

using namespace vorlan;

namespace {

const json::JsonValue* member(const json::JsonValue& object, std::string_view key) {
    if (const json::JsonObject* members = object.as_object())
        for (const json::JsonMember& m : *members)
            if (m.key == key) return &m.value;
    return nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Records the target builds itself (outside an operation) need an arena per input.
    const vorlan::ArenaScope arena;
    Result<std::string> r = wire::decode_frame(fuzz::as_text(data, size));
    fuzz::require_utf8(r, "decode_frame");
    if (!r.ok()) return 0;

    json::JsonValue out;
    if (fuzz::parse_output(r.value(), out, "decode_frame") == fuzz::Parsed::TooDeep) return 0;
    const json::JsonObject* members = out.as_object();
    fuzz::require(members && members->size() == 4, "decode_frame result is not a four-member object", r.value());
    const json::JsonValue* kind = member(out, "kind");
    const json::JsonValue* model_type = member(out, "model_type");
    const json::JsonValue* payload = member(out, "payload");
    const json::JsonValue* rev = member(out, "rev");
    fuzz::require(kind && kind->as_string() && model_type && model_type->as_string() && payload && rev &&
                      rev->as_u64(),
                  "decode_frame result lacks a member", r.value());

    Result<std::string> frame = patch::encode_frame(json::to_text(*payload), *model_type->as_string(),
                                                    *kind->as_string(), *rev->as_u64(), "application/json");
    if (!frame.ok()) fuzz::violated("a decoded frame does not encode", r.value(), frame.error());
    Result<std::string> again = wire::decode_frame(frame.value());
    if (!again.ok()) fuzz::violated("a re-encoded frame does not decode", r.value(), again.error());
    fuzz::require(again.value() == r.value(), "decode(encode(decode(frame))) differs", r.value(), again.value());
    return 0;
}
