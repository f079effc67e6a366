// Readable names for parameterised tests. ctest names each case by its printed parameter, and
// GoogleTest prints a struct it has no printer for as its raw bytes (pointers included), so
// the names would change from build to build. Every case struct carries a name first, prints
// as that name (PrintTo), and its suite is instantiated with caseName.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace wuna::testing_support {

// text with every character but ASCII letters and digits replaced by '_' (GoogleTest accepts
// nothing else in a name); never fails.
inline std::string testName(std::string_view text) {
    std::string name;
    for (char c : text) {
        bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        name += keep ? c : '_';
    }
    return name;
}

// The name generator for INSTANTIATE_TEST_SUITE_P over cases with a `const char* name`.
template <class Case>
std::string caseName(const ::testing::TestParamInfo<Case>& info) {
    return testName(info.param.name);
}

}  // namespace wuna::testing_support
