#include <gtest/gtest.h>
#include <cstring>
#include "wuna/runtime/version.h"

namespace wuna {

TEST(Version, IsTheModulesVersion) { EXPECT_STREQ(version::wuna, "0.7.4"); }

}  // namespace wuna
