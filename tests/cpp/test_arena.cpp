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

}  // namespace
}  // namespace vorlan
