#include "launcher/self_update.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

TEST(SelfUpdate, ProgressNeverShowsZeroOnceReported) {
  const struct {
    int64_t done, total;
    int32_t percent;
  } cases[] = {
      // clang-format off
      {1, 1000, 1}, {999, 1000, 99}, {0, 1000, 1}, {1000, 1000, 100}, {0, 0, 100},
      {2000, 1000, 100}, {int64_t(1) << 40, int64_t(1) << 41, 50},
      // Whatever a plug-in reports, the bar stays between 1 and 100.
      {-5, 100, 1}, {5, -1, 100}, {INT64_MIN, 1, 1}, {INT64_MAX, 1, 100}, {1, INT64_MAX, 1},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.done) + " of " + std::to_string(c.total));
    EXPECT_EQ(ProgressPercent(c.done, c.total), c.percent);
  }
}

std::string g_asked;  // the names the error text looked up

CCString LookUp(const CCString& name) {
  g_asked += std::string(name.c_str()) + ";";
  return "the game folder";
}

TEST(SelfUpdate, ErrorTextNamesAbsoluteFoldersAndLooksUpOthers) {
  const std::string prefix = "ERROR within update.  Check for write permissions for ";
  const struct {
    const char* folder;
    bool absolute;
  } cases[] = {
      {"C:\\Games\\Galvorand\\", true},
      {"\\\\server\\share", true},
      {"/games", true},
      {"C:", true},
      {"x:relative", true},
      {"gv-update-target", false},
      {"", false},
      {"C", false},
      {"\xff:", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.folder);
    g_asked.clear();
    std::string text = UpdateErrorText(c.folder, LookUp).c_str();
    EXPECT_EQ(text, prefix + (c.absolute ? c.folder : "the game folder"));
    EXPECT_EQ(g_asked, c.absolute ? "" : std::string(c.folder) + ";");
  }
}

}  // namespace
