#pragma once
// The two collection shapes records are made of, read in place: a JSON array into
// a vector and a JSON object into a text-keyed map (the last repeated key wins).
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "json/json.hpp"
#include "sorted_map.hpp"

namespace vorlan::json {

namespace detail {

// The length of the last list or map of element type E read at a nesting depth.
// Siblings in a tree tend to be alike (the cells of each row, the props of each
// cell), so a new collection is first given the room its last sibling needed:
// growing from empty would move every element about twice and leave on average a
// quarter of the capacity unused. Capped, so one long list does not make every
// later one at its depth start large.
inline constexpr std::uint32_t kLengthHintCap = 64;

template <class E>
std::uint32_t& length_hint(int depth) {
    thread_local std::uint32_t hints[kDepthLimit + 1] = {};
    return hints[depth < 0 ? 0 : depth > kDepthLimit ? kDepthLimit : depth];
}

template <class E>
void note_length(int depth, std::size_t n) {
    length_hint<E>(depth) = static_cast<std::uint32_t>(n < kLengthHintCap ? n : kLengthHintCap);
}

// Room for one more element. A list past kSmallList bytes moves straight to a piece
// of its own (Arena::allocate_large): such a piece is given back when outgrown, where
// smaller ones stay in the arena until the call ends, and its pages that are never
// written are never faulted in.
inline constexpr std::size_t kSmallList = std::size_t{64} << 10;

template <class T, class A>
void grow(std::vector<T, A>& list, std::size_t hint) {
    std::size_t want = list.empty() ? std::max<std::size_t>(hint, 1) : 2 * list.capacity();
    if (want * sizeof(T) > kSmallList) want = std::max(want, Arena::kLargest / sizeof(T) + 1);
    list.reserve(want);
}

}  // namespace detail

// read_one(Reader&, T&) reads one element; anything but an array is a type failure.
template <class T, class A, class F>
bool read_list(Reader& r, std::vector<T, A>& out, F&& read_one,
               Reader::ArrayClose close = Reader::ArrayClose::BracketOrComma) {
    int c = r.peek_ws();
    if (c == '[') return r.in_array([&] {
        bool first = true;
        for (;;) {
            int e = r.next_element(first);
            if (e < 0) return false;
            if (e == 0) {
                if (!out.empty()) detail::note_length<T>(r.depth(), out.size());
                return true;
            }
            if (out.size() == out.capacity()) detail::grow(out, detail::length_hint<T>(r.depth()));
            out.emplace_back();
            if (!read_one(r, out.back())) return false;
        }
    }, close);
    if (c < 0) return r.fail_peek("EOF while parsing a value");
    return r.fail_invalid_type_here("a sequence");
}

// A map being read keeps its entries sorted while it has fewer than this, a key out of
// order put at its place: for the few entries most maps have that costs less than a
// sort, and it moves at most this many entries per key. A larger map out of order takes
// the rest of its entries in text order and is sorted once when read.
inline constexpr std::size_t kSortedInsertBelow = 16;

// read_one(Reader&, T&) reads one member value; anything but an object is a type failure.
// A read_one that also takes the key (Reader&, T&, std::string_view) is given it; the
// view holds until the reader reads another string. out is a SortedMap<T>, or a map
// that offers the members used here as it does. The last of a repeated key is kept.
template <class M, class F>
bool read_map(Reader& r, M& out, F&& read_one) {
    using T = std::remove_reference_t<decltype(out.add(std::string_view{}))>;
    int c = r.peek_ws();
    if (c == '{') {
        bool sorted = true;
        const bool read = r.in_object([&] {
            bool first = true;
            std::string_view key;
            for (;;) {
                int k = r.next_key(first, key);
                if (k < 0) return false;
                if (k == 0) {
                    if (!out.empty()) detail::note_length<M>(r.depth(), out.size());
                    return true;
                }
                if (out.capacity() == 0)
                    out.reserve(std::max<std::uint32_t>(detail::length_hint<M>(r.depth()), 1));
                T* value;
                if (!sorted || out.follows(key)) {
                    value = &out.add(key);
                } else {
                    // The writer puts each key once, in byte order: the new key must sort after the last.
                    r.noncanonical();
                    sorted = out.size() < kSortedInsertBelow;
                    value = sorted ? &out.reset_slot(key) : &out.add(key);
                }
                if (!r.colon()) return false;
                if constexpr (std::is_invocable_v<F&, Reader&, T&, std::string_view>) {
                    if (!read_one(r, *value, key)) return false;
                } else if (!read_one(r, *value)) {
                    return false;
                }
            }
        });
        // Also when the read failed, so that the map holds each key once, in order.
        if (!sorted) [[unlikely]] out.settle();
        return read;
    }
    if (c < 0) return r.fail_peek("EOF while parsing a value");
    return r.fail_invalid_type_here("a map");
}

// null reads as no value; anything else as read_one(Reader&, T&) reads it.
template <class T, class F>
bool read_nullable(Reader& r, std::optional<T>& out, F&& read_one) {
    bool is_null = false;
    if (!r.read_null(is_null)) return false;
    if (is_null) {
        r.noncanonical();  // most writers leave out what is absent; those that write null are checked by writing
        out.reset();
        return true;
    }
    return read_one(r, out.emplace());
}

inline bool read_optional_string(Reader& r, std::optional<String>& out) {
    return read_nullable(r, out, [](Reader& in, String& s) { return in.read_string(s); });
}

// The map (a SortedMap, or a map of key-value entries as it is) as an object in key
// order, each value as write_one(Writer&, const T&) writes it.
template <class M, class F>
void write_map(Writer& w, const M& m, F&& write_one) {
    w.raw('{');
    bool first = true;
    for (const auto& [key, value] : m) {
        if (!first) w.raw(',');
        first = false;
        w.key(key);
        write_one(w, value);
    }
    w.raw('}');
}

}  // namespace vorlan::json
