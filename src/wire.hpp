#pragma once
// MessagePack both ways, for frame payloads: a JSON document packed with maps in
// key order, and a MessagePack value written back as compact JSON text; and the
// UTF-8 check with the messages decode_frame reports.
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "result.hpp"

namespace vorlan::wire {

// A JSON document read for packing, measured before it is written so that the
// frame can be allocated at its final size. It points into the text it was read
// from, which must outlive it.
struct Packing {
    struct Node;  // one value of the document

    Packing();
    Packing(Packing&&) noexcept;
    Packing& operator=(Packing&&) noexcept;
    ~Packing();

    // Writes the MessagePack form, size bytes, at out.
    void write(char* out) const;

    std::vector<Node> nodes;        // the document's values in text order
    std::vector<std::size_t> order;  // key node indices of re-ordered maps
    std::deque<std::string> unescaped;  // strings with escapes, which the reader leaves in its scratch
    // The bytes of the MessagePack form: every header in its most compact form,
    // every float as float 64, maps in key order with the last of a repeated key.
    std::uint64_t size = 0;
};

// Reads text as one JSON document, failing with the reader's message and position.
Result<Packing> read_packing(std::string_view text);

// Appends the first MessagePack value of bytes (later bytes are ignored) to text
// as compact JSON, maps in key order with the last of a repeated key, and returns
// text. Fails at the first refused item in stream order; a value nested as deep
// as JSON reading refuses fails as reading its text would.
Result<std::string> append_json(std::string_view bytes, std::string text);

// Appends a JSON document to text as a generic value read from it is written (compact,
// maps in key order with the last of a repeated key), and returns text; fails with
// the reader's message and position.
Result<std::string> append_canonical_json(std::string_view json, std::string text);

// s when it is valid UTF-8, else "invalid utf-8 sequence of N bytes from index I"
// or "incomplete utf-8 byte sequence from index I".
Result<std::string_view> check_utf8(std::string_view s);

}  // namespace vorlan::wire
