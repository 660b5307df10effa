#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "operations.hpp"

namespace vorlan {
namespace {

constexpr std::size_t k4GiB = std::size_t{1} << 32;

// 4 GiB of address space that is never touched, so the refusals need no memory.
struct Untouched {
    void* base = mmap(nullptr, k4GiB, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ~Untouched() {
        if (base != MAP_FAILED) munmap(base, k4GiB);
    }
    std::string_view view(std::size_t n) const { return {static_cast<const char*>(base), n}; }
};

struct LimitCase {
    const char* name;
    bool huge_payload;  // else the model type is huge
    const char* kind;
    const char* codec;
    const char* message;
};

TEST(EncodeFrameLimits, LengthsOf2To32AreRefused) {
    Untouched big;
    ASSERT_NE(big.base, MAP_FAILED);
    const LimitCase cases[] = {
        {"payload", true, "patch", "application/json",
         "frame payload too large: its length must stay below 2^32 bytes"},
        {"model type", false, "snapshot", "application/json",
         "frame header too large: its length must stay below 2^32 bytes"},
        {"bad kind first", true, "Patch", "application/json", "unknown frame kind: Patch"},
        {"bad codec first", false, "patch", "text/plain", "unknown codec: text/plain"},
    };
    for (const LimitCase& c : cases) {
        std::string_view huge = big.view(k4GiB);
        Result<std::string> r = c.huge_payload ? patch::encode_frame(huge, "M", c.kind, 1, c.codec)
                                               : patch::encode_frame("{}", huge, c.kind, 1, c.codec);
        ASSERT_FALSE(r.ok()) << c.name;
        EXPECT_EQ(r.error(), c.message) << c.name;
    }
}

}  // namespace
}  // namespace vorlan
