#include <windows.h>

#include <string>

#include "launcher/text/text_helpers.h"
#include "libs/ccutility/win/wide_text.h"

CCString ToUTF8(const CCWideChar* text, int length) {
  if (!text || length == 0)
    return CCString();
  std::string utf8 =
      cc::win::Utf8(length < 0 ? std::wstring_view(text) : std::wstring_view(text, size_t(length)));
  return CCString(utf8.data(), utf8.size());
}

CCWideString ToWide(const CCString& text) {
  std::wstring wide = cc::win::Wide(std::string_view(text.c_str(), text.Length()));
  return wide.empty() ? CCWideString() : CCWideString(wide.data(), uint32_t(wide.size()));
}

int GetOSMajorVersion() {
  static int s_major = -1;
  if (s_major < 0) {
    OSVERSIONINFOA info = {};
    info.dwOSVersionInfoSize = sizeof info;
    // Deprecated but exactly what is wanted: the version the process is told it runs on.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    s_major = GetVersionExA(&info) ? int(info.dwMajorVersion) : 0;
#pragma GCC diagnostic pop
  }
  return s_major;
}
