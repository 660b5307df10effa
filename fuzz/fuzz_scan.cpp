// scan_to_stop: the vector scan and the byte loop agree from every start position.
#include "common.hpp"
#include "json/scan.hpp"

using namespace vorlan;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    for (std::size_t start = 0; start <= size; ++start) {
        const std::size_t vector = json::detail::scan_to_stop(text, start, size);
        fuzz::require(vector == json::detail::scan_to_stop_plain(text, start, size),
                      "scan_to_stop and scan_to_stop_plain disagree", std::string_view(text + start, size - start));
    }
    return 0;
}
