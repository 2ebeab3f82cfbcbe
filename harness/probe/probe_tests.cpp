// Tests run by the start-up probe: one that passes and one that fails.
#include <gtest/gtest.h>

TEST(ProbeSuite, Passes) { SUCCEED(); }

TEST(ProbeSuite, Fails) { FAIL() << "failing on purpose"; }
