#include <windows.h>

#include <cstdio>
#include <exception>

#include "launcher/startup.h"
#include "libs/crashreport/crash_reporter.h"
#include "logging/multi_logger.h"

namespace {

// Line number that identifies the uncaught-exception message in the log.
constexpr int kUncaughtExceptionLine = 160;
// How long the telemetry sink may take to send what it holds before the end.
constexpr int32_t kFinalFlushMs = 100;

// A C++ exception that nothing caught (say, an application DLL without SL_Launch2) ends the
// launcher here, before any unwinding: its text goes to the log and the logs are closed so
// the line reaches the disk. Once the crash reporter is installed the exception then becomes
// a crash like any other: raised as the C++ exception code, it reaches the reporter, which
// sends the report (with the stack of the throw) and ends the process with that code.
// Before that, the process ends at once with its own exit code. No dialog: the launcher
// often runs with nobody watching, and a message box would keep it alive.
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
    g_mainLogger->Finish(kFinalFlushMs);
  }
  if (Vorq::CurrentCrashReporter())
    RaiseException(kUncaughtExceptionCode, EXCEPTION_NONCONTINUABLE, 0, nullptr);
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
  int exitCode =
      RunLauncher({instance, previousInstance, commandLine, showCommand}, &backgroundWorkLeft);
  if (backgroundWorkLeft) {
    // A thread that would not stop must not see the exit-time clean-up (static destructors,
    // socket shutdown, the unwinder's tables leaving): ExitProcess ends the other threads
    // before any of that runs.
    std::fflush(nullptr);
    ExitProcess(UINT(exitCode));
  }
  return exitCode;
}
