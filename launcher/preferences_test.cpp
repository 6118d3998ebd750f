#include "launcher/preferences.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "logging/multi_logger.h"
#include "tests/support/exception_text.h"
#include "tests/support/test_folder.h"

namespace {

using gvtest::Str;

// Preferences of an executable "Galvorand.exe" in a fresh folder. Building them changes the
// current directory, which is given back afterwards.
class PreferencesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t current[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, current);
    m_previousDirectory = current;
  }
  void TearDown() override { SetCurrentDirectoryW(m_previousDirectory.c_str()); }

  CCString ExePath() const { return folder.Join("Galvorand.exe"); }
  std::string Value(Preferences& preferences, const char* key) {
    return Str(preferences.GetString(key));
  }
  // Preferences after Load with `commandLine`, with the ini files the case wrote.
  std::string Loaded(const char* commandLine, const char* key) {
    Preferences preferences(ExePath());
    preferences.Load(commandLine);
    return Value(preferences, key);
  }

  TestFolder folder{L"prefs"};

 private:
  std::wstring m_previousDirectory;
};

// (That the folder becomes the current directory shows in tests/launcher_integration.)
TEST_F(PreferencesTest, PathsComeFromTheExecutableWithoutItsLastExtension) {
  CCString exe = folder.Join("Game.Launcher.exe");
  Preferences preferences(exe);
  std::string dir = Str(folder.Path()) + "\\";
  EXPECT_EQ(Str(preferences.baseName), "Game.Launcher");
  EXPECT_EQ(Str(preferences.exeDirectory), dir);
  EXPECT_EQ(Str(preferences.appDllBase), dir + "Game.Launcher");
  EXPECT_EQ(Str(preferences.basePath), dir + "Game.Launcher");
}

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
      DeleteFileW(caseFolder.PathOf(name).c_str());
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
                           "LOGGINGLEVEL=trace\r\n"  // keys ignore case
                           "tovikLevel=\r\n"         // empty: the default stays
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
  preferences.Load("");
  EXPECT_EQ(Value(preferences, "loggingLevel"), "trace");
  EXPECT_EQ(Value(preferences, "tovikLevel"), "warnings");
  EXPECT_EQ(Value(preferences, "selfPatch"), "false");
  EXPECT_EQ(Value(preferences, "server"), "https://www.galvorand.example/");
  EXPECT_EQ(preferences.values.size(), 8u);  // the table alone: no unknown key
  // A value longer than the read buffer arrives cut to what fits beside its terminator.
  EXPECT_EQ(Value(preferences, "digestURL"), huge.substr(0, 8191));
}

TEST_F(PreferencesTest, IniValuesAreUTF8) {
  // UTF-16 file with its byte order mark: the wide call reads it, the value comes back UTF-8.
  std::wstring ini = L"\xfeff[Settings]\r\ntovik=t\u00e9l\u00e9m\u00e9trie.example\r\n";
  ASSERT_TRUE(folder.Write(L"Galvorand.ini", std::string(reinterpret_cast<const char*>(ini.data()),
                                                         ini.size() * sizeof(wchar_t))));
  EXPECT_EQ(Loaded("", "tovik"), "t\xc3\xa9l\xc3\xa9m\xc3\xa9trie.example");
}

TEST_F(PreferencesTest, CommandLineWordsOverrideAndAddKeys) {
  ASSERT_TRUE(folder.Write(L"Galvorand.ini", "[Settings]\nloggingLevel=verbose\nselfPatch=true\n"));
  const struct {
    const char* commandLine;
    const char* key;
    const char* value;
  } kCases[] = {
      {"LOGGINGLEVEL=errors", "loggingLevel", "errors"},
      {"a=b=c", "a", "b=c"},
      {"   padded=1   ", "padded", "1"},
      {"tab=\t1\t", "tab", "1"},
      {"tovik=", "tovik", ""},
      {"\"quoted=a b\"", "\"quoted", "a"},
      {"Twice=1 twICE=2", "TWICE", "2"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.commandLine);
    EXPECT_EQ(Loaded(c.commandLine, c.key), c.value);
  }

  Preferences preferences(ExePath());
  preferences.Load("word alone=1 bare b\"=\"");
  EXPECT_EQ(Value(preferences, "alone"), "1");
  EXPECT_EQ(preferences.values.size(), 10u);  // the table plus "alone" and 'b"', no bare word
}

TEST_F(PreferencesTest, UrlOrServerDecidesTheUpdateAddress) {
  const struct {
    const char* commandLine;
    const char* url;
    const char* updateURL;
  } kCases[] = {
      {"", "", "http://www.galvorand.example/static/plugin/ActionVersion.txt"},
      {"updateURL=http://u.example/v.txt server=stage", "", "http://u.example/v.txt"},
      {"url=example", "http://example", ""},
      {"url=https://x.example/ server=stage", "https://x.example/", ""},
      {"url=HTTP://x.example/", "http://HTTP://x.example/", ""},
      {"url=example updateURL=http://u.example/", "http://example", "http://u.example/"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.commandLine);
    Preferences preferences(ExePath());
    preferences.Load(c.commandLine);
    EXPECT_EQ(Value(preferences, "url"), c.url);
    EXPECT_EQ(Value(preferences, "updateURL"), c.updateURL);
  }
}

TEST_F(PreferencesTest, LevelNamesFallBackAndSelfPatchNeedsExactlyTrue) {
  const struct {
    const char* commandLine;
    int loggingLevel;
    int tovikLevel;
    bool selfPatch;
  } kCases[] = {
      {"loggingLevel=trace tovikLevel=errors", 0, 7, true},
      {"loggingLevel=error tovikLevel=warning selfPatch=TRUE", 2, 4, false},
      {"selfPatch=true1", 3, 4, false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.commandLine);
    Preferences preferences(ExePath());
    preferences.Load(c.commandLine);
    EXPECT_EQ(preferences.GetLoggingLevel(), c.loggingLevel);
    EXPECT_EQ(preferences.GetTovikLevel(), c.tovikLevel);
    EXPECT_EQ(preferences.IsSelfPatchEnabled(), c.selfPatch);
  }
}

// Collects the formatted text of each message it accepts.
class CollectingSink : public LogInterface {
 public:
  CollectingSink() : LogInterface(0) {}
  // The source line is left out: it moves with every edit of the file.
  void Write(int level, int line, const char* file, const char* text) override {
    messages.push_back(std::to_string(level) + " " + file + " " + text);
  }
  void WriteFormatted(int level, int line, const char* file, const char* format,
                      va_list args) override {
    char text[1024];
    vsnprintf(text, sizeof text, format, args);
    Write(level, line, file, text);
  }
  std::vector<std::string> messages;
};

TEST_F(PreferencesTest, UnknownKeyGivesEmptyTextAndAWarning) {
  CCSharedPtr<MultiLogger> logger(new MultiLogger());
  CCSharedPtr<CollectingSink> sink(new CollectingSink());
  logger->Add(sink);
  MultiLogger* previous = g_mainLogger;
  g_mainLogger = logger.Get();

  Preferences preferences(ExePath());
  EXPECT_EQ(Value(preferences, "noSuchKey"), "");
  EXPECT_EQ(Value(preferences, "SELFPATCH"), "true");  // known, in other capitals: no warning
  g_mainLogger = previous;

  ASSERT_EQ(sink->messages.size(), 1u);
  EXPECT_EQ(sink->messages[0],
            "5 Preferences Could not find the preferences key 'noSuchKey'. Was it "
            "initialized in InitializePreferencesMap()?");
  // Asking did not add the key.
  EXPECT_EQ(preferences.values.count("noSuchKey"), 0u);
}

TEST(PreferencesServer, NamesResolveExactlyAndTheUpdateAddressUsesPlainHttp) {
  const struct {
    const char* server;
    const char* resolved;
    const char* updateURL;
  } kCases[] = {
      {"live", "https://www.galvorand.example/",
       "http://www.galvorand.example/static/plugin/ActionVersion.txt"},
      {"stage", "https://stage.galvorand.example/",
       "http://stage.galvorand.example/static/plugin/ActionVersion.txt"},
      {"Live", "Live", "http://vestatic/plugin/ActionVersion.txt"},
      {"ftp://files.example/", "ftp://files.example/",
       "http://files.example/static/plugin/ActionVersion.txt"},
      {"host/path/", "host/path/", "http://ath/static/plugin/ActionVersion.txt"},
      {"", "", "http://static/plugin/ActionVersion.txt"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.server);
    CCString resolved = ResolveServerName(c.server);
    EXPECT_EQ(Str(resolved), c.resolved);
    EXPECT_EQ(Str(DeriveUpdateURL(resolved)), c.updateURL);
  }
  // The comparison is exact even for a string that otherwise ignores case.
  CCString caseless("LIVE");
  caseless.SetFlags(CCString::kIgnoreCase);
  EXPECT_EQ(Str(ResolveServerName(caseless)), "LIVE");
}

}  // namespace
