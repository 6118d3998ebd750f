#include "libs/ccutility/win/known_folder.h"

#include <objbase.h>
#include <shlobj.h>

#include "libs/ccutility/win/system_function.h"

namespace cc::win {

namespace {

constexpr wchar_t kShell32[] = L"shell32.dll";

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

}  // namespace cc::win
