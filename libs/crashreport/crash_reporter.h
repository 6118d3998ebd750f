#pragma once

#include <cstdint>

#include "libs/crashreport/crash_library.h"

// The system's exception record, as the filter receives it. Operation names avoid those of
// the system's A/W function macros (GetCommandLine, GetUserName, ...), so this header means
// the same with and without <windows.h>.
struct _EXCEPTION_POINTERS;

namespace Vorq {

class CrashReporterStream;
class Tovik;

// The crash reporter's interface. One reporter is current per process; the process-wide
// unhandled-exception filter forwards every crash to it. The reporter renders the report
// through CrashReporterStream, which pulls each element's text from the collector
// operations below. Collectors fill the caller's buffer and answer the length written (0:
// nothing known, the element is left out or written empty). List collectors ("Next...")
// answer true when they wrote one more item and false at the end of the list.
class CrashReporter {
 public:
  virtual ~CrashReporter() = default;

  // Installs the process-wide filter (once) and answers 0.
  virtual int Install() = 0;
  // Restores the previous filter and answers 0.
  virtual int Uninstall() = 0;
  virtual bool IsInstalled() = 0;
  // The crash sequence; answers the filter's verdict (0 continue-search, 1 execute-handler)
  // when it does not end the process itself.
  virtual long HandleException(_EXCEPTION_POINTERS* exceptionPointers) = 0;
  // Delivers a rendered report; `dumpPath` is null when no minidump was written.
  virtual bool ProcessReport(CrashReporterStream& stream, const char* dumpPath) = 0;
  // The crash folder: `path` when given and short enough, else the per-user one.
  virtual void SetFolder(const char* path) = 0;
  virtual void BeginAdapters() = 0;
  // The next piece of application XML; `*finished` is set once there is no more.
  virtual bool ReadApplicationXml(uint32_t* length,
                                  char* buffer,
                                  uint32_t capacity,
                                  bool* finished) = 0;
  virtual bool WriteMinidump(_EXCEPTION_POINTERS* exceptionPointers, const char* path) = 0;
  virtual void GetVersionCookie(uint32_t* length, char* buffer, uint32_t capacity) = 0;

  // Machine.
  virtual uint32_t GetOsInfo(char* buffer, uint32_t capacity) = 0;
  virtual uint32_t GetCpuInfo(char* buffer, uint32_t capacity) = 0;     // the processor's name
  virtual uint32_t GetCpuDetails(char* buffer, uint32_t capacity) = 0;  // cpu_info attributes
  virtual uint32_t GetComputerNameText(char* buffer, uint32_t capacity) = 0;
  virtual bool NextAdapter(char* buffer, uint32_t capacity) = 0;        // adapter attributes
  virtual uint32_t GetMemoryInfo(char* buffer, uint32_t capacity) = 0;  // memory_info attributes
  virtual void Placeholder1() = 0;
  virtual void Placeholder2() = 0;

  // The exception.
  virtual uint32_t GetExceptionType(char* buffer, uint32_t capacity) = 0;
  virtual uint32_t GetAccessKind(char* buffer, uint32_t capacity) = 0;  // 0 unless an AV
  virtual uint32_t GetBadAddress(char* buffer, uint32_t capacity) = 0;

  // Processes: `*self` tells the own process.
  virtual void BeginProcesses() = 0;
  virtual void EndProcesses() = 0;
  virtual bool NextProcess(char* attributes, uint32_t capacity, bool* self) = 0;
  virtual uint32_t GetUserPrivileges(char* attributes, uint32_t capacity) = 0;
  virtual uint32_t GetUserNameText(char* buffer, uint32_t capacity) = 0;
  // Cuts `buffer` right after the last `character` (unchanged when there is none).
  virtual void TrimAfterLast(char* buffer, char character) = 0;
  virtual uint32_t GetCommandLineText(char* buffer, uint32_t capacity) = 0;
  virtual uint32_t GetCurrentFolder(char* buffer, uint32_t capacity) = 0;

  // Threads of the own process: attributes of the "<thread " line; `*hasContext` tells
  // whether call stack and stack dump follow.
  virtual void BeginThreads() = 0;
  virtual void EndThreads() = 0;
  virtual bool NextThread(char* attributes, uint32_t capacity, bool* hasContext) = 0;
  virtual bool BeginThreadGroup() = 0;  // answers false: no thread groups
  virtual void BeginFrames() = 0;
  virtual bool HasMoreFrames() = 0;
  virtual uint32_t NextFrame(char* buffer, uint32_t capacity) = 0;
  virtual bool NextStackLine(char* buffer, uint32_t capacity, uint32_t* length) = 0;
  virtual bool Reserved38() = 0;  // answers true
  virtual bool Reserved39() = 0;  // answers true
  virtual bool NextGroupThread(char* attributes, uint32_t capacity, bool* hasContext) = 0;

  // Environment.
  virtual void BeginEnvironment() = 0;
  virtual void EndEnvironment() = 0;
  virtual bool NextVariableName(char* buffer, uint32_t capacity) = 0;
  virtual uint32_t GetVariableValue(char* buffer, uint32_t capacity) = 0;

  // Process memory counters (process_memory attributes).
  virtual uint32_t GetProcessMemory(char* buffer, uint32_t capacity) = 0;
  virtual bool ProcessMemoryDone() = 0;

  // Modules: NextModule writes the path, GetModuleVersion the attributes of that module.
  virtual void BeginModules() = 0;
  virtual void EndModules() = 0;
  virtual bool NextModule(char* buffer, uint32_t capacity) = 0;
  virtual uint32_t GetModuleVersion(char* attributes, uint32_t capacity) = 0;

  virtual bool ReadReproSteps(uint32_t* length,
                              char* buffer,
                              uint32_t capacity,
                              bool* finished) = 0;
  virtual void OnCrashBegin() = 0;
  virtual void OnCrashEnd() = 0;
  virtual void BeforeInstall() = 0;
  virtual void AfterInstall() = 0;
  virtual void BeforeUninstall() = 0;
  virtual void AfterUninstall() = 0;
  virtual uint32_t GetLastErrorValue() = 0;
};

// Answers the current reporter, or null.
CrashReporter* CurrentCrashReporter();

}  // namespace Vorq
