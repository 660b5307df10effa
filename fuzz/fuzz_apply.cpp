// apply_json: a tree and a patch (split at the first NUL). The result is a tree
// in canonical form: applying the empty patch to it gives it back.
#include "common.hpp"

using namespace vorlan;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzz::Pair in = fuzz::split(fuzz::as_text(data, size));
    const bool utf8 = json::valid_utf8(in.first) && json::valid_utf8(in.second);

    Result<std::string> tree = apply_json(in.first, in.second);
    if (fuzz::not_built(tree)) return 0;
    if (utf8) fuzz::require_utf8(tree, "apply");
    if (!tree.ok()) return 0;

    json::JsonValue ignored;
    // Patches may build trees deeper than any tree text the reader accepts.
    if (fuzz::parse_output(tree.value(), ignored, "apply") == fuzz::Parsed::TooDeep) return 0;
    Result<std::string> again = apply_json(tree.value(), "{\"ops\":[]}");
    if (!again.ok() && again.error().rfind("recursion limit exceeded", 0) == 0) return 0;
    if (!again.ok()) fuzz::violated("apply result does not read as a tree", tree.value(), again.error());
    fuzz::require(again.value() == tree.value(), "apply result is not canonical", tree.value(), again.value());
    return 0;
}
