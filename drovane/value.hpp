#pragma once
// The prop value of a component tree node: a small tagged union read from and
// written as tag-outside JSON ("Null", {"Int":1}, {"Map":{...}}, ...).
//
// Props are about half of a tree in memory, so a Value is 16 bytes that are copied
// as they are: a kind, a size and one word. Texts, lists and maps are not owned:
// a text read without escapes views the text it was read from, and everything else
// lies in the operation's arena, exactly sized. So a Value must not outlive the text
// it was read from nor the arena it was built in (see arena.hpp), and it is never
// changed in place: a prop is replaced by a whole new value.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <type_traits>

#include "arena.hpp"
#include "arena_list.hpp"
#include "json/json.hpp"

namespace vorlan::drovane {

struct MapEntry;

struct Submodel {
    std::uint64_t id = 0;
    friend bool operator==(const Submodel& a, const Submodel& b) { return a.id == b.id; }
};

class Value {
public:
    enum class Kind : std::uint8_t { Null, Bool, Int, Float, Str, List, Map, Submodel };

    Value() = default;  // Null
    explicit Value(bool b) : kind_(Kind::Bool) { u_.b = b; }
    explicit Value(std::int64_t n) : kind_(Kind::Int) { u_.i = n; }
    explicit Value(double x) : kind_(Kind::Float) { u_.f = x; }
    explicit Value(Submodel s) : kind_(Kind::Submodel) { u_.id = s.id; }
    // A text with bytes of its own, copied into the current arena.
    explicit Value(std::string_view s);

    Kind kind() const { return kind_; }
    bool boolean() const { return u_.b; }
    std::int64_t integer() const { return u_.i; }
    double number() const { return u_.f; }
    Submodel submodel() const { return {u_.id}; }
    std::string_view text() const {
        std::span<const char> s = span_of<char>();
        return {s.data(), s.size()};
    }
    std::span<const Value> items() const { return span_of<Value>(); }
    // Sorted by key bytes, each key once.
    std::span<const MapEntry> entries() const;

private:
    friend struct Parts;

    // Sizes from 2^32 on do not fit size_: the word then points to a Long in the arena.
    static constexpr std::uint32_t kLong = UINT32_MAX;
    struct Long {
        const void* data;
        std::size_t size;
    };

    template <class T>
    std::span<const T> span_of() const {
        if (size_ != kLong) [[likely]]
            return {static_cast<const T*>(u_.p), size_};
        const Long* l = static_cast<const Long*>(u_.p);
        return {static_cast<const T*>(l->data), l->size};
    }

    Kind kind_ = Kind::Null;
    std::uint32_t size_ = 0;
    union {
        bool b;
        std::int64_t i;
        double f;
        std::uint64_t id;
        const void* p;
    } u_{.i = 0};
};

// The member of a Map: the key is a Str.
struct MapEntry {
    Value key;
    Value value;
};

inline std::span<const MapEntry> Value::entries() const { return span_of<MapEntry>(); }

static_assert(sizeof(Value) == 16 && std::is_trivially_copyable_v<Value> && std::is_trivially_destructible_v<Value>);

// The props of a node: entries sorted by key, each key once, as a Map's are, with
// keys that view the text they were read from.
using Props = Entries<Value>;

// Reads one Value where the reader stands (skipping whitespace first). Texts without
// escapes view the reader's text, which must outlive the value.
bool read_value(json::Reader& r, Value& out);
// Reads a JSON object of name -> Value; the last repeated key wins.
bool read_value_map(json::Reader& r, Props& out);
void write_value(json::Writer& w, const Value& v);
void write_value_map(json::Writer& w, const Props& m);

// Structural: same kind, floats by IEEE (NaN != NaN, 0.0 == -0.0), maps by size,
// then entries in key order.
bool operator==(const Value& a, const Value& b);

}  // namespace vorlan::drovane
