#include "drovane/value.hpp"
#include "json/collections.hpp"
#include "json/record.hpp"

#include <string>
#include <variant>

namespace vorlan::drovane {
namespace {

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
            out.v = b;
            return true;
        }
        case variant("Int"): {
            std::int64_t n = 0;
            if (!r.read_i64(n, "i64")) return false;
            out.v = n;
            return true;
        }
        case variant("Float"): {
            double x = 0;
            if (!r.read_f64(x, "f64")) return false;
            out.v = x;
            return true;
        }
        case variant("Str"): return r.read_string(out.v.emplace<String>());
        // A bare variant name in the list is positioned before the comma after it.
        case variant("List"): return json::read_list(r, out.v.emplace<List>(), read_value, json::Reader::ArrayClose::Bracket);
        case variant("Map"): return read_value_map(r, out.v.emplace<ValueMap>());
        case variant("Submodel"): {
            std::uint64_t n = 0;
            if (!r.read_u64(n, "u64")) return false;
            out.v = Submodel{n};
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
    if (index == variant("Null")) out.v = Null{};
    return true;
}

bool read_value_map(json::Reader& r, ValueMap& out) { return json::read_map(r, out, read_value); }

namespace {

// Each variant as an object of its name (no name needs escaping) and payload; Null as its bare name.
struct ValueWriter {
    json::Writer& w;

    void operator()(Null) const { w.raw("\"Null\""); }
    void operator()(bool b) const {
        w.raw("{\"Bool\":");
        w.boolean(b);
        w.raw('}');
    }
    void operator()(std::int64_t n) const {
        w.raw("{\"Int\":");
        w.i64(n);
        w.raw('}');
    }
    void operator()(double x) const {
        w.raw("{\"Float\":");
        w.f64(x);
        w.raw('}');
    }
    void operator()(const String& s) const {
        w.raw("{\"Str\":");
        w.string(s);
        w.raw('}');
    }
    void operator()(const List& list) const {
        w.raw("{\"List\":[");
        for (std::size_t i = 0; i < list.size(); ++i) {
            if (i) w.raw(',');
            std::visit(*this, list[i].v);
        }
        w.raw("]}");
    }
    void operator()(const ValueMap& m) const {
        w.raw("{\"Map\":");
        write_value_map(w, m);
        w.raw('}');
    }
    void operator()(Submodel s) const {
        w.raw("{\"Submodel\":");
        w.u64(s.id);
        w.raw('}');
    }
};

}  // namespace

void write_value(json::Writer& w, const Value& v) { std::visit(ValueWriter{w}, v.v); }

void write_value_map(json::Writer& w, const ValueMap& m) { json::write_map(w, m, write_value); }

bool operator==(const Value& a, const Value& b) { return a.v == b.v; }

}  // namespace vorlan::drovane
