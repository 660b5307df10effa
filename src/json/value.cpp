#include <algorithm>
#include <charconv>

#include "json/json.hpp"
#include "json/key_order.hpp"
#include "unicode.hpp"
#include "utf8.hpp"

namespace vorlan::json {

std::string Error::text() const {
    if (!positioned) return message;
    std::string out = message;
    out.append(" at line ");
    out.append(std::to_string(line));
    out.append(" column ");
    out.append(std::to_string(column));
    return out;
}

std::string expected_names(const std::string_view* names, std::size_t count) {
    std::string out;
    if (count == 1) {
        out.append("`").append(names[0]).append("`");
    } else if (count == 2) {
        out.append("`").append(names[0]).append("` or `").append(names[1]).append("`");
    } else {
        out.append("one of ");
        for (std::size_t i = 0; i < count; ++i) {
            if (i) out.append(", ");
            out.append("`").append(names[i]).append("`");
        }
    }
    return out;
}

std::string invalid_type(std::string_view found, std::string_view expected) {
    return std::string("invalid type: ").append(found).append(", expected ").append(expected);
}

std::string invalid_value(std::string_view found, std::string_view expected) {
    return std::string("invalid value: ").append(found).append(", expected ").append(expected);
}

std::string invalid_length(std::size_t length, std::string_view expected) {
    return std::string("invalid length ").append(std::to_string(length)).append(", expected ").append(expected);
}

std::string missing_field(std::string_view key) { return std::string("missing field `").append(key).append("`"); }

std::string duplicate_field(std::string_view key) { return std::string("duplicate field `").append(key).append("`"); }

std::string unknown_field(std::string_view key, std::string_view expected) {
    return std::string("unknown field `").append(key).append("`, expected ").append(expected);
}

std::string unknown_variant(std::string_view name, std::string_view expected) {
    return std::string("unknown variant `").append(name).append("`, expected ").append(expected);
}

std::string describe_u64(std::uint64_t v) { return "integer `" + std::to_string(v) + "`"; }
std::string describe_i64(std::int64_t v) { return "integer `" + std::to_string(v) + "`"; }

namespace {

// One UTF-8 sequence; invalid bytes come out as U+FFFD, one at a time.
char32_t decode_utf8(std::string_view s, std::size_t& i) {
    const utf8::Sequence seq = utf8::decode(s, i);
    if (seq.length == 0) {
        ++i;
        return 0xfffd;
    }
    i += static_cast<std::size_t>(seq.length);
    return seq.code_point;
}

}  // namespace

std::string describe_string(std::string_view s) {
    std::string out = "string \"";
    std::size_t i = 0;
    while (i < s.size()) {
        std::size_t start = i;
        char32_t c = decode_utf8(s, i);
        switch (c) {
            case '"': out.append("\\\""); continue;
            case '\\': out.append("\\\\"); continue;
            case '\n': out.append("\\n"); continue;
            case '\r': out.append("\\r"); continue;
            case '\t': out.append("\\t"); continue;
            case 0: out.append("\\0"); continue;
            default: break;
        }
        if (unicode::is_escaped_in_description(c)) {
            char buf[12];
            auto r = std::to_chars(buf, buf + sizeof buf, static_cast<std::uint32_t>(c), 16);
            out.append("\\u{").append(buf, static_cast<std::size_t>(r.ptr - buf)).append("}");
        } else if (c == 0xfffd && i - start == 1) {
            out.append("\xef\xbf\xbd");
        } else {
            out.append(s.substr(start, i - start));
        }
    }
    out.push_back('"');
    return out;
}

std::string Number::describe() const {
    switch (kind) {
        case Kind::U64: return describe_u64(u);
        case Kind::I64: return describe_i64(i);
        case Kind::F64: return describe_f64(f);
    }
    return {};
}

std::string JsonValue::describe() const {
    switch (kind()) {
        case Kind::Null: return "null";
        case Kind::Bool: return *as_bool() ? "boolean `true`" : "boolean `false`";
        case Kind::U64: return describe_u64(*as_u64());
        case Kind::I64: return describe_i64(*as_i64());
        case Kind::F64: return describe_f64(*as_f64());
        case Kind::String: return describe_string(*as_string());
        case Kind::Array: return "sequence";
        case Kind::Object: return "map";
    }
    return {};
}

bool operator==(const JsonValue& a, const JsonValue& b) {
    if (a.v.index() != b.v.index()) return false;
    switch (a.kind()) {
        case JsonValue::Kind::Null: return true;
        case JsonValue::Kind::Bool: return *a.as_bool() == *b.as_bool();
        case JsonValue::Kind::U64: return *a.as_u64() == *b.as_u64();
        case JsonValue::Kind::I64: return *a.as_i64() == *b.as_i64();
        case JsonValue::Kind::F64: return *a.as_f64() == *b.as_f64();
        case JsonValue::Kind::String: return *a.as_string() == *b.as_string();
        case JsonValue::Kind::Array: {
            const JsonArray& x = *a.as_array();
            const JsonArray& y = *b.as_array();
            if (x.size() != y.size()) return false;
            for (std::size_t i = 0; i < x.size(); ++i)
                if (!(x[i] == y[i])) return false;
            return true;
        }
        case JsonValue::Kind::Object: {
            const JsonObject& x = *a.as_object();
            const JsonObject& y = *b.as_object();
            if (x.size() != y.size()) return false;
            for (std::size_t i = 0; i < x.size(); ++i)
                if (x[i].key != y[i].key || !(x[i].value == y[i].value)) return false;
            return true;
        }
    }
    return false;
}

void sort_members(JsonObject& members) {
    sort_keep_last(members, [](const JsonMember& m) -> const String& { return m.key; });
}

bool valid_utf8(std::string_view s) { return utf8::first_invalid(s) == s.size(); }

}  // namespace vorlan::json
