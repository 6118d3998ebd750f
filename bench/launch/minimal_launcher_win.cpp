// The launch benchmark's peer: the least a launcher can do. Loads "Galvorand.dll" from its
// own folder and hands the process to SL_Launch2 with the entry's own arguments, nothing
// else: no preferences, no log, no version check.
#include <windows.h>

#include <cstdint>
#include <string>

#include "launcher/sl_holder.h"
#include "libs/ccutility/win/win_handles.h"

int WINAPI WinMain(HINSTANCE instance,
                   HINSTANCE previousInstance,
                   LPSTR commandLine,
                   int showCommand) {
  wchar_t exePath[MAX_PATH] = {};
  DWORD length = GetModuleFileNameW(nullptr, exePath, MAX_PATH);
  std::wstring dllPath(exePath, length);
  dllPath.erase(dllPath.rfind(L'\\') + 1);
  dllPath += L"Galvorand.dll";
  cc::win::ScopedModule dll(
      LoadLibraryExW(dllPath.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
  if (!dll)
    return -4;
  auto launch = reinterpret_cast<SL::Launch2Function>(
      reinterpret_cast<void*>(GetProcAddress(dll.Get(), "SL_Launch2")));
  return launch ? launch(instance, previousInstance, commandLine, showCommand, "4.0.0.320", 0) : -6;
}
