#pragma once

#include <cstdint>

#include "launcher/dllholder/dll_holder.h"

namespace SL {

// The application DLL's exports, plain C with the caller cleaning the stack in both builds.
// Writes the DLL's version, four "."-separated decimal fields, NUL-terminated, into `buffer`
// of `size` usable bytes; the result is not examined.
using GetDLLVersionFunction = int32_t(__cdecl*)(char* buffer, int32_t size);
// Runs the rest of the process's life and answers its exit code. Receives the launcher's own
// start-up arguments unchanged (instance, previous instance, command-line text, show-window
// code), the launcher's version text and 0.
using Launch2Function = int32_t(__cdecl*)(void* instance,
                                          void* previousInstance,
                                          char* commandLine,
                                          int showCommand,
                                          const char* launcherVersion,
                                          int32_t reserved);

// Holder of the application DLL that takes the process over. Unloading also forgets both bound
// exports, so the next call binds them again from whatever module is loaded next.
class SLHolder : public DLLHolder {
 public:
  constexpr SLHolder() = default;
  void Unload() override;

  DLLFunction<Launch2Function> SL_Launch2{this, "SL_Launch2"};
  DLLFunction<GetDLLVersionFunction> SL_GetDLLVersion{this, "SL_GetDLLVersion"};
};

// The one application DLL holder of the process.
extern SLHolder g_slHolder;

}  // namespace SL
