#include "launcher/dllholder/dll_holder.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "launcher/sl_holder.h"
#include "tests/support/exception_text.h"
#include "tests/support/launcher_process.h"
#include "tests/support/test_folder.h"

namespace {

const std::wstring kAppDll = WindowsPathOfBuildFile(GV_FIXTURE_APP_DLL);
const std::wstring kNoLaunchDll = WindowsPathOfBuildFile(GV_FIXTURE_NO_LAUNCH_DLL);
const std::wstring kRefusingDll = WindowsPathOfBuildFile(GV_FIXTURE_REFUSING_DLL);

// The message of the DLLHolder::exception that `action` raises.
template <class Action>
std::string RaisedMessage(Action action) {
  return gvtest::WhatOf<DLLHolder::exception>(action);
}

// A holder of its own per case, so the process-wide one stays untouched.
class SLHolderTest : public ::testing::Test {
 protected:
  void TearDown() override { holder.Unload(); }
  SL::SLHolder holder;
};

TEST_F(SLHolderTest, BindsOnFirstCallKeepsTheFirstModuleAndForgetsBothOnUnload) {
  ASSERT_TRUE(holder.Load(TestFolder::ToText(kAppDll)));
  EXPECT_FALSE(holder.SL_GetDLLVersion.IsBound());
  char version[36] = {};
  holder.SL_GetDLLVersion(version, 32);
  EXPECT_STREQ(version, "1.0.0.200");
  EXPECT_TRUE(holder.SL_GetDLLVersion.IsBound());
  // A second Load answers true without looking at the path: the DLL with SL_Launch2 stays.
  EXPECT_TRUE(holder.Load(TestFolder::ToText(kNoLaunchDll)));
  EXPECT_TRUE(holder.Load("Z:\\no\\such\\file.dll"));
  ASSERT_NO_THROW(holder.SL_Launch2.Bind());

  holder.Unload();
  EXPECT_FALSE(holder.IsLoaded());
  EXPECT_FALSE(holder.SL_Launch2.IsBound());
  EXPECT_FALSE(holder.SL_GetDLLVersion.IsBound());
  // A stale address would call into the freed module; the new module has no SL_Launch2, and
  // its other export is fine. (A call of the missing one: tests/launcher_integration.)
  ASSERT_TRUE(holder.Load(TestFolder::ToText(kNoLaunchDll)));
  EXPECT_EQ(RaisedMessage([&] { holder.SL_Launch2.Bind(); }), "Cannot load function: SL_Launch2");
  EXPECT_FALSE(holder.SL_Launch2.IsBound());
  EXPECT_NO_THROW(holder.SL_GetDLLVersion(version, 32));
}

TEST(DLLHolder, MisuseRaisesWithItsOwnMessage) {
  DLLHolder holder;
  EXPECT_EQ(RaisedMessage([&] { holder.Load(""); }), "Empty library name passed to Load()");
  EXPECT_EQ(RaisedMessage([&] { holder.GetFunction("SL_Launch2"); }),
            "DLL not loaded for SL_Launch2");
  DLLFunction<int(__cdecl*)()> unbound(&holder, "SL_Launch2");
  EXPECT_EQ(RaisedMessage([&] { unbound(); }), "DLL not loaded for SL_Launch2");

  ASSERT_TRUE(holder.Load(TestFolder::ToText(kAppDll)));
  EXPECT_EQ(RaisedMessage([&] { holder.GetFunction(nullptr); }),
            "Empty function name passed to GetProcAddress");
  holder.Unload();
  holder.Unload();  // a second unload is harmless
}

TEST(DLLHolder, LoadFailureAnswersFalseAndLeavesTheSystemError) {
  // A DllMain that refuses; a missing file's error shows end to end (tests/launcher_integration).
  DLLHolder holder;
  SetLastError(0);
  EXPECT_FALSE(holder.Load(TestFolder::ToText(kRefusingDll)));
  EXPECT_EQ(DLLHolder::SystemErrorCode(), uint32_t(ERROR_DLL_INIT_FAILED));
  EXPECT_FALSE(holder.IsLoaded());
}

TEST(DLLHolder, PathsAreNormalisedAndNonAsciiGoesThroughTheWideCall) {
  // Forward slashes and doubled separators, in a folder whose name is not ASCII: the UTF-8
  // bytes handed to the narrow call would name a different (missing) file.
  TestFolder folder(L"\u00c4\u00d6\u00dc \u0442\u0435\u0441\u0442 \u2603");
  ASSERT_TRUE(folder.CopyIn(kAppDll, L"Galv\u00f8rand.dll"));
  std::string path = Narrow(folder.Native()) + "//Galv\xc3\xb8rand.dll";
  for (char& c : path) {
    if (c == '\\')
      c = '/';
  }
  DLLHolder holder;
  ASSERT_TRUE(holder.Load(CCString(path.c_str()))) << "error " << DLLHolder::SystemErrorCode();
  EXPECT_NE(holder.GetFunction("SL_GetDLLVersion"), nullptr);
}

TEST(DLLHolder, NarrowPathBytesAreHandedOverUnconverted) {
  // Text that is not UTF-8 goes to the narrow call as it is, read in the ANSI code page.
  if (GetACP() != 1252)
    GTEST_SKIP() << "needs ANSI code page 1252, this process has " << GetACP();
  TestFolder folder(L"ansi");
  ASSERT_TRUE(folder.CopyIn(kAppDll, L"caf\u00e9.dll"));
  std::string path = Narrow(folder.Native()) + "\\caf\xe9.dll";  // 0xE9: "é" in code page 1252
  DLLHolder holder;
  EXPECT_TRUE(holder.Load(CCString(path.c_str()))) << "error " << DLLHolder::SystemErrorCode();
  holder.Unload();
}

TEST(DLLHolderException, CopyTakesOverTheMessage) {
  DLLHolder::exception original("Cannot load function: ", "PLG_Version");
  EXPECT_STREQ(original.what(), "Cannot load function: PLG_Version");
  DLLHolder::exception copy(original);
  EXPECT_STREQ(original.what(), "Unknown DLL exception");
  DLLHolder::exception assigned("other");
  assigned = copy;
  EXPECT_STREQ(assigned.what(), "Cannot load function: PLG_Version");
  EXPECT_STREQ(copy.what(), "Unknown DLL exception");
  EXPECT_STREQ(DLLHolder::exception("DLL not loaded for ", nullptr).what(), "DLL not loaded for ");
}

}  // namespace
