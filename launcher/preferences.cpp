#include "launcher/preferences.h"

#include "launcher/pathutil/path_util.h"
#include "logging/log_interface.h"
#include "logging/multi_logger.h"

namespace {

// The publisher's servers. Reserved names only: a default that slips into a test or a demo
// reaches nobody.
constexpr char kLiveServer[] = "https://www.galvorand.example/";
constexpr char kStageServer[] = "https://stage.galvorand.example/";

struct PreferenceDefault {
  const char* key;
  const char* value;
};

// Every key the launcher knows, in the order the map is filled; ends at a null key.
constexpr PreferenceDefault kDefaults[] = {
    {"tovik", "tovik.galvorand.example"},
    {"loggingLevel", "major"},
    {"tovikLevel", "warnings"},
    {"url", ""},
    {"updateURL", ""},
    {"server", kLiveServer},
    {"digestURL", "http://www.galvorand.example/static/gv/digest/Galvorand.wox"},
    {"selfPatch", "true"},
    {"updateTimeLimit", "60"},
    {nullptr, nullptr},
};

constexpr char kSettingsSection[] = "Settings";
constexpr char kUpdatePath[] = "static/plugin/ActionVersion.txt";

CCString MakeKey(const CCString& text) {
  CCString key(text.c_str(), text.Length());
  key.SetFlags(CCString::kIgnoreCase);
  return key;
}

}  // namespace

Preferences::Preferences() : Preferences(RunningExecutablePath()) {}

Preferences::Preferences(const CCString& exePath) {
  DerivePaths(exePath);
  ChangeCurrentDirectory(exeDirectory);
  InitializePreferencesMap();
}

void Preferences::DerivePaths(const CCString& exePath) {
  baseName = PathUtil::GetBaseName(exePath);
  exeDirectory = PathUtil::GetDirectoryPart(exePath);
  appDllBase = PathUtil::JoinPath(exeDirectory, baseName);
  basePath = PathUtil::JoinPath(exeDirectory, baseName);
}

void Preferences::InitializePreferencesMap() {
  values.clear();
  for (const PreferenceDefault* entry = kDefaults; entry->key; ++entry)
    values[MakeKey(entry->key)] = CCString(entry->value);
}

void Preferences::Load(const CCString& commandLine) {
  iniPath = basePath + "-internal.ini";
  if (!PathUtil::FileExists(iniPath))
    iniPath = basePath + ".ini";
  ReadIniFile(iniPath);

  CCString userIni = basePath + "-user.ini";
  if (PathUtil::FileExists(userIni))
    ReadIniFile(userIni);

  // Blank-separated key=value words; quotes mean nothing, so no value holds a blank. Words
  // without "=" (and the empty words of doubled blanks) are skipped.
  CCString rest(commandLine.c_str(), commandLine.Length());
  while (!rest.IsEmpty()) {
    CCString word = rest.SplitOff(" ");
    char separator = '\0';
    CCString key = word.SplitOff("=", &separator);
    if (separator != '=')
      continue;
    key.Trim();
    word.Trim();
    Set(key) = word;
  }

  CCString url = GetString("url");
  CCString updateURL = GetString("updateURL");
  if (!url.IsEmpty()) {
    // An explicit page address wins; "updateURL" is then left as it stands.
    if (!url.StartsWith("http"))
      Set("url") = CCString("http://") + url.c_str();
    return;
  }
  if (!updateURL.IsEmpty())
    return;
  Set("updateURL") = DeriveUpdateURL(ResolveServerName(GetString("server")));
}

void Preferences::ReadIniFile(const CCString& path) {
  if (path.IsEmpty() || !PathUtil::FileExists(path))
    return;
  // Only keys the launcher knows count, each by its first entry (as a look-up of that key
  // would find it); anything else in the file is skipped.
  ValueMap seen;
  for (auto& [name, found] : ReadIniSection(path, kSettingsSection)) {
    CCString key = MakeKey(name);
    auto known = values.find(key);
    if (known == values.end() || !seen.emplace(key, CCString()).second)
      continue;
    if (!found.IsEmpty())
      known->second = found;
  }
}

CCString Preferences::GetString(const CCString& key) const {
  auto it = values.find(MakeKey(key));
  if (it != values.end())
    return it->second;
  if (g_mainLogger) {
    g_mainLogger->LogF(kLogStartupWarning, 324, "Preferences",
                       "Could not find the preferences key '%s'. Was it initialized in "
                       "InitializePreferencesMap()?",
                       key.c_str());
  }
  return CCString();
}

CCString& Preferences::Set(const CCString& key) {
  return values[MakeKey(key)];
}

int Preferences::GetLoggingLevel() const {
  return ParseLogLevel(GetString("loggingLevel"), 2);
}

int Preferences::GetTovikLevel() const {
  return ParseLogLevel(GetString("tovikLevel"), 4);
}

uint32_t Preferences::GetUpdateTimeLimitSeconds() const {
  CCString text = GetString("updateTimeLimit");
  text.Trim();
  uint32_t seconds = 0;
  for (uint32_t i = 0; i < text.Length(); ++i) {
    const char c = text.c_str()[i];
    if (c < '0' || c > '9' || seconds > kMaxUpdateTimeLimitSeconds)
      return kDefaultUpdateTimeLimitSeconds;
    seconds = seconds * 10 + uint32_t(c - '0');
  }
  if (seconds == 0 || seconds > kMaxUpdateTimeLimitSeconds)
    return kDefaultUpdateTimeLimitSeconds;
  return seconds;
}

bool Preferences::IsSelfPatchEnabled() const {
  CCString value = GetString("selfPatch");
  value.SetFlags(0);
  return value == "true";
}

CCString ResolveServerName(const CCString& server) {
  CCString exact(server.c_str(), server.Length());
  if (exact == "live")
    return kLiveServer;
  if (exact == "stage")
    return kStageServer;
  return server;
}

CCString DeriveUpdateURL(const CCString& server) {
  // Skip the scheme's "//": the first "/" and the character after it.
  int slash = server.FindFirstOf("/");
  int hostStart = slash == CCString::kNotFound ? 2 : slash + 2;
  CCString updateURL("http://");
  updateURL += server.Substring(hostStart);
  updateURL += kUpdatePath;
  return updateURL;
}
