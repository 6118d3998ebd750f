#pragma once

// Functions of system DLLs bound by name at run time: for calls that newer systems add, and
// for DLLs the program should load only on the road that needs them (the launcher imports
// nothing beyond kernel32, advapi32 and the run time, so most launches never start user32,
// shell32 or ole32).

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <utility>

namespace cc::win {

// Where a record looks for its DLL.
enum class ModuleSearch {
  kLoad,        // the loaded module, else LoadLibraryW by name (loaded for the rest of the run)
  kLoadedOnly,  // only a module the process has already loaded (kernel32's own calls)
};

// The untyped core of SystemFunction: one export of one DLL, bound on first use.
class SystemExport {
 public:
  constexpr SystemExport(const wchar_t* dll, const char* name, ModuleSearch search) noexcept
      : m_dll(dll), m_name(name), m_search(search) {}
  SystemExport(const SystemExport&) = delete;
  SystemExport& operator=(const SystemExport&) = delete;

  // The export's address, or 0 when the DLL or the export is missing. A miss is kept once
  // the module was found or could not be loaded; a kLoadedOnly record whose DLL is not loaded
  // yet looks again next time.
  uintptr_t Address() const noexcept;
  const char* Name() const noexcept { return m_name; }

 private:
  static constexpr uintptr_t kUnbound = 0;
  static constexpr uintptr_t kMissing = 1;  // no code lies at address 1

  uintptr_t Bind() const noexcept;

  const wchar_t* m_dll;
  const char* m_name;
  ModuleSearch m_search;
  mutable std::atomic<uintptr_t> m_state{kUnbound};
};

// One system function, typed by its full pointer type (calling convention included), e.g.
// `decltype(&::MessageBoxA)`. Declare records `constinit` at namespace scope: constant
// initialised, they are ready before any constructor runs. Binding takes no lock and
// allocates nothing, so the crash path may use them; two threads binding at once store the
// same address.
template <class FunctionPointer>
class SystemFunction : public SystemExport {
 public:
  constexpr SystemFunction(const wchar_t* dll,
                           const char* name,
                           ModuleSearch search = ModuleSearch::kLoad) noexcept
      : SystemExport(dll, name, search) {}

  // The function, or null when it is missing.
  FunctionPointer Get() const noexcept { return reinterpret_cast<FunctionPointer>(Address()); }
  explicit operator bool() const noexcept { return Address() != 0; }

  // Calls the function. Only for a record already found present (Get or operator bool).
  template <class... Args>
  decltype(auto) operator()(Args&&... args) const {
    return Get()(std::forward<Args>(args)...);
  }
};

}  // namespace cc::win

// A record named after the system function it binds and typed by that function's declaration,
// for tables of records: `struct User32 { GV_SYSTEM_FUNCTION(kUser32, EndDialog); };`.
#define GV_SYSTEM_FUNCTION(dll, name) \
  ::cc::win::SystemFunction<decltype(&::name)> name = {dll, #name}
