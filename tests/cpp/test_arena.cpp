#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "arena_only.hpp"
#include "diff/patch.hpp"
#include "node.hpp"

namespace vorlan {
namespace {

// What the operations drop without destructors passes the check...
static_assert(arena_only<node::Node>);
static_assert(arena_only<diff::Patch>);
static_assert(arena_only<Vector<diff::Op>>);

// ...and anything holding heap memory anywhere inside does not.
struct HeapString {
    String name;
    std::string heap;
};
struct Nested {
    std::optional<std::variant<int, std::vector<int>>> deep;
};
struct Tree {
    Vector<Tree> children;
    std::unique_ptr<int> owned;
};
class Opaque {
public:
    Opaque() = default;
    ~Opaque() {}
};
static_assert(!arena_only<HeapString>);
static_assert(!arena_only<Nested>);
static_assert(!arena_only<Tree>);
static_assert(!arena_only<Opaque>);
static_assert(!arena_only<Vector<std::string>>);
static_assert(!arena_only<SortedMap<std::vector<int>>>);

TEST(ArenaAllocatorDeathTest, RecordMemoryOutsideAnOperationStopsTheProgram) {
    // Such memory would never be given back: stopping is the only safe answer.
    EXPECT_DEATH(
        {
            detail::current_arena = nullptr;
            String s(100, 'x');
        },
        "record memory asked for with no operation running");
}

// Memory taken for a check is reused at once, whether it fit the block it started in
// or grew new ones; what was there before stays.
TEST(ArenaRewind, GivesBackWhatItsLifetimeTook) {
    for (const std::size_t taken : {std::size_t{100}, std::size_t{3} << 20}) {
        const ArenaScope operation;
        const String before(200, 'b');
        const char* at_mark = nullptr;
        {
            const ArenaRewind checked;
            at_mark = ArenaAllocator<char>().allocate(16);
            for (std::size_t n = 0; n < taken; n += 1000) ArenaAllocator<char>().allocate(1000);
        }
        EXPECT_EQ(ArenaAllocator<char>().allocate(16), at_mark) << taken;
        EXPECT_EQ(before, String(200, 'b'));
    }
}

}  // namespace
}  // namespace vorlan
