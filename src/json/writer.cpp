#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

#include "json/json.hpp"
#include "json/scan.hpp"

namespace vorlan::json {

void Writer::string(std::string_view s) {
    const char* p = s.data();
    const std::size_t n = s.size();
    std::size_t run = 0;
    std::size_t stop = detail::scan_to_stop(p, 0, n);
    out.push_back('"');
    while (stop < n) {
        out.append(p + run, stop - run);
        unsigned char c = static_cast<unsigned char>(p[stop]);
        switch (c) {
            case '"': out.append("\\\""); break;
            case '\\': out.append("\\\\"); break;
            case '\b': out.append("\\b"); break;
            case '\t': out.append("\\t"); break;
            case '\n': out.append("\\n"); break;
            case '\f': out.append("\\f"); break;
            case '\r': out.append("\\r"); break;
            default: {
                static constexpr char hex[] = "0123456789abcdef";
                char buf[6] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 15]};
                out.append(buf, 6);
            }
        }
        run = stop + 1;
        stop = detail::scan_to_stop(p, run, n);
    }
    out.append(p + run, n - run);
    out.push_back('"');
}

void Writer::u64(std::uint64_t v) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, static_cast<std::size_t>(r.ptr - buf));
}

void Writer::i64(std::int64_t v) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, static_cast<std::size_t>(r.ptr - buf));
}

int shortest_digits(double v, char* digits, int& exponent) {
    char buf[40];
    auto r = std::to_chars(buf, buf + sizeof buf, std::fabs(v), std::chars_format::scientific);
    int n = 0;
    const char* p = buf;
    for (; p < r.ptr && *p != 'e'; ++p)
        if (*p != '.') digits[n++] = *p;
    int e = 0;
    if (p < r.ptr) {
        ++p;
        if (*p == '+') ++p;
        std::from_chars(p, r.ptr, e);
    }
    exponent = e;
    return n;
}

namespace {

// Plain decimal from shortest digits: integer part, and the fraction when there is one.
char* put_plain(char* p, const char* digits, int n, int e) {
    if (e >= 0) {
        for (int i = 0; i <= e; ++i) *p++ = i < n ? digits[i] : '0';
        *p++ = '.';
        if (n > e + 1) p = std::copy(digits + e + 1, digits + n, p);
        else *p++ = '0';
    } else {
        *p++ = '0';
        *p++ = '.';
        p = std::fill_n(p, -e - 1, '0');
        p = std::copy(digits, digits + n, p);
    }
    return p;
}

}  // namespace

std::size_t format_f64(double v, char* buf) {
    char* p = buf;
    if (std::signbit(v)) *p++ = '-';
    if (v == 0) {
        std::memcpy(p, "0.0", 3);
        return static_cast<std::size_t>(p + 3 - buf);
    }
    char digits[32];
    int e;
    int n = shortest_digits(v, digits, e);
    if (e >= -5 && e <= 15) return static_cast<std::size_t>(put_plain(p, digits, n, e) - buf);
    *p++ = digits[0];
    if (n > 1) {
        *p++ = '.';
        p = std::copy(digits + 1, digits + n, p);
    }
    *p++ = 'e';
    *p++ = e < 0 ? '-' : '+';
    p = std::to_chars(p, buf + kF64Chars, e < 0 ? -e : e).ptr;
    return static_cast<std::size_t>(p - buf);
}

void Writer::f64(double v) {
    if (!std::isfinite(v)) {
        null();
        return;
    }
    char buf[kF64Chars];
    out.append(buf, format_f64(v, buf));
}

std::string describe_f64(double v) {
    std::string out = "floating point `";
    if (std::isnan(v)) {
        out.append("NaN");
    } else if (std::isinf(v)) {
        out.append(v < 0 ? "-inf" : "inf");
    } else {
        if (std::signbit(v)) out.push_back('-');
        if (v == 0) {
            out.append("0.0");
        } else {
            char digits[32];
            int e;
            int n = shortest_digits(v, digits, e);
            // Plain at any exponent: up to 309 integer digits, or 323 zeros after the point.
            char buf[352];
            out.append(buf, static_cast<std::size_t>(put_plain(buf, digits, n, e) - buf));
        }
    }
    out.push_back('`');
    return out;
}

void write_value(Writer& w, const JsonValue& v) {
    switch (v.kind()) {
        case JsonValue::Kind::Null: w.null(); break;
        case JsonValue::Kind::Bool: w.boolean(*v.as_bool()); break;
        case JsonValue::Kind::U64: w.u64(*v.as_u64()); break;
        case JsonValue::Kind::I64: w.i64(*v.as_i64()); break;
        case JsonValue::Kind::F64: w.f64(*v.as_f64()); break;
        case JsonValue::Kind::String: w.string(*v.as_string()); break;
        case JsonValue::Kind::Array: {
            w.raw('[');
            bool first = true;
            for (const JsonValue& item : *v.as_array()) {
                if (!first) w.raw(',');
                first = false;
                write_value(w, item);
            }
            w.raw(']');
            break;
        }
        case JsonValue::Kind::Object: {
            w.raw('{');
            bool first = true;
            for (const JsonMember& m : *v.as_object()) {
                if (!first) w.raw(',');
                first = false;
                w.key(m.key);
                write_value(w, m.value);
            }
            w.raw('}');
            break;
        }
    }
}

std::string to_text(const JsonValue& v) {
    Writer w;
    write_value(w, v);
    return std::move(w.out);
}

}  // namespace vorlan::json
