// Records are built with arena memory, which only exists while an operation runs:
// the tests build theirs directly, so each test runs with an arena of its own.
#include <gtest/gtest.h>

#include <memory>

#include "arena.hpp"

namespace {

class ArenaPerTest : public ::testing::EmptyTestEventListener {
public:
    void OnTestStart(const ::testing::TestInfo&) override { scope_ = std::make_unique<vorlan::ArenaScope>(); }
    void OnTestEnd(const ::testing::TestInfo&) override { scope_.reset(); }

private:
    std::unique_ptr<vorlan::ArenaScope> scope_;
};

const bool kRegistered = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new ArenaPerTest);
    return true;
}();

}  // namespace
