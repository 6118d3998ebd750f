#include "tests/launcher_integration/test_folder.h"

#include <windows.h>

#include <atomic>
#include <vector>

std::wstring WindowsPathOfBuildFile(const char* path) {
  std::wstring result = Widen(path);
  for (wchar_t& c : result) {
    if (c == L'/')
      c = L'\\';
  }
  if (!result.empty() && result[0] == L'\\')
    result = L"Z:" + result;
  return result;
}

std::wstring Widen(const std::string& utf8) {
  if (utf8.empty())
    return std::wstring();
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
  std::wstring wide(size_t(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), wide.data(), n);
  return wide;
}

std::string Narrow(const std::wstring& wide) {
  if (wide.empty())
    return std::string();
  int n =
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), nullptr, 0, nullptr, nullptr);
  std::string utf8(size_t(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), utf8.data(), n, nullptr, nullptr);
  return utf8;
}

TestFolder::TestFolder(const std::wstring& label) {
  static std::atomic<unsigned> s_serial{0};
  wchar_t temp[MAX_PATH + 1] = {};
  DWORD n = GetTempPathW(MAX_PATH + 1, temp);
  std::wstring base(temp, n);
  if (!base.empty() && base.back() == L'\\')
    base.pop_back();
  // Process id, tick count and a serial number: unique within and across test processes.
  for (;;) {
    m_path = base + L"\\gv-" + label + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
             std::to_wstring(GetTickCount()) + L"-" + std::to_wstring(++s_serial);
    if (CreateDirectoryW(m_path.c_str(), nullptr))
      break;
    if (GetLastError() != ERROR_ALREADY_EXISTS) {
      m_path.clear();
      break;
    }
  }
}

TestFolder::~TestFolder() {
  if (!m_path.empty())
    RemoveFolderTree(m_path);
}

bool TestFolder::Write(const std::wstring& name, const std::string& bytes) const {
  return WriteWholeFile(PathOf(name), bytes);
}

std::string TestFolder::Read(const std::wstring& name, const std::string& missing) const {
  return ReadWholeFile(PathOf(name), missing);
}

bool TestFolder::Exists(const std::wstring& name) const {
  return GetFileAttributesW(PathOf(name).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool TestFolder::CopyIn(const std::wstring& source, const std::wstring& name) const {
  return CopyFileW(source.c_str(), PathOf(name).c_str(), FALSE) != 0;
}

std::string ReadWholeFile(const std::wstring& path, const std::string& missing) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return missing;
  std::string content;
  char chunk[65536];
  DWORD got = 0;
  while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0)
    content.append(chunk, got);
  CloseHandle(file);
  return content;
}

bool WriteWholeFile(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return false;
  DWORD written = 0;
  bool ok =
      bytes.empty() || (WriteFile(file, bytes.data(), DWORD(bytes.size()), &written, nullptr) &&
                        written == bytes.size());
  CloseHandle(file);
  return ok;
}

void RemoveFolderTree(const std::wstring& path) {
  WIN32_FIND_DATAW entry;
  HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &entry);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = entry.cFileName;
      if (name == L"." || name == L"..")
        continue;
      std::wstring child = path + L"\\" + name;
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveFolderTree(child);
      } else {
        SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(child.c_str());
      }
    } while (FindNextFileW(search, &entry));
    FindClose(search);
  }
  SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  RemoveDirectoryW(path.c_str());
}
