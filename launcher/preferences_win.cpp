#include <windows.h>

#include <vector>

#include "launcher/preferences.h"
#include "launcher/text/text_helpers.h"

namespace {

// Read buffers, in wide characters: module paths and single ini values.
constexpr DWORD kPathBufferLength = 8192;
constexpr DWORD kIniValueLength = 8192;

}  // namespace

CCString Preferences::RunningExecutablePath() {
  std::vector<wchar_t> path(kPathBufferLength, L'\0');
  DWORD length = GetModuleFileNameW(nullptr, path.data(), kPathBufferLength);
  if (length >= kPathBufferLength)
    length = kPathBufferLength - 1;
  return ToUTF8(path.data(), int(length));
}

void Preferences::ChangeCurrentDirectory(const CCString& folder) {
  CCWideString wide = ToWide(folder);
  SetCurrentDirectoryW(wide.c_str());
}

CCString Preferences::ReadIniEntry(const CCString& path, const char* section, const CCString& key) {
  std::vector<wchar_t> value(kIniValueLength, L'\0');
  CCWideString widePath = ToWide(path);
  CCWideString wideSection = ToWide(section);
  CCWideString wideKey = ToWide(key);
  // An empty key would ask for the list of every key of the section: never a value.
  if (wideKey.IsEmpty())
    return CCString();
  DWORD length = GetPrivateProfileStringW(wideSection.c_str(), wideKey.c_str(), nullptr,
                                          value.data(), kIniValueLength, widePath.c_str());
  if (length == 0)
    return CCString();
  return ToUTF8(value.data(), int(length));
}
