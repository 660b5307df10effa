#include <gtest/gtest.h>

#include <string>

#include "unicode.hpp"

using namespace vorlan;

namespace {

struct PropertyRow {
    char32_t c;
    bool expected;
};

TEST(Unicode, WhiteSpace) {
    const PropertyRow rows[] = {
        {U' ', true},     {U'\t', true},    {U'\n', true},    {U'\v', true},    {U'\f', true},
        {U'\r', true},    {0x85, true},     {0xA0, true},     {0x1680, true},   {0x2000, true},
        {0x200A, true},   {0x2028, true},   {0x2029, true},   {0x202F, true},   {0x205F, true},
        {0x3000, true},   {0x1C, false},    {0x1D, false},    {0x1E, false},    {0x1F, false},
        {0x200B, false},  {0xFEFF, false},  {0x180E, false},  {U'a', false},    {0x08, false},
        {0x10FFFF, false},
    };
    for (const PropertyRow& row : rows)
        EXPECT_EQ(unicode::is_white_space(row.c), row.expected) << std::hex << "U+" << static_cast<unsigned>(row.c);
}

TEST(Unicode, EscapedInDescription) {
    const PropertyRow rows[] = {
        {0x00, true},      {0x1F, true},      {U' ', false},    {U'a', false},    {U'~', false},
        {0x7F, true},      {0x9F, true},      {0xA0, true},     {0xA1, false},    {0xAD, true},
        {0x0300, true},    {0x0378, true},    {0x200C, true},   {0x200D, true},   {0x2028, true},
        {0x2029, true},    {0x3000, true},    {0xD800, true},   {0xDFFF, true},   {0xE000, true},
        {0xF8FF, true},    {0xFEFF, true},    {0xFF9E, true},   {0x3400, false},  {0x4DBF, false},
        {0x4E00, false},   {0x9FFF, false},   {0xAC00, false},  {0x1F600, false}, {0x1F3FB, false},
        {0xE0001, true},   {0x100000, true},  {0x10FFFD, true}, {0x10FFFF, true}, {0x30000, false},
        {0x3134A, false},  {0x3134B, true},
    };
    for (const PropertyRow& row : rows)
        EXPECT_EQ(unicode::is_escaped_in_description(row.c), row.expected)
            << std::hex << "U+" << static_cast<unsigned>(row.c);
}

TEST(Unicode, FullUpperCaseMapping) {
    struct Row {
        char32_t c;
        const char* expected;
    };
    const Row rows[] = {
        {U'a', "A"},
        {U'z', "Z"},
        {U'A', "A"},
        {U'1', "1"},
        {U'-', "-"},
        {0xDF, "SS"},                        // sharp s
        {0xFB01, "FI"},                      // ligature fi
        {0xFB03, "FFI"},                     // ligature ffi
        {0x0149, "\xCA\xBCN"},               // n preceded by apostrophe
        {0x0390, "\xCE\x99\xCC\x88\xCC\x81"},  // three characters
        {0x1F80, "\xE1\xBC\x88\xCE\x99"},    // iota subscript becomes a capital iota
        {0xFF, "\xC5\xB8"},
        {0x0101, "\xC4\x80"},
        {0x0100, "\xC4\x80"},
        {0x0131, "I"},
        {0x017F, "S"},
        {0x01C5, "\xC7\x84"},                // title-case digraph
        {0x01C6, "\xC7\x84"},
        {0x0587, "\xD4\xB5\xD5\x92"},
        {0x10428, "\xF0\x90\x90\x80"},
        {0x4E2D, "\xE4\xB8\xAD"},            // no mapping
        {0x1F600, "\xF0\x9F\x98\x80"},
    };
    for (const Row& row : rows) {
        std::string out = "<";
        unicode::append_upper(row.c, out);
        EXPECT_EQ(out, std::string("<") + row.expected) << std::hex << "U+" << static_cast<unsigned>(row.c);
    }
}

}  // namespace
