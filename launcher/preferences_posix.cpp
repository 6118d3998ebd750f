// The platform part of the preferences in the host build, where the launcher's settings are
// tested: the executable's path from /proc and chdir. Ini files are Windows profile files,
// read by the system's profile functions; the host has none, so every entry reads as missing
// and the defaults and the command line decide.

#include <unistd.h>

#include <climits>

#include "launcher/preferences.h"

CCString Preferences::RunningExecutablePath() {
  char path[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", path, sizeof path);
  return length > 0 ? CCString(path, uint32_t(length)) : CCString();
}

void Preferences::ChangeCurrentDirectory(const CCString& folder) {
  if (chdir(folder.c_str()) != 0) {
    // Ignored, as on Windows: the paths derived from the executable are absolute.
  }
}

Preferences::IniEntries Preferences::ReadIniSection(const CCString& path, const char* section) {
  return {};
}
