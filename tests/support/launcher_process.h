#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

// Windows test helpers: build artifacts named by their Unix path (Wine shows the Unix tree
// as drive Z:), UTF-16 to UTF-8, and running a program as a user's shortcut would.

// "/a/b" -> "Z:\a\b"; a path that is already a Windows path only gets backslashes.
std::wstring WindowsPathOfBuildFile(const char* path);
std::string Narrow(const std::wstring& wide);
std::wstring Widen(const std::string& utf8);

// Runs a Windows program the way a user's shortcut would and waits for its end.
struct ProcessOptions {
  std::wstring arguments;  // text after the quoted program path
  // Added to (or replacing in) a copy of this process's environment; any other GV_FIXTURE_*
  // variable is left out, so one case's fixture settings never leak into the next.
  std::vector<std::pair<std::wstring, std::wstring>> environment;
  int showCommand = -1;           // the STARTUPINFO show-window code; -1 leaves it unset
  std::wstring currentDirectory;  // empty: this process's
  uint32_t timeoutMs = 120000;    // the emulated 32-bit lane is slow
};

struct ProcessResult {
  bool started = false;
  bool finished = false;    // false: killed at the time limit
  int32_t exitCode = 0;     // the full 32-bit value GetExitCodeProcess gives
  uint32_t startError = 0;  // GetLastError of a failed CreateProcessW
};

ProcessResult RunProcess(const std::wstring& program, const ProcessOptions& options);

// The calls the fixture application DLL recorded: one map of "key=value" lines per call.
using FixtureCall = std::map<std::string, std::string>;
std::vector<FixtureCall> ParseFixtureRecord(const std::string& text);
