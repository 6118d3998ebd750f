#pragma once

#include <cstdint>

#include "launcher/build_number.h"

// The launcher's own version, given to the log banner and to the application DLL.
inline constexpr char kLauncherVersion[] = "4.0.0.320";

// Exit codes of the launcher itself; any other code is the application DLL's answer.
inline constexpr int32_t kExitDllNotLoaded = -4;
inline constexpr int32_t kExitDllTooOld = -5;
// A C++ exception nothing caught (an application DLL without a required export, say),
// before the crash reporter is installed.
inline constexpr int32_t kExitUncaughtException = -6;
// The exception code such an exception is reported with (and the process ends with) once
// the crash reporter is installed: the code C++ exceptions have on Windows.
inline constexpr uint32_t kUncaughtExceptionCode = 0xE06D7363;

// The Windows GUI entry's arguments, handed to the application DLL unchanged.
struct LaunchArguments {
  void* instance;
  void* previousInstance;
  char* commandLine;
  int showCommand;
};

// One whole run: preferences, the file log, the application DLL's load, version check and
// hand-over. Answers the process exit code. Sets g_mainLogger for the life of the process.
// DLLHolder::exception (an export the DLL lacks) is not caught here. *backgroundWorkLeft,
// when given, tells whether a thread of the run is still at work (then the process must end
// without the exit-time clean-up).
int32_t RunLauncher(const LaunchArguments& arguments, bool* backgroundWorkLeft = nullptr);
