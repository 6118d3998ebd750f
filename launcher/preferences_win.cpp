#include <windows.h>

#include <cwctype>
#include <vector>

#include "launcher/preferences.h"
#include "launcher/text/text_helpers.h"

namespace {

// Read buffers, in wide characters: module paths, values (with their terminator) and whole
// sections.
constexpr DWORD kPathBufferLength = 8192;
constexpr DWORD kIniValueLength = 8192;
constexpr DWORD kSectionBufferLength = 16384;
constexpr DWORD kMaxSectionBufferLength = 16384 * 64;

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

Preferences::IniEntries Preferences::ReadIniSection(const CCString& path, const char* section) {
  CCWideString widePath = ToWide(path);
  CCWideString wideSection = ToWide(section);
  // The whole section: "key=value" texts one after the other, each ending in a zero, the last
  // followed by another. An answer of the size less two did not fit.
  std::vector<wchar_t> text;
  DWORD length = 0;
  for (DWORD size = kSectionBufferLength; size <= kMaxSectionBufferLength; size *= 4) {
    text.assign(size, L'\0');
    length = GetPrivateProfileSectionW(wideSection.c_str(), text.data(), size, widePath.c_str());
    if (length + 2 < size)
      break;
  }
  IniEntries entries;
  for (const wchar_t* line = text.data(); line < text.data() + length && *line;
       line += wcslen(line) + 1) {
    const wchar_t* equals = wcschr(line, L'=');
    if (!equals)
      continue;
    const wchar_t* value = equals + 1;
    size_t valueLength = wcslen(value);
    while (valueLength && iswspace(value[valueLength - 1]))
      --valueLength;
    while (valueLength && iswspace(*value)) {
      ++value;
      --valueLength;
    }
    if (valueLength >= 2 && (value[0] == L'"' || value[0] == L'\'') &&
        value[valueLength - 1] == value[0]) {
      ++value;
      valueLength -= 2;
    }
    if (valueLength >= kIniValueLength)
      valueLength = kIniValueLength - 1;
    CCString key = ToUTF8(line, int(equals - line));
    key.Trim();
    entries.emplace_back(key, ToUTF8(value, int(valueLength)));
  }
  return entries;
}
