// normalize_binding: canonical output, a fixed point of itself, strings read alike
// however escaped.
#include "common.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Records the target builds itself (outside an operation) need an arena per input.
    const vorlan::ArenaScope arena;
    vorlan::fuzz::check_normalizer(vorlan::node::normalize_binding_json, "normalize_binding", data, size);
    return 0;
}
