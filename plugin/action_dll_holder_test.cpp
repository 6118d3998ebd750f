#include "plugin/action_dll_holder.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/launcher_integration/test_folder.h"

namespace {

const std::wstring kOldPlugin = WindowsPathOfBuildFile(GV_FIXTURE_PLUGIN_OLD);  // version 5
const std::wstring kNewPlugin = WindowsPathOfBuildFile(GV_FIXTURE_PLUGIN_NEW);  // version 6
const std::wstring kAppDll = WindowsPathOfBuildFile(GV_FIXTURE_APP_DLL);        // no PLG_ exports

CCString Utf8(const std::wstring& path) {
  return CCString(Narrow(path).c_str());
}

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
  ASSERT_TRUE(g_actionHolder.LoadFrom(Utf8(kOldPlugin)));
  EXPECT_EQ(g_pluginLoadCount, 1);
  EXPECT_STREQ(g_actionHolder.path.c_str(), Utf8(kOldPlugin).c_str());
  EXPECT_EQ(g_actionHolder.PLG_Version(), 5);

  // A second user while loaded: no update, just one more count.
  EXPECT_TRUE(ActionDLLHolder::UpdateAndLoad(g_actionHolder, "unused", nullptr));
  EXPECT_EQ(g_pluginLoadCount, 2);
  g_actionHolder.Unload();
  EXPECT_TRUE(g_actionHolder.IsLoaded());
  EXPECT_TRUE(g_actionHolder.PLG_Version.IsBound());
  g_actionHolder.Unload();
  EXPECT_EQ(g_pluginLoadCount, 0);
  EXPECT_FALSE(g_actionHolder.IsLoaded());
  EXPECT_FALSE(g_actionHolder.PLG_Version.IsBound());
}

TEST_F(ActionDLLHolderTest, AnUnloadWithoutUserLeavesTheNextLoadUncounted) {
  g_actionHolder.Unload();
  EXPECT_EQ(g_pluginLoadCount, -1);
  ASSERT_TRUE(g_actionHolder.LoadFrom(Utf8(kOldPlugin)));
  EXPECT_EQ(g_pluginLoadCount, 0);
  // At 0 an Unload no longer frees: the module stays for the rest of the run.
  g_actionHolder.Unload();
  EXPECT_TRUE(g_actionHolder.IsLoaded());
}

TEST_F(ActionDLLHolderTest, TheOnlyUserLoadingAnotherFileReplacesTheModule) {
  ASSERT_TRUE(g_actionHolder.LoadFrom(Utf8(kOldPlugin)));
  EXPECT_EQ(g_actionHolder.PLG_Version(), 5);
  ASSERT_TRUE(g_actionHolder.LoadFrom(Utf8(kNewPlugin)));
  EXPECT_EQ(g_pluginLoadCount, 1);
  EXPECT_EQ(g_actionHolder.PLG_Version(), 6);

  // A failed load changes nothing but what the replacement had to let go.
  EXPECT_FALSE(g_actionHolder.LoadFrom("Z:\\no\\such\\npwoxact.dll"));
  EXPECT_EQ(g_pluginLoadCount, 0);
  EXPECT_STREQ(g_actionHolder.path.c_str(), Utf8(kNewPlugin).c_str());
}

TEST_F(ActionDLLHolderTest, AllThirtyThreeExportsBindUndecorated) {
  ASSERT_TRUE(g_actionHolder.LoadFrom(Utf8(kNewPlugin)));
  ActionDLLHolder& h = g_actionHolder;
  for (const char* name : {"PLG_CreatePlugin",
                           "PLG_Delete",
                           "PLG_GetParamNames",
                           "PLG_AddParam",
                           "PLG_ProcessParams",
                           "PLG_NewWindow",
                           "PLG_GetStream",
                           "PLG_NewStream",
                           "PLG_Write",
                           "PLG_DestroyStream",
                           "PLG_GetLoadState",
                           "PLG_InitLoadState",
                           "PLG_HasError",
                           "PLG_GetURL",
                           "PLG_set_error",
                           "PLG_Do",
                           "PLG_ProcessNotifications",
                           "PLG_Version",
                           "PLG_SpeedLauncher",
                           "PLG_DirectInstaller",
                           "PLG_CheckUpdateNeeded",
                           "PLG_Install",
                           "PLG_Install2",
                           "PLG_Uninstall",
                           "PLG_Uninstall2",
                           "PLG_InstalledSize",
                           "PLG_Update",
                           "PLG_Update2",
                           "PLG_UpdateAndLaunch",
                           "PLG_UpdateAndLaunch2",
                           "PLG_GetProductName",
                           "PLG_SetTovikSessionGID",
                           "PLG_SetGamesBaseParent"}) {
    EXPECT_NE(h.GetFunction(name), nullptr) << name;
  }
  // The records bind to the same exports and are all forgotten by the last Unload.
  h.PLG_Install2.Bind();
  h.PLG_SetGamesBaseParent.Bind();
  h.PLG_CreatePlugin.Bind();
  EXPECT_EQ(reinterpret_cast<void*>(h.PLG_Install2.Bind()), h.GetFunction("PLG_Install2"));
  h.Unload();
  EXPECT_FALSE(h.PLG_Install2.IsBound());
  EXPECT_FALSE(h.PLG_SetGamesBaseParent.IsBound());
  EXPECT_FALSE(h.PLG_CreatePlugin.IsBound());
}

TEST_F(ActionDLLHolderTest, ADllWithoutPLG_VersionRaisesOnTheCall) {
  ASSERT_TRUE(g_actionHolder.LoadFrom(Utf8(kAppDll)));
  try {
    g_actionHolder.PLG_Version();
    FAIL() << "no exception";
  } catch (const DLLHolder::exception& e) {
    EXPECT_STREQ(e.what(), "Cannot load function: PLG_Version");
  }
}

}  // namespace
