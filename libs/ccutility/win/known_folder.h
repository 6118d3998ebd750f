#pragma once

// The shell's per-user folders. shell32 and ole32 are bound at run time, so they are loaded
// only when a folder is asked for.

#include <windows.h>

#include <optional>
#include <string>

#include "libs/ccutility/win/win_handles.h"

namespace cc::win {

// Gives a block of the COM task allocator back (CoTaskMemFree, bound at run time from ole32).
void FreeTaskMemory(void* block) noexcept;

// A text the shell allocated for its caller, such as SHGetKnownFolderPath's answer.
struct ShellTextTraits {
  using Handle = wchar_t*;
  static bool IsValid(Handle text) { return text != nullptr; }
  static void Close(Handle text) { FreeTaskMemory(text); }
};
using ScopedShellText = ScopedGeneric<ShellTextTraits>;

// A known folder's path through SHGetKnownFolderPath (no token; `flags` are KF_FLAG_*). None
// when shell32 lacks the call (systems before 6.0) or the call fails.
std::optional<std::wstring> KnownFolderPath(const GUID& folder, DWORD flags);
// A CSIDL folder's path through SHGetFolderPathW (no window, no token, flags 0): how systems
// before 6.0 name the same folders. None when the call is missing or fails.
std::optional<std::wstring> ShellFolderPath(int csidl);
// The known folder, or the CSIDL folder when the known-folder call is missing or fails.
std::optional<std::wstring> FolderPath(const GUID& folder, DWORD flags, int csidl);
// The folder the current user's shell-folder entry `name` (such as "Local AppData") names,
// variables expanded, without loading the shell: where the shell keeps the user's own and
// redirected folders. None unless the entry is there and names an existing folder by a full
// path; the caller then asks the shell, which also creates a missing folder.
std::optional<std::wstring> UserShellFolderPath(const wchar_t* name);

}  // namespace cc::win
