#include "plugin/shell_calls_win.h"

#include <shlobj.h>

namespace ShellCalls {

namespace {

// The named export of `dll`, loaded for the rest of the process; null when either is missing.
template <class Function>
Function Bind(const wchar_t* dll, const char* name) {
  HMODULE module = LoadLibraryW(dll);
  if (!module)
    return nullptr;
  // Through a plain function pointer type: the two function pointer types do not match.
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

}  // namespace

// Each binding is made once, by the first caller (function-local statics).
#define GV_BOUND(dll, function) \
  static const auto bound = Bind<decltype(&::function)>(dll, #function)

HRESULT CoInitialize(LPVOID reserved) {
  GV_BOUND(L"ole32.dll", CoInitialize);
  return bound ? bound(reserved) : E_NOTIMPL;
}

void CoUninitialize() {
  GV_BOUND(L"ole32.dll", CoUninitialize);
  if (bound)
    bound();
}

HRESULT CoCreateInstance(REFCLSID classId,
                         LPUNKNOWN outer,
                         DWORD context,
                         REFIID interfaceId,
                         LPVOID* object) {
  GV_BOUND(L"ole32.dll", CoCreateInstance);
  return bound ? bound(classId, outer, context, interfaceId, object) : E_NOTIMPL;
}

void CoTaskMemFree(LPVOID memory) {
  GV_BOUND(L"ole32.dll", CoTaskMemFree);
  if (bound)
    bound(memory);
}

HRESULT SHGetFolderPathW(HWND owner, int folder, HANDLE token, DWORD flags, LPWSTR path) {
  GV_BOUND(L"shell32.dll", SHGetFolderPathW);
  return bound ? bound(owner, folder, token, flags, path) : E_NOTIMPL;
}

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
  GV_BOUND(L"user32.dll", MessageBoxA);
  return bound ? bound(owner, text, caption, type) : 0;
}

#undef GV_BOUND

}  // namespace ShellCalls
