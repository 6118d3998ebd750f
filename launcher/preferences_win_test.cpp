// The ini files, read by the system's profile functions from real files; the rest of the
// preferences is in preferences_test.cpp.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "launcher/preferences.h"
#include "tests/support/exception_text.h"
#include "tests/support/test_folder.h"

namespace {

using gvtest::Str;

// Preferences of an executable "Galvorand.exe" in a fresh folder. Building them changes the
// current directory, which is given back afterwards.
class PreferencesTest : public ::testing::Test {
 protected:
  void TearDown() override { std::filesystem::current_path(m_previousDirectory); }

  CCString ExePath() const { return folder.Join("Galvorand.exe"); }
  std::string Value(Preferences& preferences, const char* key) {
    return Str(preferences.GetString(key));
  }

  TestFolder folder{L"prefs"};

 private:
  std::filesystem::path m_previousDirectory = std::filesystem::current_path();
};

TEST_F(PreferencesTest, InternalIniReplacesTheMainOneAndUserIniWinsOverBoth) {
  const struct {
    const char* name;
    const char* ini;  // nullptr: no such file
    const char* internal;
    const char* user;
    const char* loggingLevel;
    const char* tovik;
    const wchar_t* mainIni;
  } kCases[] = {
      {"internal hides .ini", "loggingLevel=verbose\ntovik=t.ini", "loggingLevel=trace", nullptr,
       "trace", "tovik.galvorand.example", L"Galvorand-internal.ini"},
      {"user over .ini", "loggingLevel=verbose\ntovik=t.ini", nullptr, "loggingLevel=errors",
       "errors", "t.ini", L"Galvorand.ini"},
      {"user over internal", "tovik=t.ini", "loggingLevel=trace\ntovik=t.internal",
       "loggingLevel=normal", "normal", "t.internal", L"Galvorand-internal.ini"},
      {"only user", nullptr, nullptr, "tovik=t.user", "major", "t.user", L"Galvorand.ini"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    TestFolder caseFolder(L"prefs");
    auto write = [&](const wchar_t* name, const char* settings) {
      if (settings) {
        ASSERT_TRUE(caseFolder.Write(name, std::string("[Settings]\n") + settings + "\n"));
      }
    };
    write(L"Galvorand.ini", c.ini);
    write(L"Galvorand-internal.ini", c.internal);
    write(L"Galvorand-user.ini", c.user);
    Preferences preferences(caseFolder.Join("Galvorand.exe"));
    preferences.Load("");
    EXPECT_EQ(Value(preferences, "loggingLevel"), c.loggingLevel);
    EXPECT_EQ(Value(preferences, "tovik"), c.tovik);
    EXPECT_EQ(Str(preferences.iniPath), Str(TestFolder::ToText(caseFolder.PathOf(c.mainIni))));
  }
}

TEST_F(PreferencesTest, IniFileGivesOnlyNonEmptyValuesOfKnownKeys) {
  const std::string huge(10000, 'd');
  ASSERT_TRUE(folder.Write(L"Galvorand.ini",
                           "; a comment\r\n"
                           "stray line without a section\r\n"
                           "[Settings]\r\n"
                           "TOVIK=t.ini\r\n"  // keys ignore case
                           "loggingLevel=trace\r\n"
                           "tovikLevel=\r\n"  // empty: the default stays
                           "not a setting at all\r\n"
                           "=no key\r\n"
                           "unknownKey=1\r\n"  // never read
                           "selfPatch = false \r\n"
                           "digestURL=" +
                               huge +
                               "\r\n"
                               "[Other]\r\n"
                               "server=stage\r\n"));
  Preferences preferences(ExePath());
  preferences.Load("loggingLevel=errors");  // the command line comes last
  EXPECT_EQ(Value(preferences, "loggingLevel"), "errors");
  EXPECT_EQ(Value(preferences, "tovikLevel"), "warnings");
  EXPECT_EQ(Value(preferences, "selfPatch"), "false");
  EXPECT_EQ(Value(preferences, "tovik"), "t.ini");
  EXPECT_EQ(Value(preferences, "server"), "https://www.galvorand.example/");
  EXPECT_EQ(preferences.values.size(), 9u);  // the table alone: no unknown key
  // A value longer than the read buffer arrives cut to what fits beside its terminator.
  EXPECT_EQ(Value(preferences, "digestURL"), huge.substr(0, 8191));
}

// The whole section is read at once; each value must come out as the one-entry call gives it.
TEST_F(PreferencesTest, IniValuesAreWhatTheOneEntryCallReads) {
  ASSERT_TRUE(folder.Write(L"Galvorand.ini",
                           "[Settings]\r\n"
                           "tovik = \"quoted.example\" \r\n"
                           "TOVIK=a second entry of a key is never read\r\n"
                           "server='single'\r\n"
                           "loggingLevel=\"unbalanced\r\n"
                           "tovikLevel=  blanks  inside  \r\n"
                           "digestURL=\"\"\r\n"
                           "updateURL=x\"y\"\r\n"));
  Preferences preferences(ExePath());
  preferences.Load("");
  const std::wstring ini = folder.PathOf(L"Galvorand.ini");
  for (const char* key : {"tovik", "server", "loggingLevel", "tovikLevel", "updateURL"}) {
    wchar_t value[256] = {};
    std::wstring wideKey(key, key + strlen(key));
    DWORD n =
        GetPrivateProfileStringW(L"Settings", wideKey.c_str(), nullptr, value, 256, ini.c_str());
    EXPECT_EQ(Value(preferences, key), std::string(value, value + n)) << key;
  }
  // Quotes around nothing leave the default.
  Preferences defaults(folder.Join("Other.exe"));
  defaults.Load("");
  EXPECT_EQ(Value(preferences, "digestURL"), Value(defaults, "digestURL"));
}

TEST_F(PreferencesTest, IniValuesAreUTF8) {
  // UTF-16 file with its byte order mark: the wide call reads it, the value comes back UTF-8.
  std::wstring ini = L"\xfeff[Settings]\r\ntovik=t\u00e9l\u00e9m\u00e9trie.example\r\n";
  ASSERT_TRUE(folder.Write(L"Galvorand.ini", std::string(reinterpret_cast<const char*>(ini.data()),
                                                         ini.size() * sizeof(wchar_t))));
  Preferences preferences(ExePath());
  preferences.Load("");
  EXPECT_EQ(Value(preferences, "tovik"), "t\xc3\xa9l\xc3\xa9m\xc3\xa9trie.example");
}

}  // namespace
