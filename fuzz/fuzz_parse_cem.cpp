// parse_cem: any manifest text gives a JSON result or one message.
#include "common.hpp"

using namespace vorlan;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Records the target builds itself (outside an operation) need an arena per input.
    const vorlan::ArenaScope arena;
    const std::string_view input = fuzz::as_text(data, size);
    Result<std::string> r = cem::parse_cem_json(input);
    if (json::valid_utf8(input)) fuzz::require_utf8(r, "parse_cem");
    if (!r.ok()) return 0;
    json::JsonValue list;
    if (fuzz::parse_output(r.value(), list, "parse_cem") == fuzz::Parsed::Ok)
        fuzz::require(list.as_array() != nullptr, "parse_cem result is not a list", r.value());
    Result<std::string> again = cem::parse_cem_json(input);
    fuzz::require(again.ok() && again.value() == r.value(), "parse_cem is not deterministic", r.value());
    return 0;
}
