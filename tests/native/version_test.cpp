#include "wuna/runtime/version.h"
#include <gtest/gtest.h>
#include <cstring>

namespace wuna {

TEST(Version, IsTheModulesVersion) { EXPECT_STREQ(version::wuna, "0.7.4"); }

}  // namespace wuna
