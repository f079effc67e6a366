#include <gtest/gtest.h>
#include <cstring>
#include "runtime/version.h"

TEST(Version, IsTheModulesVersion) { EXPECT_STREQ(version::wuna, "0.7.4"); }
