#pragma once

#include <windows.h>

#include <objbase.h>

// The COM, shell and window calls of the self-update and the per-user folders, bound by name
// on first use. Imported, ole32, shell32 and user32 would be loaded and started in every
// launch (a large part of the start-up time, under Wine most of all), while only a plug-in
// check or update needs them. Each answers what the system call answers, or a failure
// (E_NOTIMPL, 0, nothing) when the DLL or the function is missing. Thread-safe.
namespace ShellCalls {

HRESULT CoInitialize(LPVOID reserved);
void CoUninitialize();
HRESULT CoCreateInstance(REFCLSID classId,
                         LPUNKNOWN outer,
                         DWORD context,
                         REFIID interfaceId,
                         LPVOID* object);
void CoTaskMemFree(LPVOID memory);
HRESULT SHGetFolderPathW(HWND owner, int folder, HANDLE token, DWORD flags, LPWSTR path);
int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);

}  // namespace ShellCalls
