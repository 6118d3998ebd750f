#include "launcher/build_number.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

TEST(BuildNumber, FourthFieldIsTheBuildNumber) {
  const struct {
    const char* version;
    int32_t build;
    bool tooOld;
  } kCases[] = {
      // clang-format off
      {"1.0.0.152", 152, false},  {"1.0.0.151", 151, true},  {"1.0.0.0", 0, false},
      {"1.0.0.-3", -3, true},     {"1.0.0", 0, false},       {"", 0, false},
      {"1.0.0.151.7", 151, true}, {"1.0.0.0151", 151, true}, {"1.0.0.0x99", 0, false},
      {"1.0.0.99b", 99, true},    {"1.0.0. 151", 0, false},  {"...152", 152, false},
      {"1.0.0.152\r\n", 152, false}, {"1.0.0.\xff" "152", 0, false},
      // Numbers past 32 bits keep their low 32 bits, which may read as negative.
      {"1.0.0.2147483647", 2147483647, false}, {"1.0.0.2147483648", INT32_MIN, true},
      {"1.0.0.4294967448", 152, false},
      // clang-format on
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.version);
    int32_t build = ParseBuildNumber(c.version);
    EXPECT_EQ(build, c.build);
    EXPECT_EQ(IsBuildTooOld(build), c.tooOld);
  }
}

}  // namespace
