// The module's version is the one pyproject.toml gives: the package metadata and the module's
// own answer must not drift apart.
#include "wuna/runtime/version.h"
#include <gtest/gtest.h>

#include <fstream>
#include <string>

namespace wuna {

namespace {

// The version of [project] in pyproject.toml: the value of the first line that starts with
// `version = "` (cmake.version and the like do not). Empty when the file or line is missing.
std::string projectVersion() {
    std::ifstream file(WUNA_SOURCE_DIR "/pyproject.toml");
    const std::string prefix = "version = \"";
    for (std::string line; std::getline(file, line);) {
        if (line.compare(0, prefix.size(), prefix) != 0) continue;
        size_t end = line.find('"', prefix.size());
        if (end == std::string::npos) return "";
        return line.substr(prefix.size(), end - prefix.size());
    }
    return "";
}

}  // namespace

TEST(Version, IsTheModulesVersion) {
    std::string expected = projectVersion();
    ASSERT_FALSE(expected.empty()) << "no version line in pyproject.toml";
    EXPECT_EQ(std::string(version::wuna), expected);
}

}  // namespace wuna
