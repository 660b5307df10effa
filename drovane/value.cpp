#include "drovane/value.hpp"
#include "json/collections.hpp"

#include <cstring>
#include <utility>

namespace vorlan::drovane {
namespace {

constexpr std::string_view kNames[] = {"Null", "Bool", "Int", "Float", "Str", "List", "Map", "Submodel"};
constexpr int kNameCount = 8;

template <std::size_t N>
bool is(std::string_view name, const char (&lit)[N]) {
    return std::memcmp(name.data(), lit, N - 1) == 0;
}

// Dispatch on the length first: the names are looked up once per value read.
int variant_index(std::string_view name) {
    switch (name.size()) {
        case 3: return is(name, "Int") ? 2 : is(name, "Str") ? 4 : is(name, "Map") ? 6 : -1;
        case 4: return is(name, "Null") ? 0 : is(name, "Bool") ? 1 : is(name, "List") ? 5 : -1;
        case 5: return is(name, "Float") ? 3 : -1;
        case 8: return is(name, "Submodel") ? 7 : -1;
        default: return -1;
    }
}

// The common variants as a compact text writes them, name and colon, matched on the
// raw bytes; -1 leaves the member to the general key reading.
int quick_variant(json::Reader& r) {
    std::string_view rest = r.rest();
    if (rest.size() < 7 || rest[0] != '"') return -1;
    auto take = [&](std::string_view token, int index) {
        if (!rest.starts_with(token)) return -1;
        r.skip(token.size());
        return index;
    };
    switch (rest[1]) {
        case 'S': return take("\"Str\":", 4);
        case 'I': return take("\"Int\":", 2);
        case 'F': return take("\"Float\":", 3);
        case 'B': return take("\"Bool\":", 1);
        case 'L': return take("\"List\":", 5);
        case 'M': return take("\"Map\":", 6);
        default: return -1;
    }
}

bool unknown_variant(json::Reader& r, std::string_view name) {
    return r.fail(json::unknown_variant(name, json::expected_names(kNames)));
}

bool read_payload(json::Reader& r, int index, Value& out) {
    switch (index) {
        case 0: return r.read_unit_payload();
        case 1: {
            bool b = false;
            if (!r.read_bool(b)) return false;
            out.v = b;
            return true;
        }
        case 2: {
            std::int64_t n = 0;
            if (!r.read_i64(n, "i64")) return false;
            out.v = n;
            return true;
        }
        case 3: {
            double x = 0;
            if (!r.read_f64(x, "f64")) return false;
            out.v = x;
            return true;
        }
        case 4: return r.read_string(out.v.emplace<String>());
        // A bare variant name in the list is positioned before the comma after it.
        case 5: return json::read_list(r, out.v.emplace<List>(), read_value, json::Reader::ArrayClose::Bracket);
        case 6: return read_value_map(r, out.v.emplace<ValueMap>());
        default: {
            std::uint64_t n = 0;
            if (!r.read_u64(n, "u64")) return false;
            out.v = Submodel{n};
            return true;
        }
    }
}

}  // namespace

bool read_value(json::Reader& r, Value& out) {
    int c = r.peek_ws();
    if (c == '"') {
        std::string_view name;
        r.bump();
        if (!r.parse_string(name)) return false;
        int index = variant_index(name);
        if (index < 0) return unknown_variant(r, name);
        if (index != 0) return r.fail_unpositioned("invalid type: unit variant, expected newtype variant");
        out.v = Null{};
        return true;
    }
    if (c == '{') {
        // The variant's braces are not a map: no close-on-error step, and a second member is "expected value".
        if (!r.enter()) return false;
        bool ok;
        if (int quick = quick_variant(r); quick >= 0) {
            ok = read_payload(r, quick, out);
        } else {
            bool first = true;
            std::string_view name;
            int k = r.next_key(first, name);
            ok = k > 0;
            if (k == 0) r.fail_peek("expected value");
            int index = ok ? variant_index(name) : -1;
            if (ok && index < 0) ok = unknown_variant(r, name);
            ok = ok && r.colon() && read_payload(r, index, out);
        }
        r.leave();
        if (!ok) return false;
        return r.end_variant();
    }
    if (c < 0) return r.fail_peek("EOF while parsing a value");
    return r.fail_peek("expected value");
}

bool read_value_map(json::Reader& r, ValueMap& out) { return json::read_map(r, out, read_value); }

void write_value(json::Writer& w, const Value& v) {
    std::size_t index = v.v.index();
    if (index == 0) {
        w.raw("\"Null\"");
        return;
    }
    // The opening of each variant's object, name and colon: no name needs escaping.
    static constexpr std::string_view kOpen[] = {"", "{\"Bool\":", "{\"Int\":", "{\"Float\":", "{\"Str\":",
                                                 "{\"List\":", "{\"Map\":", "{\"Submodel\":"};
    w.raw(kOpen[index]);
    switch (index) {
        case 1: w.boolean(std::get<bool>(v.v)); break;
        case 2: w.i64(std::get<std::int64_t>(v.v)); break;
        case 3: w.f64(std::get<double>(v.v)); break;
        case 4: w.string(std::get<String>(v.v)); break;
        case 5: {
            const List& list = std::get<List>(v.v);
            w.raw('[');
            for (std::size_t i = 0; i < list.size(); ++i) {
                if (i) w.raw(',');
                write_value(w, list[i]);
            }
            w.raw(']');
            break;
        }
        case 6: write_value_map(w, std::get<ValueMap>(v.v)); break;
        default: w.u64(std::get<Submodel>(v.v).id); break;
    }
    w.raw('}');
}

void write_value_map(json::Writer& w, const ValueMap& m) { json::write_map(w, m, write_value); }

bool operator==(const Value& a, const Value& b) {
    if (a.v.index() != b.v.index()) return false;
    switch (a.v.index()) {
        case 0: return true;
        case 1: return std::get<bool>(a.v) == std::get<bool>(b.v);
        case 2: return std::get<std::int64_t>(a.v) == std::get<std::int64_t>(b.v);
        case 3: return std::get<double>(a.v) == std::get<double>(b.v);
        case 4: return std::get<String>(a.v) == std::get<String>(b.v);
        case 5: return std::get<List>(a.v) == std::get<List>(b.v);
        case 6: return std::get<ValueMap>(a.v) == std::get<ValueMap>(b.v);
        default: return std::get<Submodel>(a.v) == std::get<Submodel>(b.v);
    }
}

}  // namespace vorlan::drovane
