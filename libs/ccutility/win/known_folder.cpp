#include "libs/ccutility/win/known_folder.h"

#include <objbase.h>
#include <shlobj.h>

#include "libs/ccutility/win/system_function.h"

namespace cc::win {

namespace {

constexpr wchar_t kShell32[] = L"shell32.dll";
constexpr wchar_t kUserShellFolders[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
constexpr DWORD kMaxEntryBytes = 4096;

constinit SystemFunction<decltype(&::CoTaskMemFree)> g_coTaskMemFree{L"ole32.dll", "CoTaskMemFree"};
constinit SystemFunction<decltype(&::SHGetKnownFolderPath)> g_knownFolderPath{
    kShell32, "SHGetKnownFolderPath"};
constinit SystemFunction<decltype(&::SHGetFolderPathW)> g_folderPath{kShell32, "SHGetFolderPathW"};

}  // namespace

void FreeTaskMemory(void* block) noexcept {
  if (block && g_coTaskMemFree)
    g_coTaskMemFree(block);
}

std::optional<std::wstring> KnownFolderPath(const GUID& folder, DWORD flags) {
  if (!g_knownFolderPath)
    return std::nullopt;
  ScopedShellText path;
  if (FAILED(g_knownFolderPath(folder, flags, nullptr, path.Receive())) || !path)
    return std::nullopt;
  return std::wstring(path.Get());
}

std::optional<std::wstring> ShellFolderPath(int csidl) {
  wchar_t path[MAX_PATH] = {};
  if (!g_folderPath || FAILED(g_folderPath(nullptr, csidl, nullptr, 0, path)))
    return std::nullopt;
  return std::wstring(path);
}

std::optional<std::wstring> FolderPath(const GUID& folder, DWORD flags, int csidl) {
  if (std::optional<std::wstring> known = KnownFolderPath(folder, flags))
    return known;
  return ShellFolderPath(csidl);
}

std::optional<std::wstring> UserShellFolderPath(const wchar_t* name) {
  HKEY raw = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kUserShellFolders, 0, KEY_QUERY_VALUE, &raw) !=
      ERROR_SUCCESS)
    return std::nullopt;
  ScopedKey key(raw);
  wchar_t entry[kMaxEntryBytes / sizeof(wchar_t) + 1] = {};
  DWORD type = 0, size = kMaxEntryBytes;
  if (RegQueryValueExW(key.Get(), name, nullptr, &type, reinterpret_cast<BYTE*>(entry), &size) !=
          ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ))
    return std::nullopt;
  entry[size / sizeof(wchar_t)] = L'\0';  // stored texts need not be terminated
  wchar_t path[MAX_PATH] = {};
  const DWORD expanded = ExpandEnvironmentStringsW(entry, path, MAX_PATH);
  if (expanded == 0 || expanded > MAX_PATH)
    return std::nullopt;
  // A full path: a drive and its separator, or a network share; "%VAR%" left unexpanded is
  // neither.
  const bool full = (path[0] && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/')) ||
                    (path[0] == L'\\' && path[1] == L'\\');
  const DWORD attributes = full ? GetFileAttributesW(path) : INVALID_FILE_ATTRIBUTES;
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
    return std::nullopt;
  std::wstring folder(path);
  while (folder.size() > 3 && (folder.back() == L'\\' || folder.back() == L'/'))
    folder.pop_back();
  return folder;
}

}  // namespace cc::win
