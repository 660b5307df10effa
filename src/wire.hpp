#pragma once
// Frame decoding: the MessagePack payload reader and the UTF-8 check with the
// messages decode_frame reports.
#include <string>
#include <string_view>

#include "json/json.hpp"
#include "operations.hpp"
#include "result.hpp"

namespace vorlan::wire {

inline constexpr int kMsgpackDepthLimit = 1024;  // reaching 0 on entering an array, map or ext fails

struct MsgpackValue {
    json::JsonValue value;
    int nesting = 0;  // the most arrays and maps open at once
};

// Decodes the first MessagePack value of bytes (later bytes are ignored).
Result<MsgpackValue> decode_msgpack(std::string_view bytes);

// Writes the first MessagePack value of bytes as compact JSON text, maps in key
// order, failing as decode_msgpack does. false, with part of the text written,
// when the value nests as deep as JSON reading allows.
Result<bool> write_msgpack(std::string_view bytes, json::Writer& w);

// Empty when s is valid UTF-8, else "invalid utf-8 sequence of N bytes from
// index I" or "incomplete utf-8 byte sequence from index I".
std::string utf8_error(std::string_view s);

}  // namespace vorlan::wire
