#include <windows.h>

#include <cstdio>
#include <exception>

#include "launcher/startup.h"
#include "logging/multi_logger.h"

namespace {

// Line number that identifies the uncaught-exception message in the log.
constexpr int kUncaughtExceptionLine = 160;

// A C++ exception that nothing caught (say, an application DLL without SL_Launch2) ends the
// launcher here, before any unwinding: its text goes to the log, the logs are closed so the
// line reaches the disk, and the process ends at once with its own exit code. No dialog:
// the launcher often runs with nobody watching, and a message box would keep it alive.
[[noreturn]] void EndOnUncaughtException() {
  if (g_mainLogger) {
    try {
      if (std::exception_ptr current = std::current_exception())
        std::rethrow_exception(current);
      g_mainLogger->Log(kLogErrors, kUncaughtExceptionLine, "Main",
                        "Terminated without an exception! Quitting.");
    } catch (const std::exception& e) {
      g_mainLogger->LogF(kLogErrors, kUncaughtExceptionLine, "Main",
                         "Uncaught exception: %s! Quitting.", e.what());
    } catch (...) {
      g_mainLogger->Log(kLogErrors, kUncaughtExceptionLine, "Main",
                        "Uncaught exception of an unknown type! Quitting.");
    }
    g_mainLogger->Finish(kExitUncaughtException);
  }
  // Ends the process without running DLL detach code or static destructors on top of a
  // failed start.
  TerminateProcess(GetCurrentProcess(), UINT(kExitUncaughtException));
  ExitProcess(UINT(kExitUncaughtException));
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance,
                   HINSTANCE previousInstance,
                   LPSTR commandLine,
                   int showCommand) {
  std::set_terminate(&EndOnUncaughtException);
  bool backgroundWorkLeft = false;
  int exitCode = RunLauncher({instance, previousInstance, commandLine, showCommand},
                             &backgroundWorkLeft);
  if (backgroundWorkLeft) {
    // A thread that would not stop must not see the exit-time clean-up (static destructors,
    // socket shutdown, the unwinder's tables leaving): ExitProcess ends the other threads
    // before any of that runs.
    std::fflush(nullptr);
    ExitProcess(UINT(exitCode));
  }
  return exitCode;
}
