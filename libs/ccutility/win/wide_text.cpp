#include "libs/ccutility/win/wide_text.h"

#include <windows.h>

#include <climits>

namespace cc::win {

std::wstring Wide(std::string_view utf8) {
  if (utf8.empty() || utf8.size() > size_t(INT_MAX))
    return std::wstring();
  const int length = int(utf8.size());
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), length, nullptr, 0);
  if (n <= 0)
    return std::wstring();
  std::wstring wide(size_t(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), length, wide.data(), n);
  return wide;
}

std::string Utf8(std::wstring_view wide) {
  if (wide.empty() || wide.size() > size_t(INT_MAX))
    return std::string();
  const int length = int(wide.size());
  int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
  if (n <= 0)
    return std::string();
  std::string utf8(size_t(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, utf8.data(), n, nullptr, nullptr);
  return utf8;
}

namespace {

uint32_t WideToNarrow(UINT codePage, const wchar_t* text, char* buffer, uint32_t capacity) {
  if (!capacity)
    return 0;
  const int room = capacity > uint32_t(INT_MAX) ? INT_MAX : int(capacity);
  int n = text ? WideCharToMultiByte(codePage, 0, text, -1, buffer, room, nullptr, nullptr) : 0;
  if (n <= 0) {
    buffer[0] = '\0';
    return 0;
  }
  return uint32_t(n - 1);
}

}  // namespace

uint32_t WideToAnsi(const wchar_t* text, char* buffer, uint32_t capacity) {
  return WideToNarrow(CP_ACP, text, buffer, capacity);
}

uint32_t WideToUtf8(const wchar_t* text, char* buffer, uint32_t capacity) {
  return WideToNarrow(CP_UTF8, text, buffer, capacity);
}

uint32_t Utf8ToWide(const char* text, wchar_t* buffer, uint32_t capacity) {
  if (!capacity)
    return 0;
  const int room = capacity > uint32_t(INT_MAX) ? INT_MAX : int(capacity);
  int n = text ? MultiByteToWideChar(CP_UTF8, 0, text, -1, buffer, room) : 0;
  if (n <= 0) {
    buffer[0] = L'\0';
    return 0;
  }
  return uint32_t(n - 1);
}

}  // namespace cc::win
