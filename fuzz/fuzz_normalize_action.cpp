// normalize_action: canonical output, a fixed point of itself.
#include "common.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    vorlan::fuzz::check_normalizer(vorlan::action::normalize_action_json, "normalize_action", data, size);
    return 0;
}
