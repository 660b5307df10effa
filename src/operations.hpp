#pragma once
// The eleven operations the Python functions call. Each takes UTF-8 texts
// (bytes for decode_frame) and returns its result text or one error message.
#include <cstdint>
#include <string>
#include <string_view>

#include "result.hpp"

namespace vorlan {

Result<std::string> diff_json(std::string_view old_tree, std::string_view new_tree);
Result<std::string> apply_json(std::string_view root, std::string_view patch);

namespace cem {
Result<std::string> parse_cem_json(std::string_view manifest);
}

namespace action {
Result<std::string> normalize_action_json(std::string_view value);
Result<std::string> normalize_expr_json(std::string_view value);
Result<std::string> action_schema_json();
Result<std::string> expr_schema_json();
}  // namespace action

namespace node {
Result<std::string> normalize_binding_json(std::string_view value);
Result<std::string> binding_schema_json();
}  // namespace node

namespace patch {
// Returns the frame bytes in a std::string.
Result<std::string> encode_frame(std::string_view payload, std::string_view model_type,
                                 std::string_view kind, std::uint64_t rev, std::string_view codec);
}

namespace wire {
Result<std::string> decode_frame(std::string_view frame);
}

}  // namespace vorlan
