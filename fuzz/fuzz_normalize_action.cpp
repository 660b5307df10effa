// normalize_action: canonical output, a fixed point of itself, strings read alike
// however escaped, and the one-pass reader agreeing with the two-phase one.
#include "action.hpp"
#include "common.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Records the target builds itself (outside an operation) need an arena per input.
    const vorlan::ArenaScope arena;
    vorlan::fuzz::check_normalizer(vorlan::action::normalize_action_json, "normalize_action", data, size);
    vorlan::fuzz::check_same_as(vorlan::action::normalize_action_json, vorlan::action::normalize_action_json_two_phase,
                                "normalize_action: one-pass and two-phase readers differ", data, size);
    return 0;
}
