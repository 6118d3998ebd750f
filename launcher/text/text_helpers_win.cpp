#include <windows.h>

#include "launcher/text/text_helpers.h"

CCString ToUTF8(const CCWideChar* text, int length) {
  if (!text || length == 0)
    return CCString();
  if (length < 0)
    length = int(wcslen(text));
  if (length == 0)
    return CCString();
  int n = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  if (n <= 0)
    return CCString();
  CCString result;
  char* data = result.Resize(uint32_t(n));
  WideCharToMultiByte(CP_UTF8, 0, text, length, data, n, nullptr, nullptr);
  return result;
}

CCWideString ToWide(const CCString& text) {
  if (text.IsEmpty())
    return CCWideString();
  int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), int(text.Length()), nullptr, 0);
  if (n <= 0)
    return CCWideString();
  wchar_t small[260];
  wchar_t* out = n <= 260 ? small : new wchar_t[n];
  MultiByteToWideChar(CP_UTF8, 0, text.c_str(), int(text.Length()), out, n);
  CCWideString result(out, uint32_t(n));
  if (out != small)
    delete[] out;
  return result;
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
