#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "json/scan.hpp"

using vorlan::json::detail::scan_to_stop;
using vorlan::json::detail::scan_to_stop_plain;

namespace {

bool is_stop(unsigned char c) { return c < 0x20 || c == '"' || c == '\\'; }

std::string byte_name(unsigned char c) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02x", c);
    return buf;
}

// Both scans, over a buffer holding exactly the text, so a read past its end shows
// under AddressSanitizer; fails (once) when either misses the expected index.
::testing::AssertionResult scans_to(const std::string& text, std::size_t start, std::size_t expected) {
    std::unique_ptr<char[]> exact(new char[text.size()]);
    std::memcpy(exact.get(), text.data(), text.size());
    std::size_t plain = scan_to_stop_plain(exact.get(), start, text.size());
    std::size_t vector = scan_to_stop(exact.get(), start, text.size());
    if (plain == expected && vector == expected) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "size " << text.size() << ", start " << start << ": expected "
                                         << expected << ", plain " << plain << ", vector " << vector;
}

// Runs of ordinary bytes, among them those that are a stop byte with the top bit set
// (a signed compare that forgets the flip takes them for controls).
struct Filler {
    const char* name;
    unsigned char byte;
};
const Filler kFillers[] = {
    {"letter", 'a'},       {"space", ' '},        {"0x7f", 0x7f},        {"0x80", 0x80},
    {"0x9f", 0x9f},        {"0xa0 (space | 0x80)", 0xa0}, {"0xa2 (quote | 0x80)", 0xa2},
    {"0xdc (backslash | 0x80)", 0xdc}, {"0xff", 0xff},
};

TEST(Scan, StopsAtTheFirstStopByteAtOrAfterTheStart) {
    // Every stop byte, at every offset across two block boundaries, from aligned and
    // unaligned starts, at the end of the text or followed by more bytes; the bytes
    // before the start are stops too, and must not be seen.
    for (const Filler& filler : kFillers)
        for (int stop = 0; stop < 256; ++stop) {
            if (!is_stop(static_cast<unsigned char>(stop))) continue;
            for (std::size_t start = 0; start <= 17; ++start)
                for (std::size_t offset = 0; offset <= 40; ++offset)
                    for (std::size_t tail : {0, 16}) {
                        std::string text(start, '"');
                        text.append(offset, static_cast<char>(filler.byte));
                        text.push_back(static_cast<char>(stop));
                        text.append(tail, static_cast<char>(filler.byte));
                        ASSERT_TRUE(scans_to(text, start, start + offset))
                            << filler.name << " then " << byte_name(static_cast<unsigned char>(stop));
                    }
        }
}

TEST(Scan, PassesOverEveryOtherByteToTheEnd) {
    for (int c = 0; c < 256; ++c) {
        if (is_stop(static_cast<unsigned char>(c))) continue;
        for (std::size_t size = 0; size <= 40; ++size)
            for (std::size_t start = 0; start <= size; ++start)
                ASSERT_TRUE(scans_to(std::string(size, static_cast<char>(c)), start, size)) << byte_name(c);
    }
}

}  // namespace
