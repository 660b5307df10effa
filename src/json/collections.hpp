#pragma once
// The two collection shapes records are made of, read in place: a JSON array into
// a vector and a JSON object into a text-keyed map (the last repeated key wins).
#include <string>
#include <vector>

#include "json/json.hpp"
#include "sorted_map.hpp"

namespace vorlan::json {

// read_one(Reader&, T&) reads one element; anything but an array is a type failure.
template <class T, class A, class F>
bool read_list(Reader& r, std::vector<T, A>& out, F&& read_one) {
    int c = r.peek_ws();
    if (c == '[') return r.in_array([&] {
        bool first = true;
        for (;;) {
            int e = r.next_element(first);
            if (e < 0) return false;
            if (e == 0) return true;
            // Lists mostly hold a few elements: skip the first doublings.
            if (out.capacity() == 0) out.reserve(4);
            out.emplace_back();
            if (!read_one(r, out.back())) return false;
        }
    });
    if (c < 0) return r.fail_peek("EOF while parsing a value");
    return r.fail_invalid_type_here("a sequence");
}

// read_one(Reader&, T&) reads one member value; anything but an object is a type failure.
template <class T, class F>
bool read_map(Reader& r, SortedMap<T>& out, F&& read_one) {
    int c = r.peek_ws();
    if (c == '{') return r.in_object([&] {
        bool first = true;
        std::string_view key;
        for (;;) {
            int k = r.next_key(first, key);
            if (k < 0) return false;
            if (k == 0) return true;
            // A repeated key's entry is reset first, so the last one wins.
            T& value = out.set(String(key), T{});
            if (!r.colon() || !read_one(r, value)) return false;
        }
    });
    if (c < 0) return r.fail_peek("EOF while parsing a value");
    return r.fail_invalid_type_here("a map");
}

}  // namespace vorlan::json
