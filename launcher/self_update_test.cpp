#include "launcher/self_update.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "plugin/per_user_folders.h"
#include "tests/support/launcher_process.h"
#include "tests/support/test_folder.h"

namespace {

TEST(SelfUpdate, ProgressNeverShowsZeroOnceReported) {
  const struct {
    int64_t done, total;
    int32_t percent;
  } cases[] = {
      {1, 1000, 1},
      {999, 1000, 99},
      {0, 1000, 1},
      {1000, 1000, 100},
      {0, 0, 100},
      {2000, 1000, 100},
      {int64_t(1) << 40, int64_t(1) << 41, 50},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.done) + " of " + std::to_string(c.total));
    EXPECT_EQ(ProgressPercent(c.done, c.total), c.percent);
  }
}

TEST(SelfUpdate, ErrorTextNamesAbsoluteFoldersAndLooksUpOthers) {
  const char prefix[] = "ERROR within update.  Check for write permissions for ";
  for (const char* folder : {"C:\\Games\\Galvorand\\", "\\\\server\\share", "/games"}) {
    SCOPED_TRACE(folder);
    EXPECT_STREQ(UpdateErrorText(folder).c_str(), (CCString(prefix) + folder).c_str());
  }
  CCString loc = GetLocFilePath("gv-update-target");
  ASSERT_TRUE(WriteWholeFile(Widen(loc.c_str()), "\xEF\xBB\xBFthe game folder\r\n"));
  EXPECT_STREQ(UpdateErrorText("gv-update-target").c_str(),
               (CCString(prefix) + "the game folder").c_str());
  DeleteFileW(Widen(loc.c_str()).c_str());
  EXPECT_STREQ(UpdateErrorText("gv-update-target").c_str(), prefix);
}

}  // namespace
