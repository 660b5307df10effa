#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "box.hpp"

using vorlan::Box;

namespace {

// What is left in `a` after Box<std::string> c(std::move(a)).
Box<std::string> moved_from() {
    Box<std::string> a(std::string(40, 'a'));
    Box<std::string> c(std::move(a));
    return a;  // moves the empty state on
}

struct MovedFromCase {
    const char* name;
    // Runs on a moved-from Box and a live one holding "live"; returns what it read back.
    std::string (*run)(Box<std::string>& empty, Box<std::string>& live);
    const char* expected;
};

const MovedFromCase kMovedFromCases[] = {
    {"copy-assigned from a live box",
     [](Box<std::string>& empty, Box<std::string>& live) {
         empty = live;
         return *empty + (empty == live ? " equal" : " differ");
     },
     "live equal"},
    {"copy-assigned to a live box",
     [](Box<std::string>& empty, Box<std::string>& live) {
         live = empty;
         live = Box<std::string>(std::string("again"));
         return *live;
     },
     "again"},
    {"copied, then the copy assigned",
     [](Box<std::string>& empty, Box<std::string>& live) {
         Box<std::string> copy(empty);
         copy = live;
         return *copy;
     },
     "live"},
    {"compared",
     [](Box<std::string>& empty, Box<std::string>& live) {
         Box<std::string> other = moved_from();
         return std::string(empty == live ? "equal" : "differ") + (live == empty ? " equal" : " differ") +
                (empty == other ? " equal" : " differ");
     },
     "differ differ equal"},
    {"move-assigned from a live box",
     [](Box<std::string>& empty, Box<std::string>& live) {
         empty = std::move(live);
         return *empty;
     },
     "live"},
};

TEST(Box, MovedFromStateCanBeAssignedCopiedAndCompared) {
    for (const MovedFromCase& c : kMovedFromCases) {
        Box<std::string> empty = moved_from();
        Box<std::string> live(std::string("live"));
        EXPECT_EQ(c.run(empty, live), c.expected) << c.name;
    }
}

}  // namespace
