#include <gtest/gtest.h>
#include "ops/registry.hpp"
TEST(Smoke, Registry) { EXPECT_EQ(vorn::OperatorRegistry::with_builtins().size(), 23u); }
