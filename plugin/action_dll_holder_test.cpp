#include "plugin/action_dll_holder.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/launcher_process.h"
#include "tests/support/test_folder.h"

namespace {

const std::wstring kOldPlugin = WindowsPathOfBuildFile(GV_FIXTURE_PLUGIN_OLD);  // version 5
const std::wstring kNewPlugin = WindowsPathOfBuildFile(GV_FIXTURE_PLUGIN_NEW);  // version 6

// Every case starts and ends with the process-wide holder empty and no users counted.
class ActionDLLHolderTest : public ::testing::Test {
 protected:
  void SetUp() override { Reset(); }
  void TearDown() override { Reset(); }
  static void Reset() {
    g_pluginLoadCount = 1;
    g_actionHolder.Unload();
    g_actionHolder.path.Clear();
  }
};

TEST_F(ActionDLLHolderTest, CountsUsersAndFreesWithTheLast) {
  ASSERT_TRUE(g_actionHolder.LoadFrom(TestFolder::ToText(kOldPlugin)));
  EXPECT_EQ(g_pluginLoadCount, 1);
  EXPECT_STREQ(g_actionHolder.path.c_str(), TestFolder::ToText(kOldPlugin).c_str());
  EXPECT_EQ(g_actionHolder.PLG_Version(), 5);

  // A second user while loaded: no update, just one more count.
  EXPECT_TRUE(ActionDLLHolder::UpdateAndLoad(g_actionHolder, "unused", nullptr));
  EXPECT_EQ(g_pluginLoadCount, 2);
  g_actionHolder.Unload();
  EXPECT_TRUE(g_actionHolder.PLG_Version.IsBound());
  g_actionHolder.Unload();
  EXPECT_EQ(g_pluginLoadCount, 0);
  EXPECT_FALSE(g_actionHolder.IsLoaded());
  EXPECT_FALSE(g_actionHolder.PLG_Version.IsBound());
}

TEST_F(ActionDLLHolderTest, AnUnloadWithoutUserLeavesTheNextLoadCounted) {
  // As after a first install, where nothing was loaded to let go of.
  g_actionHolder.Unload();
  EXPECT_EQ(g_pluginLoadCount, 0);
  ASSERT_TRUE(g_actionHolder.LoadFrom(TestFolder::ToText(kOldPlugin)));
  EXPECT_EQ(g_pluginLoadCount, 1);
  g_actionHolder.Unload();
  EXPECT_FALSE(g_actionHolder.IsLoaded());
}

TEST_F(ActionDLLHolderTest, TheOnlyUserLoadingAnotherFileReplacesTheModule) {
  ASSERT_TRUE(g_actionHolder.LoadFrom(TestFolder::ToText(kOldPlugin)));
  EXPECT_EQ(g_actionHolder.PLG_Version(), 5);
  ASSERT_TRUE(g_actionHolder.LoadFrom(TestFolder::ToText(kNewPlugin)));
  EXPECT_EQ(g_pluginLoadCount, 1);
  EXPECT_EQ(g_actionHolder.PLG_Version(), 6);

  // A failed load changes nothing but what the replacement had to let go.
  EXPECT_FALSE(g_actionHolder.LoadFrom("Z:\\no\\such\\npwoxact.dll"));
  EXPECT_EQ(g_pluginLoadCount, 0);
  EXPECT_STREQ(g_actionHolder.path.c_str(), TestFolder::ToText(kNewPlugin).c_str());
}

TEST_F(ActionDLLHolderTest, AllThirtyThreeRecordsBindAndTheLastUnloadForgetsThem) {
  ASSERT_TRUE(g_actionHolder.LoadFrom(TestFolder::ToText(kNewPlugin)));
  ActionDLLHolder& h = g_actionHolder;
  // Binding through each record proves its name is an undecorated export of the plug-in.
  auto check = [](auto&... records) {
    int bound = 0;
    ((bound += records.Bind() != nullptr && records.IsBound()), ...);
    EXPECT_EQ(bound, 33);
    return [&records...] { return (int(records.IsBound()) + ...); };
  };
  // clang-format off
  auto stillBound = check(
      h.PLG_CreatePlugin, h.PLG_Delete, h.PLG_GetParamNames, h.PLG_AddParam, h.PLG_ProcessParams,
      h.PLG_NewWindow, h.PLG_GetStream, h.PLG_NewStream, h.PLG_Write, h.PLG_DestroyStream,
      h.PLG_GetLoadState, h.PLG_InitLoadState, h.PLG_HasError, h.PLG_GetURL, h.PLG_set_error,
      h.PLG_Do, h.PLG_ProcessNotifications, h.PLG_Version, h.PLG_SpeedLauncher,
      h.PLG_DirectInstaller, h.PLG_CheckUpdateNeeded, h.PLG_Install, h.PLG_Install2,
      h.PLG_Uninstall, h.PLG_Uninstall2, h.PLG_InstalledSize, h.PLG_Update, h.PLG_Update2,
      h.PLG_UpdateAndLaunch, h.PLG_UpdateAndLaunch2, h.PLG_GetProductName,
      h.PLG_SetTovikSessionGID, h.PLG_SetGamesBaseParent);
  // clang-format on
  EXPECT_EQ(reinterpret_cast<void*>(h.PLG_Install2.Bind()), h.GetFunction("PLG_Install2"));
  h.Unload();
  EXPECT_EQ(stillBound(), 0);
}

}  // namespace
