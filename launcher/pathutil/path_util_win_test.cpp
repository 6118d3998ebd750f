#include <windows.h>

#include <gtest/gtest.h>

#include "launcher/pathutil/path_util.h"
#include "launcher/text/text_helpers.h"
#include "libs/ccutility/file/read_whole_file.h"
#include "libs/ccutility/win/win_handles.h"
#include "tests/support/test_folder.h"

// A loaded module cannot be removed but can be renamed: the replaced file moves aside to
// ".bak" (clearing a stale, read-only backup first) and the new one takes its place.
TEST(PathUtil, ReplaceFileMovesALoadedModuleAside) {
  TestFolder temp;
  ASSERT_TRUE(temp.IsValid());
  wchar_t self[MAX_PATH];
  ASSERT_GT(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
  CCString module = temp.Join("module.dll");
  CCString backup = temp.Join("module.dll.bak");
  CCString source = temp.Join("update.dll");
  ASSERT_TRUE(PathUtil::CopyPath(ToUTF8(self), module));
  ASSERT_TRUE(temp.Write("module.dll.bak", "stale"));
  TestFolder::MakeReadOnly(temp.Native("module.dll.bak"));
  ASSERT_TRUE(temp.Write("update.dll", "new module"));
  CCString original = PathUtil::ReadWholeFile(module);

  cc::win::ScopedModule loaded(
      LoadLibraryExW(ToWide(module).c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES));
  ASSERT_TRUE(loaded);
  ASSERT_NE(PathUtil::DeletePath(module, true), 0);  // what makes the fallback necessary
  EXPECT_EQ(PathUtil::ReplaceFile(source, module), 0);
  EXPECT_STREQ(PathUtil::ReadWholeFile(module).c_str(), "new module");
  EXPECT_FALSE(PathUtil::FileExists(source));
  EXPECT_TRUE(PathUtil::ReadWholeFile(backup) == original);
}
