#include <windows.h>

#include "launcher/dllholder/dll_holder.h"
#include "launcher/text/text_helpers.h"

void* DLLHolder::OpenModule(const CCString& normalizedPath) {
  // The DLL's own folder comes first when its dependencies are searched. Plain ASCII paths
  // go through the narrow call exactly as given; anything else is UTF-8 and goes wide.
  if (IsNonAsciiUTF8(normalizedPath)) {
    CCWideString wide = ToWide(normalizedPath);
    return LoadLibraryExW(wide.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  }
  return LoadLibraryExA(normalizedPath.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

void DLLHolder::CloseModule(void* module) {
  FreeLibrary(static_cast<HMODULE>(module));
}

void* DLLHolder::FindExport(void* module, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}

uint32_t DLLHolder::SystemErrorCode() {
  return GetLastError();
}
