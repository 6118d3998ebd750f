#include "plugin/per_user_folders.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "launcher/pathutil/path_util.h"
#include "plugin/action_dll_holder.h"
#include "tests/support/launcher_process.h"
#include "tests/support/test_folder.h"

namespace {

const std::wstring kOldPlugin = WindowsPathOfBuildFile(GV_FIXTURE_PLUGIN_OLD);  // version 5
const std::wstring kNewPlugin = WindowsPathOfBuildFile(GV_FIXTURE_PLUGIN_NEW);  // version 6

std::wstring Wide(const CCString& path) {
  return Widen(path.c_str());
}

TEST(ReadFirstLine, StripsByteOrderMarksAndKeepsTheFirstLineTrimmed) {
  const struct {
    std::string bytes;
    const char* expected;
  } cases[] = {
      {"\xEF\xBB\xBF  Text here \r\nmore text", "Text here"},
      {"\xFF\xFEText\nnext", "Text"},
      {"\xFE\xFFText\rnext", "Text"},
      {"plain\tline\t\n", "plain\tline"},
      {"no line end", "no line end"},
      {"\r\nsecond", ""},
      {"", ""},
      // Three bytes or fewer keep whatever mark they start with.
      {"\xEF\xBB\xBF", "\xEF\xBB\xBF"},
      {"\xFF\xFE\x61", "\xFF\xFE\x61"},
      // A mark is only taken at the very start.
      {" \xEF\xBB\xBFx", "\xEF\xBB\xBFx"},
  };
  TestFolder folder(L"firstline");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    ASSERT_TRUE(folder.Write(L"text.loc", c.bytes));
    EXPECT_STREQ(ReadFirstLine(folder.Join("text.loc")).c_str(), c.expected);
  }
  EXPECT_STREQ(ReadFirstLine(folder.Join("missing.loc")).c_str(), "");
  // A folder is no text file.
  EXPECT_STREQ(ReadFirstLine(folder.Path()).c_str(), "");
}

TEST(PerUserFolders, CompanyAndDigestsFoldersLieInLocalAppDataLow) {
  KnownFolderFunction access;
  CCString company = GetCompanyDataFolder(access);
  access.ReleaseShell32();
  // Wine's LocalAppDataLow, as Windows Vista and later have it.
  EXPECT_TRUE(company.EndsWith("\\AppData\\LocalLow\\Oxtellion")) << company.c_str();

  CCString digests = GetDigestsFolder();
  EXPECT_STREQ(digests.c_str(), (company + "\\Digests").c_str());
  EXPECT_NE(GetFileAttributesW(Wide(digests).c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);

  // Where the ".loc" texts lie; ReadLocText reads that file's first line (ReadFirstLine).
  EXPECT_STREQ(GetLocFilePath("name").c_str(), (digests + "\\name.loc").c_str());
}

TEST(PerUserFolders, RegisteredPluginFolderIsTheIconsFolder) {
  std::wstring keyPath = Widen(kRegisteredPluginIconKey);
  RegDeleteKeyW(HKEY_CLASSES_ROOT, keyPath.c_str());
  EXPECT_STREQ(GetRegisteredPluginFolder().c_str(), "");

  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, keyPath.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  const wchar_t icon[] = L"C:\\Program Files\\Oxtellion\\Plugin\\npwoxact.dll,0";
  RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(icon), sizeof icon);
  RegCloseKey(key);
  EXPECT_STREQ(GetRegisteredPluginFolder().c_str(), "C:\\Program Files\\Oxtellion\\Plugin\\");
  RegDeleteKeyW(HKEY_CLASSES_ROOT, keyPath.c_str());
}

// FindPluginPath against real DLLs: a folder standing for the launcher's (anchored by a module
// loaded from it) and the real company folder, emptied of plug-in files before and after.
class FindPluginPathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    KnownFolderFunction access;
    m_company = Wide(GetCompanyDataFolder(access));
    ClearCompanyCopies();
    CreateDirectoryW(m_company.c_str(), nullptr);
    // The anchor: any DLL loaded from the launcher folder stands for the executable.
    ASSERT_TRUE(m_launcher.CopyIn(kOldPlugin, L"anchor.dll"));
    m_anchor = LoadLibraryW(m_launcher.PathOf(L"anchor.dll").c_str());
    ASSERT_NE(m_anchor, nullptr);
  }
  void TearDown() override {
    FreeLibrary(m_anchor);
    ClearCompanyCopies();
    ASSERT_EQ(g_pluginLoadCount, 0);
    ASSERT_FALSE(g_actionHolder.IsLoaded());
  }
  void ClearCompanyCopies() {
    DeleteFileW(CompanyCopy().c_str());
    DeleteFileW((CompanyCopy() + L".2").c_str());
  }
  std::wstring CompanyCopy() const { return m_company + L"\\npwoxact.dll"; }
  std::wstring BesideCopy() const { return m_launcher.PathOf(L"npwoxact.dll"); }
  std::wstring Find(bool forWriting) { return Wide(FindPluginPath(m_anchor, forWriting)); }

  std::wstring m_company;
  TestFolder m_launcher{L"plugin-launcher"};
  HMODULE m_anchor = nullptr;
};

TEST_F(FindPluginPathTest, TheNewerCopyWinsAndTiesGoBesideTheLauncher) {
  // Nothing anywhere: the path beside the launcher, for the download to fill.
  EXPECT_EQ(Find(false), BesideCopy());
  ASSERT_TRUE(CopyFileW(kOldPlugin.c_str(), CompanyCopy().c_str(), FALSE));
  EXPECT_EQ(Find(false), CompanyCopy());
  ASSERT_TRUE(m_launcher.CopyIn(kOldPlugin, L"npwoxact.dll"));
  EXPECT_EQ(Find(false), BesideCopy());
  ASSERT_TRUE(CopyFileW(kNewPlugin.c_str(), CompanyCopy().c_str(), FALSE));
  EXPECT_EQ(Find(false), CompanyCopy());
  ASSERT_TRUE(m_launcher.CopyIn(kNewPlugin, L"npwoxact.dll"));
  ASSERT_TRUE(CopyFileW(kOldPlugin.c_str(), CompanyCopy().c_str(), FALSE));
  EXPECT_EQ(Find(false), BesideCopy());
  // For writing it is always the company folder.
  EXPECT_EQ(Find(true), CompanyCopy());
}

TEST_F(FindPluginPathTest, ACopyThatDoesNotLoadIsUnusable) {
  ASSERT_TRUE(m_launcher.Write(L"npwoxact.dll", "MZ but no DLL at all"));
  ASSERT_TRUE(CopyFileW(kOldPlugin.c_str(), CompanyCopy().c_str(), FALSE));
  EXPECT_EQ(Find(false), CompanyCopy());
  // And the other way round.
  ASSERT_TRUE(m_launcher.CopyIn(kOldPlugin, L"npwoxact.dll"));
  ASSERT_TRUE(WriteWholeFile(CompanyCopy(), "truncated"));
  EXPECT_EQ(Find(false), BesideCopy());
  // Neither load: the company copy, which an install then replaces.
  ASSERT_TRUE(m_launcher.Write(L"npwoxact.dll", "junk"));
  EXPECT_EQ(Find(false), CompanyCopy());
  // The probing neither counted a user nor left a module behind (checked in TearDown).
}

TEST_F(FindPluginPathTest, APendingInstallTakesThePlaceOfTheOldFile) {
  ASSERT_TRUE(CopyFileW(kOldPlugin.c_str(), CompanyCopy().c_str(), FALSE));
  ASSERT_TRUE(CopyFileW(kNewPlugin.c_str(), (CompanyCopy() + L".2").c_str(), FALSE));
  EXPECT_EQ(Find(false), CompanyCopy());
  EXPECT_EQ(ReadWholeFile(CompanyCopy()), ReadWholeFile(kNewPlugin));
  EXPECT_EQ(GetFileAttributesW((CompanyCopy() + L".2").c_str()), INVALID_FILE_ATTRIBUTES);

  // A pending copy beside the launcher is completed the same way.
  ClearCompanyCopies();
  ASSERT_TRUE(m_launcher.CopyIn(kNewPlugin, L"npwoxact.dll.2"));
  EXPECT_EQ(Find(false), BesideCopy());
  EXPECT_EQ(m_launcher.Read(L"npwoxact.dll"), ReadWholeFile(kNewPlugin));

  // An older or broken pending copy (a crash halfway through writing it) is dropped.
  for (bool older : {true, false}) {
    ASSERT_TRUE(older ? m_launcher.CopyIn(kOldPlugin, L"npwoxact.dll.2")
                      : m_launcher.Write(L"npwoxact.dll.2", "truncated"));
    EXPECT_EQ(Find(false), BesideCopy());
    EXPECT_EQ(m_launcher.Read(L"npwoxact.dll"), ReadWholeFile(kNewPlugin));
    EXPECT_FALSE(m_launcher.Exists(L"npwoxact.dll.2")) << older;
  }
}

}  // namespace
