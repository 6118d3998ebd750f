#pragma once

// Owners of the system's handles: each closes what it holds exactly once, when it goes or is
// given another handle. Move-only. Header only; ScopedKey's users link advapi32.

#include <windows.h>

#include <utility>

namespace cc::win {

// `Traits` names the handle type, tells a live handle from an empty one and closes one:
//   using Handle = ...;  static bool IsValid(Handle);  static void Close(Handle);
// An owner starts empty (a null handle) and is empty again after Release.
template <class Traits>
class ScopedGeneric {
 public:
  using Handle = typename Traits::Handle;

  constexpr ScopedGeneric() noexcept = default;
  explicit ScopedGeneric(Handle handle) noexcept : m_handle(handle) {}
  ScopedGeneric(ScopedGeneric&& other) noexcept : m_handle(other.Release()) {}
  ScopedGeneric& operator=(ScopedGeneric&& other) noexcept {
    Reset(other.Release());
    return *this;
  }
  ScopedGeneric(const ScopedGeneric&) = delete;
  ScopedGeneric& operator=(const ScopedGeneric&) = delete;
  ~ScopedGeneric() { Reset(); }

  Handle Get() const noexcept { return m_handle; }
  bool IsValid() const noexcept { return Traits::IsValid(m_handle); }
  explicit operator bool() const noexcept { return IsValid(); }

  // Gives the handle up without closing it.
  Handle Release() noexcept { return std::exchange(m_handle, Handle()); }
  // Closes the handle held (unless it is `handle` itself) and holds `handle` instead.
  void Reset(Handle handle = Handle()) noexcept {
    Handle old = std::exchange(m_handle, handle);
    if (old != handle && Traits::IsValid(old))
      Traits::Close(old);
  }
  // For a call that hands out a new handle through a pointer: closes the one held first.
  Handle* Receive() noexcept {
    Reset();
    return &m_handle;
  }

 private:
  Handle m_handle = Handle();
};

// A kernel object (file, process, thread, event, snapshot, token). Calls answer either null
// or INVALID_HANDLE_VALUE for "none", so both count as empty; the latter is also the current
// process's pseudo handle, which is never closed.
struct KernelHandleTraits {
  using Handle = HANDLE;
  static bool IsValid(Handle handle) { return handle && handle != INVALID_HANDLE_VALUE; }
  static void Close(Handle handle) { ::CloseHandle(handle); }
};

// A FindFirstFile search.
struct FindHandleTraits {
  using Handle = HANDLE;
  static bool IsValid(Handle handle) { return handle && handle != INVALID_HANDLE_VALUE; }
  static void Close(Handle handle) { ::FindClose(handle); }
};

// A module reference taken with LoadLibrary.
struct ModuleTraits {
  using Handle = HMODULE;
  static bool IsValid(Handle module) { return module != nullptr; }
  static void Close(Handle module) { ::FreeLibrary(module); }
};

// An opened registry key (never one of the predefined roots).
struct KeyTraits {
  using Handle = HKEY;
  static bool IsValid(Handle key) { return key != nullptr; }
  static void Close(Handle key) { ::RegCloseKey(key); }
};

using ScopedHandle = ScopedGeneric<KernelHandleTraits>;
using ScopedFind = ScopedGeneric<FindHandleTraits>;
using ScopedModule = ScopedGeneric<ModuleTraits>;
using ScopedKey = ScopedGeneric<KeyTraits>;

}  // namespace cc::win
