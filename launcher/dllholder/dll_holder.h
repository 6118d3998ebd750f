#pragma once

#include <cstdint>
#include <exception>
#include <utility>

#include "launcher/text/cc_string.h"

// Owner of one loaded DLL whose exports are bound by name on first use (through
// DLLFunction records). Holders are static objects that start with no module; Load and Unload
// move them between empty and loaded. Not thread-safe: one thread loads, calls and unloads.
class DLLHolder {
 public:
  // Raised for the misuse cases (empty library or export name, no module loaded) and for an
  // export that is missing. Owns one heap copy of its message; copying moves that copy to the
  // new object, after which the source answers the fallback text.
  class exception : public std::exception {
   public:
    explicit exception(const char* prefix, const char* name = nullptr) noexcept;
    exception(const exception& other) noexcept;
    exception& operator=(const exception& other) noexcept;
    ~exception() override;
    // The message, or "Unknown DLL exception" when it could not be allocated.
    const char* what() const noexcept override;

   private:
    mutable char* m_message = nullptr;
  };

  constexpr DLLHolder() = default;
  DLLHolder(const DLLHolder&) = delete;
  DLLHolder& operator=(const DLLHolder&) = delete;
  virtual ~DLLHolder();

  // Frees the module if one is loaded; the handle is cleared before the module goes.
  virtual void Unload();
  // Address of the named export, or null when the module has no such export. Raises
  // DLLHolder::exception when nothing is loaded or the name is null or empty.
  virtual void* GetFunction(const char* name);

  // Loads the DLL at `path` (either separator; UTF-8, loaded through the wide call when it
  // holds non-ASCII text), searching its dependencies in its own folder first. Answers true
  // at once when a module is already loaded, whatever the path. A failure answers false and
  // leaves the system's error code for SystemErrorCode(); an empty path raises.
  bool Load(const CCString& path);
  bool IsLoaded() const { return m_module != nullptr; }

  // The calling thread's last system error code (what a failed Load left behind).
  static uint32_t SystemErrorCode();

 private:
  // The system calls, in dll_holder_win.cpp.
  static void* OpenModule(const CCString& normalizedPath);
  static void CloseModule(void* module);
  static void* FindExport(void* module, const char* name);

  void* m_module = nullptr;  // HMODULE
};

// One export of a holder's DLL, bound by name on its first call and cached until Forget.
// `FunctionPointer` is the export's full pointer type, calling convention included, e.g.
// int32_t(__cdecl*)(char*, int32_t). Records are static objects with constant initial
// contents, so they are ready before any code runs.
template <class FunctionPointer>
class DLLFunction {
 public:
  constexpr DLLFunction(DLLHolder* holder, const char* name) : m_holder(holder), m_name(name) {}
  DLLFunction(const DLLFunction&) = delete;
  DLLFunction& operator=(const DLLFunction&) = delete;

  // Binds on first use; raises DLLHolder::exception "Cannot load function: <name>" when the
  // module lacks the export (or the holder's own exception when nothing is loaded).
  template <class... Args>
  decltype(auto) operator()(Args&&... args) {
    return Bind()(std::forward<Args>(args)...);
  }

  FunctionPointer Bind() {
    if (!m_address) {
      m_address = m_holder->GetFunction(m_name);
      if (!m_address)
        throw DLLHolder::exception("Cannot load function: ", m_name);
    }
    return reinterpret_cast<FunctionPointer>(m_address);
  }

  // Drops the cached address so that the next call binds again (after the module changed).
  void Forget() { m_address = nullptr; }
  bool IsBound() const { return m_address != nullptr; }
  const char* Name() const { return m_name; }

 private:
  DLLHolder* m_holder;
  const char* m_name;
  void* m_address = nullptr;
};
