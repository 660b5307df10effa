#pragma once
// Records and tag-outside unions, read by one table each.
//
// A record is a struct of declared fields, read from an object of its fields or
// from an array of the field values in declared order (a tuple only from the
// array). Its table says, field by field, how each may be left out and how a
// writer puts a field that holds nothing; the messages of a missing, repeated or
// undeclared field and of a short array are made from the table. The value of
// field i is read or written by the record's own callback, so the loops below
// are the only ones, and the inline fast paths of the Reader stay under them.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "json/json.hpp"

namespace vorlan::json {

// How a field may be left out when read.
enum class Presence : std::uint8_t {
    Required,  // from neither form
    Default,   // absent from an object, or missing at the end of an array: its default
    InObject,  // absent from an object: nothing; an array still holds it, null for nothing
};

// How a writer puts a field that holds nothing (absent, or an empty list or map).
enum class Empty : std::uint8_t { Omit, Null };

struct Field {
    std::string_view key;
    Presence presence = Presence::Required;
    Empty empty = Empty::Omit;
};

// What the object form does with a key the record does not declare.
enum class Undeclared : std::uint8_t { Skip, Reject };

// Struct: object or array form. Tuple: array form only.
enum class Form : std::uint8_t { Struct, Tuple };

template <std::size_t N>
struct Record {
    // The record's name, in two parts for the variants of a union ("struct variant Op::"
    // and "SetProp"): a type failure of a struct expects it, and its array text starts with it.
    std::string_view name;
    std::string_view variant;
    std::array<Field, N> fields;
    Undeclared undeclared = Undeclared::Skip;
    Form form = Form::Struct;

    static constexpr std::size_t size() { return N; }

    // Inlined where the table is known, so that each key compares at its known length.
    [[gnu::always_inline]] constexpr int find(std::string_view key) const {
        for (std::size_t i = 0; i < N; ++i)
            if (same(fields[i].key, key)) return static_cast<int>(i);
        return -1;
    }

    // Calls f(i) for each field in order, unrolled, so that a switch on i in f folds away.
    template <class F>
    static constexpr void each(F&& f) {
        [&]<std::size_t... I>(std::index_sequence<I...>) { (f(static_cast<int>(I)), ...); }(
            std::make_index_sequence<N>{});
    }

    // The index of a field the table must hold, for case labels (see json::slot).
    consteval int slot(std::string_view key) const {
        const int i = find(key);
        if (i < 0) name_not_in_table();
        return i;
    }

    // The first field at or after i that an array may not leave out, or N.
    constexpr std::size_t needed_from(std::size_t i) const {
        while (i < N && fields[i].presence == Presence::Default) ++i;
        return i;
    }

    // The first field an object may not leave out that it did, or N.
    constexpr std::size_t first_missing(const bool* seen) const {
        for (std::size_t i = 0; i < N; ++i)
            if (!seen[i] && fields[i].presence == Presence::Required) return i;
        return N;
    }

    // The expected text of a value of the wrong type.
    std::string expected() const {
        if (form == Form::Tuple) return tuple_text();
        return std::string(name).append(variant);
    }

    // The expected text of an array that ends too soon: "struct Node with 7 elements",
    // "an array of length 2".
    std::string length_text() const {
        if (form == Form::Tuple) return tuple_text();
        return expected().append(" with ").append(std::to_string(N)).append(N == 1 ? " element" : " elements");
    }

    // "unknown field `x`, expected one of `a`, `b`, `c`".
    std::string unknown(std::string_view key) const {
        std::array<std::string_view, N> keys;
        for (std::size_t i = 0; i < N; ++i) keys[i] = fields[i].key;
        return unknown_field(key, expected_names(keys.data(), N));
    }

private:
    static std::string tuple_text() { return "an array of length " + std::to_string(N); }
};

template <std::size_t N>
constexpr Record<N> record(std::string_view name, const Field (&fields)[N], Undeclared undeclared = Undeclared::Skip,
                           Form form = Form::Struct) {
    Record<N> r{name, {}, {}, undeclared, form};
    for (std::size_t i = 0; i < N; ++i) r.fields[i] = fields[i];
    return r;
}

// What the member loop does where the record's rules end the read (an undeclared
// key it rejects, a repeated or a missing field): fail with the message, or give
// up without one and without looking further, for a one-pass reader whose caller
// reads the value again in full. Giving up also takes undeclared keys the record
// would skip, so that the full reader sees their values.
enum class OnMismatch : std::uint8_t { Fail, GiveUp };

// The members of an object form up to its closing brace (not consumed); `first` as
// for next_key. find(key) gives the field of a key or -1; read_field(i) reads the
// value of field i where the reader stands. The key is a view that the next string
// read may overwrite, so its field is found before anything else is read.
template <OnMismatch M = OnMismatch::Fail, std::size_t N, class Find, class Read>
bool read_members(Reader& r, const Record<N>& rec, bool& first, Find&& find, Read&& read_field) {
    bool seen[N + 1] = {};
    std::string_view key;
    int last = -1;
    for (;;) {
        int k = r.next_key(first, key);
        if (k < 0) return false;
        if (k == 0) break;
        const int i = find(key);
        if (i < 0) {
            if (M == OnMismatch::GiveUp) return false;
            if (rec.undeclared == Undeclared::Reject) return r.fail_unpositioned(rec.unknown(key));
            r.noncanonical();  // the writer drops it
            if (!r.colon() || !r.skip_value()) return false;
            continue;
        }
        if (seen[i]) return M == OnMismatch::Fail && r.fail_unpositioned(duplicate_field(rec.fields[i].key));
        seen[i] = true;
        // The writer puts the fields in declared order.
        if (i < last) r.noncanonical();
        last = i;
        if (!r.colon() || !read_field(i)) return false;
    }
    const std::size_t missing = rec.first_missing(seen);
    if (missing == N) return true;
    return M == OnMismatch::Fail && r.fail_unpositioned(missing_field(rec.fields[missing].key));
}

// The elements of an array form up to its closing bracket (not consumed), read by
// read_field(i); an array that ends before a field it may not leave out is a length
// failure naming that field's position.
template <std::size_t N, class Read>
bool read_elements(Reader& r, const Record<N>& rec, Read&& read_field) {
    bool first = true;
    for (std::size_t i = 0; i < N; ++i) {
        int e = r.next_element(first);
        if (e < 0) return false;
        if (e == 0) {
            const std::size_t needed = rec.needed_from(i);
            return needed == N || r.fail_unpositioned(invalid_length(needed, rec.length_text()));
        }
        if (!read_field(static_cast<int>(i))) return false;
    }
    return true;
}

// One record where the reader stands, in either form; an element beyond the last
// field is the array's "trailing characters".
template <std::size_t N, class Find, class Read>
bool read_record(Reader& r, const Record<N>& rec, Find&& find, Read&& read_field) {
    int c = r.peek_ws();
    if (c == '{' && rec.form == Form::Struct) return r.in_object([&] {
        bool first = true;
        return read_members(r, rec, first, find, read_field);
    });
    if (c == '[') {
        if (rec.form == Form::Struct) r.noncanonical();  // the writer writes a struct as an object
        return r.in_array([&] { return read_elements(r, rec, read_field); });
    }
    if (c < 0) return r.fail_peek("EOF while parsing a value");
    return r.fail_invalid_type_here(rec.expected());
}

template <std::size_t N, class Read>
bool read_record(Reader& r, const Record<N>& rec, Read&& read_field) {
    return read_record(r, rec, [&](std::string_view key) { return rec.find(key); }, read_field);
}

// The body of a record already buffered by the first phase of a tag-inside union:
// its members in the order read, or the elements after the tag. V is const JsonValue
// for a body that must stay as it is, JsonValue for one its reader may move from.
template <class V>
struct Buffered {
    std::conditional_t<std::is_const_v<V>, const JsonObject, JsonObject>* members = nullptr;
    V* elements = nullptr;
    std::size_t count = 0;
};

// A buffered record by the rules of read_record; read_field(i, value) reads field i.
// Errors carry no position. Elements beyond the last field are a length failure.
template <std::size_t N, class V, class Read>
bool read_buffered(Reader& r, const Record<N>& rec, const Buffered<V>& body, Read&& read_field) {
    if (body.members) {
        bool seen[N + 1] = {};
        for (auto& m : *body.members) {
            const int i = rec.find(m.key);
            if (i < 0) {
                if (rec.undeclared == Undeclared::Reject) return r.fail_unpositioned(rec.unknown(m.key));
                continue;
            }
            if (seen[i]) return r.fail_unpositioned(duplicate_field(rec.fields[i].key));
            seen[i] = true;
            if (!read_field(i, m.value)) return false;
        }
        const std::size_t missing = rec.first_missing(seen);
        return missing == N || r.fail_unpositioned(missing_field(rec.fields[missing].key));
    }
    for (std::size_t i = 0; i < N; ++i) {
        // A short body's length failure names the number of elements it has.
        if (i == body.count)
            return rec.needed_from(i) == N || r.fail_unpositioned(invalid_length(body.count, rec.length_text()));
        if (!read_field(static_cast<int>(i), body.elements[i])) return false;
    }
    if (body.count == N) return true;
    return r.fail_unpositioned(
        invalid_length(body.count, std::to_string(N).append(N == 1 ? " element in sequence" : " elements in sequence")));
}

// The fields in declared order as members of an object whose braces the caller
// writes; `comma` when a member was written before. A field that holds nothing
// (empty(i)) and may be left out is written as its table says; every other field
// as write_field(i) writes its value.
template <std::size_t N, class IsEmpty, class Write>
void write_members(Writer& w, const Record<N>& rec, bool comma, IsEmpty&& empty, Write&& write_field) {
    rec.each([&](int i) {
        const Field& f = rec.fields[i];
        const bool nothing = f.presence != Presence::Required && empty(i);
        if (nothing && f.empty == Empty::Omit) return;
        if (comma) w.raw(',');
        comma = true;
        w.key(f.key);
        if (nothing) w.null();
        else write_field(i);
    });
}

// ---- tag-outside unions ---------------------------------------------------

// How the name of a union's one member is read: as an object key, or as a variant
// identifier, which describes a value that is no string in its type failure.
enum class NameRule : std::uint8_t { Key, Identifier };

// A union whose tag stands outside ({"Name": payload}): the names in variant order,
// which variants carry no payload, and what a bare name of one that does is refused as.
template <std::size_t N>
struct Variants {
    const std::string_view (&names)[N];
    std::uint32_t units;             // bit i: variant i has no payload
    std::string_view payload_kind;   // "newtype variant", "struct variant"
    NameRule name_rule = NameRule::Key;

    constexpr bool unit(int i) const { return (units >> i) & 1u; }
};

inline bool unknown_name(Reader& r, std::string_view name, const std::string_view* names, std::size_t count) {
    return r.fail(unknown_variant(name, expected_names(names, count)));
}

// One value of a tag-outside union: a variant without payload as its bare name or as
// {"Name":null}; any variant as {"Name": payload}, read_payload(i) reading variant i's
// payload where the reader stands. find(name) gives a name's variant or -1; quick(r)
// may take a compact "Name": itself and give its variant, else -1 having read nothing.
// The braces are not a map's: no close-on-error step, and after the payload only the
// closing brace may follow, a second member being "expected value".
// Always inlined: Value, the most frequent record of a tree, is read by it.
template <std::size_t N, class Find, class Quick, class Payload>
[[gnu::always_inline]] inline bool read_variant(Reader& r, const Variants<N>& vs, Find&& find, Quick&& quick, Payload&& read_payload, int& index) {
    int c = r.peek_ws();
    if (c == '"') {
        std::string_view name;
        r.bump();
        if (!r.parse_string(name)) return false;
        index = find(name);
        if (index < 0) return unknown_name(r, name, vs.names, N);
        return vs.unit(index) || r.fail_unpositioned(invalid_type("unit variant", vs.payload_kind));
    }
    if (c == '{') {
        if (!r.enter()) return false;
        bool ok;
        index = quick(r);
        if (index >= 0) {
            ok = read_payload(index);
        } else {
            std::string_view name;
            if (vs.name_rule == NameRule::Key) {
                bool first = true;
                const int k = r.next_key(first, name);
                ok = k > 0;
                if (k == 0) r.fail_peek("expected value");
            } else {
                const int k = r.peek_ws();
                if (k == '"') r.bump();
                ok = k == '"' ? r.parse_string(name)
                     : k < 0  ? r.fail_peek("EOF while parsing a value")
                              : r.fail_invalid_type_here("variant identifier");
            }
            if (ok) {
                index = find(name);
                if (index < 0) ok = unknown_name(r, name, vs.names, N);
            }
            ok = ok && r.colon() && (vs.unit(index) ? r.read_unit_payload() : read_payload(index));
        }
        r.leave();
        return ok && r.end_variant();
    }
    if (c < 0) return r.fail_peek("EOF while parsing a value");
    return r.fail_peek("expected value");
}

// A variant without payload of a union of such only (an enumeration); its index in names.
template <std::size_t N>
bool read_unit_variant(Reader& r, const std::string_view (&names)[N], int& index,
                       NameRule name_rule = NameRule::Key) {
    static_assert(N < 32);
    const Variants<N> vs{names, (1u << N) - 1, {}, name_rule};
    return read_variant(
        r, vs, [&](std::string_view name) { return name_index(names, name); }, [](Reader&) { return -1; },
        [](int) { return true; }, index);
}

}  // namespace vorlan::json
