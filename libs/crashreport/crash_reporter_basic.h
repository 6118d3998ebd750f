#pragma once

#include <cstdint>
#include <cstdio>

#include "libs/crashreport/crash_collector_cursors.h"
#include "libs/crashreport/crash_reporter.h"

namespace BinXML {
class Streamable;
}

namespace Vorq {

// The reporter's common part: installation of the process-wide filter, the crash sequence,
// the collectors of system information the report is rendered from, and delivery of the
// report to standard output. Collectors run only while every other thread is suspended.
class CrashReporterBasic : public CrashReporter {
 public:
  static constexpr uint32_t kBaseNameSize = 35;
  static constexpr uint32_t kTextBufferSize = 4096;
  static constexpr uint32_t kReproStepsSize = 4096;
  static constexpr uint32_t kReserveSize = 0x400000;

  // Registers as the current reporter when there is none, computes the file-name prefix,
  // allocates the reserve block (ReserveMemory) and chooses the default crash folder.
  CrashReporterBasic();
  // Uninstalls, unregisters and frees the owned text and the reserve block.
  ~CrashReporterBasic() override;
  CrashReporterBasic(const CrashReporterBasic&) = delete;
  CrashReporterBasic& operator=(const CrashReporterBasic&) = delete;

  int Install() override;
  int Uninstall() override;
  bool IsInstalled() override { return m_installed; }
  long HandleException(_EXCEPTION_POINTERS* exceptionPointers) override;
  // Copies the report to standard output.
  bool ProcessReport(CrashReporterStream& stream, const char* dumpPath) override;
  void SetFolder(const char* path) override;
  void BeginAdapters() override;
  bool ReadApplicationXml(uint32_t* length,
                          char* buffer,
                          uint32_t capacity,
                          bool* finished) override;
  bool WriteMinidump(_EXCEPTION_POINTERS* exceptionPointers, const char* path) override;
  void GetVersionCookie(uint32_t* length, char* buffer, uint32_t capacity) override;

  uint32_t GetOsInfo(char* buffer, uint32_t capacity) override;
  uint32_t GetCpuInfo(char* buffer, uint32_t capacity) override;
  uint32_t GetCpuDetails(char* buffer, uint32_t capacity) override;
  uint32_t GetComputerNameText(char* buffer, uint32_t capacity) override;
  bool NextAdapter(char* buffer, uint32_t capacity) override;
  uint32_t GetMemoryInfo(char* buffer, uint32_t capacity) override;
  void Placeholder1() override {}
  void Placeholder2() override {}
  uint32_t GetExceptionType(char* buffer, uint32_t capacity) override;
  uint32_t GetAccessKind(char* buffer, uint32_t capacity) override;
  uint32_t GetBadAddress(char* buffer, uint32_t capacity) override;
  void BeginProcesses() override;
  void EndProcesses() override;
  bool NextProcess(char* attributes, uint32_t capacity, bool* self) override;
  uint32_t GetUserPrivileges(char* attributes, uint32_t capacity) override;
  uint32_t GetUserNameText(char* buffer, uint32_t capacity) override;
  void TrimAfterLast(char* buffer, char character) override;
  uint32_t GetCommandLineText(char* buffer, uint32_t capacity) override;
  uint32_t GetCurrentFolder(char* buffer, uint32_t capacity) override;
  void BeginThreads() override;
  void EndThreads() override;
  bool NextThread(char* attributes, uint32_t capacity, bool* hasContext) override;
  bool BeginThreadGroup() override { return false; }
  void BeginFrames() override;
  bool HasMoreFrames() override;
  uint32_t NextFrame(char* buffer, uint32_t capacity) override;
  bool NextStackLine(char* buffer, uint32_t capacity, uint32_t* length) override;
  bool Reserved38() override { return true; }
  bool Reserved39() override { return true; }
  bool NextGroupThread(char* attributes, uint32_t capacity, bool* hasContext) override;
  void BeginEnvironment() override;
  void EndEnvironment() override;
  bool NextVariableName(char* buffer, uint32_t capacity) override;
  uint32_t GetVariableValue(char* buffer, uint32_t capacity) override;
  uint32_t GetProcessMemory(char* buffer, uint32_t capacity) override;
  bool ProcessMemoryDone() override;
  void BeginModules() override;
  void EndModules() override;
  bool NextModule(char* buffer, uint32_t capacity) override;
  uint32_t GetModuleVersion(char* attributes, uint32_t capacity) override;
  bool ReadReproSteps(uint32_t* length, char* buffer, uint32_t capacity, bool* finished) override;
  void OnCrashBegin() override {}
  void OnCrashEnd() override {}
  void BeforeInstall() override {}
  void AfterInstall() override {}
  void BeforeUninstall() override {}
  void AfterUninstall() override {}
  uint32_t GetLastErrorValue() override { return m_lastError; }

  // The exception being handled (null between crashes).
  _EXCEPTION_POINTERS* GetExceptionPointers() const { return m_exceptionPointers; }
  // Rewinds every per-crash cursor of the collectors (the stream's Rewind calls it).
  void RewindCollectors();

  // The crash folder (ends in a separator) and the file-name prefix ("Galvorand_").
  static const char* CrashFolder();
  static const char* FilePrefix();

 protected:
  // The crash's base name ("20110314_093005_1a2c"), computed on first use.
  const char* BaseName();
  // Tests drive the crash sequence without a real crash; they may also fill the repro text.
  char* ReproSteps() { return m_reproSteps; }
  // Copies a rendered report to the file handle `file` chunk by chunk, up to its measured size
  // or through the chunk that ends the document; answers the bytes written. Used on the crash
  // path: allocates nothing and takes no run-time lock.
  static uint32_t CopyReport(BinXML::Streamable& report, void* file);
  // The milliseconds the delivery under way has left (0: none), or -1 when it has no limit.
  // A crash's delivery must be over a fixed time after the fault; the upload of kept reports
  // sets its own limit.
  int32_t DeliveryTimeLeftMs() const;
  void LimitDelivery(uint32_t limitMs);
  void EndDeliveryLimit() { m_deliveryLimited = false; }
  // The thread whose crash is handled (0 between crashes: the current thread stands for it).
  uint32_t CrashThreadId() const { return m_crashThreadId; }

  bool m_installed = false;
  void* m_previousFilter = nullptr;
  uint32_t m_lastError = 0;
  char m_baseName[kBaseNameSize] = {};
  char* m_versionCookie = nullptr;  // from the library allocator
  char m_textBuffer[kTextBufferSize] = {};
  _EXCEPTION_POINTERS* m_exceptionPointers = nullptr;
  CrashCollectorCursors m_cursors;
  char m_reproSteps[kReproStepsSize] = {};
  uint32_t m_reproStepsRead = 0;
  void* m_reserveBlock = nullptr;
  volatile long m_crashCount = 0;  // interlocked only
  uint32_t m_crashThreadId = 0;
  uint32_t m_deliveryEndTick = 0;  // the system's tick count
  bool m_deliveryLimited = false;
};

}  // namespace Vorq
