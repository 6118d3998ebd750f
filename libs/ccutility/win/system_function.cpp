#include "libs/ccutility/win/system_function.h"

namespace cc::win {

uintptr_t SystemExport::Address() const noexcept {
  uintptr_t state = m_state.load(std::memory_order_acquire);
  if (state == kMissing)
    return 0;
  return state != kUnbound ? state : Bind();
}

uintptr_t SystemExport::Bind() const noexcept {
  HMODULE module = nullptr;
  // A module found loaded is pinned: whoever loaded it may free it again, and the address
  // kept here must stay valid for the rest of the run. A module loaded here keeps this
  // reference for good.
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN, m_dll, &module) &&
      m_search == ModuleSearch::kLoad) {
    module = LoadLibraryW(m_dll);
  }
  uintptr_t address = module ? reinterpret_cast<uintptr_t>(GetProcAddress(module, m_name)) : 0;
  if (address)
    m_state.store(address, std::memory_order_release);
  else if (module || m_search == ModuleSearch::kLoad)
    m_state.store(kMissing, std::memory_order_release);
  return address;
}

}  // namespace cc::win
