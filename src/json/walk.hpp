#pragma once
// The one walk over a JSON value that skipping, generic values, descriptions of a
// found value and the MessagePack packing build on (see Reader::walk).
#include <string>

#include "json/json.hpp"

namespace vorlan::json {

template <class Builder>
bool Reader::walk(Builder& b) {
    constexpr WalkRules R = Builder::rules;
    const int depth_before = remaining_depth_;
    // The innermost open bracket (0 at the top) and those around it: in place up
    // to the depth limit, the deeper ones, which only skipping opens, on the heap.
    char top = 0;
    char outer[kDepthLimit];
    std::string deeper;
    std::size_t depth = 0;
    auto failed = [&] {
        remaining_depth_ = depth_before;
        return false;
    };
    for (;;) {
        bool first = false;
        const int c = peek_ws();
        switch (c) {
            case 'n':
                bump();
                if (!parse_ident("ull") || !b.null()) return failed();
                break;
            case 't':
                bump();
                if (!parse_ident("rue") || !b.boolean(true)) return failed();
                break;
            case 'f':
                bump();
                if (!parse_ident("alse") || !b.boolean(false)) return failed();
                break;
            case '-': case '0': case '1': case '2': case '3': case '4':
            case '5': case '6': case '7': case '8': case '9':
                if constexpr (R.decode) {
                    Number n;
                    if (!parse_number(n) || !b.number(n)) return failed();
                } else {
                    if (c == '-') bump();
                    if (!skip_number()) return failed();
                }
                break;
            case '"':
                bump();
                if constexpr (R.decode) {
                    std::string_view s;
                    if (!parse_string(s) || !b.string(s)) return failed();
                } else {
                    if (!skip_string()) return failed();
                }
                break;
            case '[':
            case '{':
                if (!(c == '[' ? b.begin_array() : b.begin_object())) return failed();
                if constexpr (R.limit_depth) {
                    if (!enter()) return failed();
                } else {
                    bump();
                }
                if (R.limit_depth || depth < kDepthLimit) outer[depth] = top;
                else deeper.push_back(top);
                ++depth;
                top = static_cast<char>(c);
                first = true;
                break;
            case -1: return failed(), fail_peek("EOF while parsing a value");
            default: return failed(), fail_peek("expected value");
        }
        // The value is read: close the levels that end here, up to the next value.
        for (;;) {
            if (top == 0) return true;
            int more;
            if (top == '[') {
                more = next_element<R>(first);
                if (more > 0) b.element();
            } else {
                std::string_view key;
                more = next_key<R>(first, key);
                if (more > 0 && (!b.key(key) || !colon())) return failed();
            }
            if (more < 0) return failed();
            if (more > 0) break;
            bump();
            if constexpr (R.limit_depth) leave();
            top == '[' ? b.end_array() : b.end_object();
            --depth;
            if (R.limit_depth || depth < kDepthLimit) {
                top = outer[depth];
            } else {
                top = deeper.back();
                deeper.pop_back();
            }
            first = false;
        }
    }
}

}  // namespace vorlan::json
