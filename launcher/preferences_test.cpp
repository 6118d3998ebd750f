// The preferences apart from the ini files (preferences_win_test.cpp): paths, command line,
// addresses, levels and the unknown-key warning. No ini file is found here, so the table's
// defaults and the command line decide.
#include "launcher/preferences.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "logging/multi_logger.h"
#include "tests/support/exception_text.h"

namespace {

using gvtest::Str;

// An executable in a folder that does not exist: making it the current directory fails
// quietly (the test keeps its own) and there is no ini file beside it.
const char kExe[] = "Z:\\no such folder\\Galvorand.exe";

std::string Value(const Preferences& preferences, const char* key) {
  return Str(preferences.GetString(key));
}

TEST(Preferences, PathsComeFromTheExecutableWithoutItsLastExtension) {
  Preferences preferences("Z:\\no such folder\\Game.Launcher.exe");
  EXPECT_EQ(Str(preferences.baseName), "Game.Launcher");
  EXPECT_EQ(Str(preferences.exeDirectory), "Z:\\no such folder\\");
  EXPECT_EQ(Str(preferences.appDllBase), "Z:\\no such folder\\Game.Launcher");
  EXPECT_EQ(Str(preferences.basePath), "Z:\\no such folder\\Game.Launcher");
}

TEST(Preferences, CommandLineWordsOverrideAndAddKeys) {
  const std::string nul(1, '\0');
  const std::string huge(1 << 20, 'h');
  const struct {
    std::string commandLine;
    std::string key;
    std::string value;
  } kCases[] = {
      {"LOGGINGLEVEL=errors", "loggingLevel", "errors"},
      {"a=b=c", "a", "b=c"},
      {"   padded=1   ", "padded", "1"},
      {"tab=\t1\t", "tab", "1"},
      {"tovik=", "tovik", ""},
      {"\"quoted=a b\"", "\"quoted", "a"},
      {"Twice=1 twICE=2", "TWICE", "2"},
      {"", "selfPatch", "true"},
      {"=1", "", "1"},
      // Only blanks part words: line ends are trimmed off its ends, not split at.
      {"\r\nkey\r\n=\r\nv\r\n", "key", "v"},
      {"a=1\r\nb=2", "a", "1\r\nb=2"},
      {"\xff\xfe=\x80 nul=a" + nul + "b", "\xff\xfe", "\x80"},
      {"\xff\xfe=\x80 nul=a" + nul + "b", "nul", "a" + nul + "b"},
      {"digestURL=" + huge, "digestURL", huge},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::PrintToString(c.commandLine.substr(0, 40)));
    Preferences preferences(kExe);
    preferences.Load(CCString(c.commandLine.data(), uint32_t(c.commandLine.size())));
    EXPECT_EQ(Str(preferences.GetString(CCString(c.key.data(), uint32_t(c.key.size())))), c.value);
  }

  Preferences preferences(kExe);
  preferences.Load("word alone=1 bare b\"=\"");
  EXPECT_EQ(Value(preferences, "alone"), "1");
  EXPECT_EQ(preferences.values.size(), 11u);  // the table plus "alone" and 'b"', no bare word
}

TEST(Preferences, UrlOrServerDecidesTheUpdateAddress) {
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
    Preferences preferences(kExe);
    preferences.Load(c.commandLine);
    EXPECT_EQ(Value(preferences, "url"), c.url);
    EXPECT_EQ(Value(preferences, "updateURL"), c.updateURL);
  }
}

TEST(Preferences, LevelsSelfPatchAndUpdateTimeLimitFallBackToTheirDefaults) {
  const struct {
    const char* commandLine;
    int loggingLevel;
    int tovikLevel;
    bool selfPatch;
    uint32_t updateTimeLimit = 60;
  } kCases[] = {
      {"loggingLevel=trace tovikLevel=errors updateTimeLimit=10", 0, 7, true, 10},
      {"loggingLevel=error tovikLevel=warning selfPatch=TRUE updateTimeLimit=0", 2, 4, false},
      {"selfPatch=true1 updateTimeLimit=10s", 3, 4, false},
      {"updateTimeLimit=99999999999", 3, 4, true},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.commandLine);
    Preferences preferences(kExe);
    preferences.Load(c.commandLine);
    EXPECT_EQ(preferences.GetLoggingLevel(), c.loggingLevel);
    EXPECT_EQ(preferences.GetTovikLevel(), c.tovikLevel);
    EXPECT_EQ(preferences.IsSelfPatchEnabled(), c.selfPatch);
    EXPECT_EQ(preferences.GetUpdateTimeLimitSeconds(), c.updateTimeLimit);
  }
}

// Collects the formatted text of each message it accepts.
class CollectingSink : public LogInterface {
 public:
  CollectingSink() : LogInterface(0) {}
  // The source line is left out: it moves with every edit of the file.
  void Write(int messageLevel, int line, const char* file, const char* text) override {
    messages.push_back(std::to_string(messageLevel) + " " + file + " " + text);
  }
  void WriteFormatted(int messageLevel,
                      int line,
                      const char* file,
                      const char* format,
                      va_list args) override {
    char text[1024];
    vsnprintf(text, sizeof text, format, args);
    Write(messageLevel, line, file, text);
  }
  std::vector<std::string> messages;
};

TEST(Preferences, UnknownKeyGivesEmptyTextAndAWarning) {
  CCSharedPtr<MultiLogger> logger(new MultiLogger());
  CCSharedPtr<CollectingSink> sink(new CollectingSink());
  logger->Add(sink);
  MultiLogger* previous = g_mainLogger;
  g_mainLogger = logger.Get();

  Preferences preferences(kExe);
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
