// diff_json: two trees (split at the first NUL). A tree diffs to nothing against
// itself, and apply(old, diff(old, new)) succeeds and reads as new. Strings written
// as \u escapes read as the plain ones. The operation gives what reading both trees
// in full gives, also where the new text repeats the old one's bytes one level deeper
// or shallower.
#include <optional>
#include <set>
#include <string>

#include "common.hpp"
#include "tests/cpp/plain_diff.hpp"

using namespace vorlan;

namespace {

constexpr std::string_view kNoOps = "{\"ops\":[]}";

const json::JsonValue* member(const json::JsonValue& object, std::string_view key) {
    if (const json::JsonObject* members = object.as_object())
        for (const json::JsonMember& m : *members)
            if (m.key == key) return &m.value;
    return nullptr;
}

// Where the diff does not promise equality: an empty slot list (no op creates
// or keeps one) or a slot list in which two children share a key.
bool exact_round_trip_promised(const json::JsonValue& node) {
    const json::JsonValue* slots = member(node, "slots");
    if (!slots || !slots->as_object()) return true;
    for (const json::JsonMember& slot : *slots->as_object()) {
        const json::JsonArray* children = slot.value.as_array();
        if (!children || children->empty()) return false;
        std::set<std::string_view> keys;
        for (const json::JsonValue& child : *children) {
            const json::JsonValue* key = member(child, "key");
            if (key && key->as_string() && !keys.insert(*key->as_string()).second) return false;
            if (!exact_round_trip_promised(child)) return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Records the target builds itself (outside an operation) need an arena per input.
    const vorlan::ArenaScope arena;
    const fuzz::Pair in = fuzz::split(fuzz::as_text(data, size));
    const bool utf8 = json::valid_utf8(in.first) && json::valid_utf8(in.second);

    std::optional<Result<std::string>> first;
    const std::size_t peak = fuzz::arena_peak_of([&] { first.emplace(diff_json(in.first, in.second)); });
    fuzz::require_arena_bound(peak, size, 128, "diff");
    const Result<std::string>& patch = *first;
    if (utf8) fuzz::require_utf8(patch, "diff");
    fuzz::require_same_outcome(patch, plain_diff_json(in.first, in.second), true,
                               "diff_json differs from reading both trees in full");
    const std::string wrapped = "{\"tag\":\"w\",\"slots\":{\"s\":[" + std::string(in.first) + "]}}";
    for (const auto& [old_tree, new_tree] : {fuzz::Pair{in.first, wrapped}, fuzz::Pair{wrapped, in.first}})
        fuzz::require_same_outcome(diff_json(old_tree, new_tree), plain_diff_json(old_tree, new_tree), true,
                                   "diff_json differs from reading both trees in full (one level apart)");
    // Respelled, no variant name matches the value reader's raw-byte shortcut.
    fuzz::require_same_outcome(patch, diff_json(fuzz::respell_strings(in.first), fuzz::respell_strings(in.second)),
                               false, "escaped strings do not read as the plain ones");
    if (!patch.ok()) return 0;
    json::JsonValue ignored;
    // A patch carries its nodes and values a few levels below where the tree holds
    // them, so a tree near the nesting limit makes a patch no reader takes.
    if (fuzz::parse_output(patch.value(), ignored, "diff") == fuzz::Parsed::TooDeep) return 0;

    Result<std::string> same = diff_json(in.first, in.first);
    fuzz::require(same.ok() && same.value() == kNoOps, "a tree differs from itself", in.first,
                  same.ok() ? same.value() : same.error());

    Result<std::string> applied = apply_json(in.first, patch.value());
    if (!applied.ok()) fuzz::violated("apply(old, diff(old, new)) failed", patch.value(), applied.error());

    Result<std::string> old_canonical = apply_json(in.first, kNoOps);
    Result<std::string> new_canonical = apply_json(in.second, kNoOps);
    fuzz::require(old_canonical.ok() && new_canonical.ok(), "a tree that diffs does not apply an empty patch");
    if (applied.value() == new_canonical.value()) return 0;

    json::JsonValue old_tree, new_tree, result;
    if (fuzz::parse_output(old_canonical.value(), old_tree, "apply") != fuzz::Parsed::Ok) return 0;
    if (fuzz::parse_output(new_canonical.value(), new_tree, "apply") != fuzz::Parsed::Ok) return 0;
    if (fuzz::parse_output(applied.value(), result, "apply") != fuzz::Parsed::Ok) return 0;
    if (!exact_round_trip_promised(old_tree) || !exact_round_trip_promised(new_tree)) return 0;
    // Structural equality: floats by IEEE, so 0.0 and -0.0 need no op.
    fuzz::require(result == new_tree, "apply(old, diff(old, new)) differs from new", applied.value(),
                  new_canonical.value());
    return 0;
}
