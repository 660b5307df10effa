#include "drovane/value.hpp"
#include "json/collections.hpp"
#include "json/record.hpp"
#include "room.hpp"

#include <algorithm>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace vorlan::drovane {

// Builds the values whose payload lies elsewhere.
struct Parts {
    // A Value of kind k over size elements at data, which outlive it.
    static Value over(Value::Kind k, const void* data, std::size_t size) {
        Value v;
        v.kind_ = k;
        if (size < Value::kLong) [[likely]] {
            v.size_ = static_cast<std::uint32_t>(size);
            v.u_.p = data;
        } else {
            v.size_ = Value::kLong;
            v.u_.p = ::new (ArenaAllocator<Value::Long>().allocate(1)) Value::Long{data, size};
        }
        return v;
    }

    // n elements of the current arena, exactly; none for n == 0.
    template <class T>
    static T* arena_array(std::size_t n) {
        return n ? ArenaAllocator<T>().allocate(n) : nullptr;
    }

    static Value text(std::string_view s) { return over(Value::Kind::Str, s.data(), s.size()); }
    static Value text_copied(std::string_view s) { return text(arena_text(s)); }
    // A text the reader just read (see keep_text).
    static Value text_read(const json::Reader& r, std::string_view s) { return text(keep_text(r, s)); }

    // n elements copied into the current arena, exactly sized.
    template <class T>
    static const T* copied(const T* from, std::size_t n) {
        T* at = arena_array<T>(n);
        std::uninitialized_copy(from, from + n, at);
        return at;
    }
};

Value::Value(std::string_view s) : Value(Parts::text_copied(s)) {}

// The key of a Map's member while the map is read.
static std::string_view entry_key(const MapEntry& e) { return e.key.text(); }

namespace {

// A JSON object of name -> Value, exactly sized in the arena.
bool read_map_entries(json::Reader& r, std::span<const MapEntry>& out) {
    Room room;
    EntriesRead<MapEntry> read(room);
    // The key is kept before the value is read, which may overwrite the reader's copy
    // of an escaped one.
    if (!json::read_map(r, read, [](json::Reader& in, MapEntry& e, std::string_view key) {
            e.key = Parts::text_read(in, key);
            return read_value(in, e.value);
        }))
        return false;
    out = {Parts::copied(read.data(), read.size()), read.size()};
    return true;
}

constexpr std::string_view kNames[] = {"Null", "Bool", "Int", "Float", "Str", "List", "Map", "Submodel"};

// A variant's index in kNames, named.
consteval int variant(std::string_view name) { return json::slot(kNames, name); }

// Dispatch on the length first: the names are looked up once per value read.
constexpr int variant_index(std::string_view name) {
    using json::is;
    switch (name.size()) {
        case 3: return is(name, "Int") ? variant("Int")
                       : is(name, "Str") ? variant("Str")
                       : is(name, "Map") ? variant("Map")
                                         : -1;
        case 4: return is(name, "Null") ? variant("Null")
                       : is(name, "Bool") ? variant("Bool")
                       : is(name, "List") ? variant("List")
                                          : -1;
        case 5: return is(name, "Float") ? variant("Float") : -1;
        case 8: return is(name, "Submodel") ? variant("Submodel") : -1;
        default: return -1;
    }
}

// The dispatch above must find every name where the table has it.
static_assert([] {
    for (std::string_view name : kNames)
        if (variant_index(name) != json::name_index(kNames, name)) return false;
    return true;
}());

// The common variants as a compact text writes them, name and colon, matched on the
// raw bytes; -1 leaves the member to the general key reading.
[[gnu::always_inline]] inline int quick_variant(json::Reader& r) {
    std::string_view rest = r.rest();
    if (rest.size() < 7 || rest[0] != '"') return -1;
    auto take = [&](std::string_view token, int index) {
        if (!rest.starts_with(token)) return -1;
        r.skip(token.size());
        return index;
    };
    switch (rest[1]) {
        case 'S': return take("\"Str\":", variant("Str"));
        case 'I': return take("\"Int\":", variant("Int"));
        case 'F': return take("\"Float\":", variant("Float"));
        case 'B': return take("\"Bool\":", variant("Bool"));
        case 'L': return take("\"List\":", variant("List"));
        case 'M': return take("\"Map\":", variant("Map"));
        default: return -1;
    }
}

// Only Null has no payload.
constexpr json::Variants<std::size(kNames)> kVariants{kNames, 1u << variant("Null"), "newtype variant"};

bool read_payload(json::Reader& r, int index, Value& out) {
    switch (index) {
        case variant("Bool"): {
            bool b = false;
            if (!r.read_bool(b)) return false;
            out = Value(b);
            return true;
        }
        case variant("Int"): {
            std::int64_t n = 0;
            if (!r.read_i64(n, "i64")) return false;
            out = Value(n);
            return true;
        }
        case variant("Float"): {
            double x = 0;
            r.peek_ws();
            const std::size_t begin = r.offset();
            if (!r.read_f64(x, "f64")) return false;
            out = Value(x);
            if (r.worth_checking_canonical()) {
                char shortest[json::kF64Chars];
                const std::string_view read = r.text().substr(begin, r.offset() - begin);
                if (read != std::string_view(shortest, json::format_f64(x, shortest))) r.noncanonical();
            }
            return true;
        }
        case variant("Str"): {
            std::string_view s;
            if (!r.read_string_view(s)) return false;
            out = Parts::text_read(r, s);
            return true;
        }
        // A bare variant name in the list is positioned before the comma after it.
        case variant("List"): {
            Room room;
            std::vector<Value, RoomAllocator<Value>> items{RoomAllocator<Value>(room)};
            if (!json::read_list(r, items, read_value, json::Reader::ArrayClose::Bracket)) return false;
            out = Parts::over(Value::Kind::List, Parts::copied(items.data(), items.size()), items.size());
            return true;
        }
        case variant("Map"): {
            std::span<const MapEntry> entries;
            if (!read_map_entries(r, entries)) return false;
            out = Parts::over(Value::Kind::Map, entries.data(), entries.size());
            return true;
        }
        case variant("Submodel"): {
            std::uint64_t n = 0;
            if (!r.read_u64(n, "u64")) return false;
            out = Value(Submodel{n});
            return true;
        }
    }
    return false;  // not reached: every name in kNames but Null has its case
}

}  // namespace

bool read_value(json::Reader& r, Value& out) {
    int index = -1;
    if (!json::read_variant(
            r, kVariants, [](std::string_view name) { return variant_index(name); },
            [](json::Reader& in) { return quick_variant(in); },
            [&](int i) { return read_payload(r, i, out); }, index))
        return false;
    if (index == variant("Null")) {
        out = Value();
        // The writer writes Null as its bare name.
        if (r.text()[r.offset() - 1] == '}') r.noncanonical();
    }
    return true;
}

bool read_value_map(json::Reader& r, Props& out) {
    return read_entries(r, out, [](json::Reader& in, Value& v) { return read_value(in, v); });
}

namespace {

void write_one(json::Writer& w, const Value& v);

// An object of the entries, in their (key) order.
void write_entries(json::Writer& w, std::span<const MapEntry> entries) {
    w.raw('{');
    bool first = true;
    for (const MapEntry& e : entries) {
        if (!first) w.raw(',');
        first = false;
        w.key(e.key.text());
        write_one(w, e.value);
    }
    w.raw('}');
}

// Each variant as an object of its name (no name needs escaping) and payload; Null as its bare name.
void write_one(json::Writer& w, const Value& v) {
    switch (v.kind()) {
        case Value::Kind::Null: w.raw("\"Null\""); return;
        case Value::Kind::Bool:
            w.raw("{\"Bool\":");
            w.boolean(v.boolean());
            break;
        case Value::Kind::Int:
            w.raw("{\"Int\":");
            w.i64(v.integer());
            break;
        case Value::Kind::Float:
            w.raw("{\"Float\":");
            w.f64(v.number());
            break;
        case Value::Kind::Str:
            w.raw("{\"Str\":");
            w.string(v.text());
            break;
        case Value::Kind::List:
            w.raw("{\"List\":");
            json::write_array(w, v.items(), write_one);
            break;
        case Value::Kind::Map:
            w.raw("{\"Map\":");
            write_entries(w, v.entries());
            break;
        case Value::Kind::Submodel:
            w.raw("{\"Submodel\":");
            w.u64(v.submodel().id);
            break;
    }
    w.raw('}');
}

}  // namespace

void write_value(json::Writer& w, const Value& v) { write_one(w, v); }

void write_value_map(json::Writer& w, const Props& m) { json::write_map(w, m, write_one); }

namespace {
bool equal_entries(std::span<const MapEntry> x, std::span<const MapEntry> y) {
    return std::equal(x.begin(), x.end(), y.begin(), y.end(), [](const MapEntry& e, const MapEntry& f) {
        return e.key.text() == f.key.text() && e.value == f.value;
    });
}
}  // namespace

bool operator==(const Value& a, const Value& b) {
    if (a.kind() != b.kind()) return false;
    switch (a.kind()) {
        case Value::Kind::Null: return true;
        case Value::Kind::Bool: return a.boolean() == b.boolean();
        case Value::Kind::Int: return a.integer() == b.integer();
        case Value::Kind::Float: return a.number() == b.number();
        case Value::Kind::Str: return a.text() == b.text();
        // Not equal merely for sharing the elements: a NaN in them is unequal to itself.
        case Value::Kind::List: {
            const std::span<const Value> x = a.items(), y = b.items();
            return std::equal(x.begin(), x.end(), y.begin(), y.end());
        }
        case Value::Kind::Map: return equal_entries(a.entries(), b.entries());
        case Value::Kind::Submodel: return a.submodel() == b.submodel();
    }
    return false;  // not reached: every kind has its case
}

}  // namespace vorlan::drovane
