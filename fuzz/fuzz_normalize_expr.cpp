// normalize_expr: canonical output, a fixed point of itself.
#include "common.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    vorlan::fuzz::check_normalizer(vorlan::action::normalize_expr_json, "normalize_expr", data, size);
    return 0;
}
