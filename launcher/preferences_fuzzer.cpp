// Fuzz target: the launcher's command line, read over the preference table of an executable
// in a folder that does not exist (so no ini file is found). Every word is taken or skipped,
// and the addresses are always completed: a page address is an "http" one, and without one
// the plug-in update address is set.
#include <cstddef>
#include <cstdint>

#include "launcher/preferences.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Preferences preferences("Z:\\no such folder\\Galvorand.exe");
  preferences.InitializePreferencesMap();
  preferences.Load(CCString(reinterpret_cast<const char*>(data), uint32_t(size)));
  CCString url = preferences.GetString("url");
  if (url.IsEmpty() ? preferences.GetString("updateURL").IsEmpty() : !url.StartsWith("http"))
    __builtin_trap();
  if (preferences.values.size() < 8)
    __builtin_trap();  // the table's keys are never lost
  preferences.GetLoggingLevel();
  preferences.GetTovikLevel();
  preferences.IsSelfPatchEnabled();
  return 0;
}
