#pragma once

#include <cstdint>

// The process's shared symbol engine over the system's debug-help library, used to turn the
// call stacks of a crash report into frame texts. Reference-counted; created on first use.
namespace Debug {

// True when the process has "dbghelp.dll" loaded at version 6.5.3.7 or later.
bool IsDebugHelpRecentEnough();
// "." plus every folder of the process's modules and the symbol path variables; allocated
// from the library allocator (free with Vorq::Memory::Free). Null on failure.
char* BuildSymbolSearchPath();
// Takes a reference to the shared engine (creating it) and, with a search path, loads the
// symbols of the process's modules. Failures leave frames as bare addresses.
void AcquireSymbolEngine(const char* searchPathOrNull);
// Drops a reference; the last one cleans the symbol handler up.
void ReleaseSymbolEngine();

}  // namespace Debug
