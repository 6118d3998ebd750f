#pragma once

#include <cstddef>
#include <cstdint>

#include "libs/crashreport/crash_reporter_tovik.h"

namespace Vorq {

class Tovik;

// Told when the handling of a crash begins and when it ends (on the crashing thread, with
// every other thread suspended).
class CrashCallback {
 public:
  virtual void OnCrashBegin() = 0;
  virtual void OnCrashEnd() = 0;

 protected:
  ~CrashCallback() = default;
};

// The launcher's crash reporter: delivers each report to the standard output and to the
// telemetry service through the log sink's client, and falls back to files in the crash
// folder. Created by the telemetry log sink through the library allocator (its own new and
// delete use it).
class CrashReporterWox : public CrashReporterTovik {
 public:
  // `client` is not owned and must outlive the reporter (null: nothing is uploaded).
  explicit CrashReporterWox(Tovik* client);
  ~CrashReporterWox() override;

  static void* operator new(size_t size) noexcept;
  static void operator delete(void* pointer) noexcept;

  // Standard output first, then the service; on failure the ".gid" marker and the report
  // file, and the dump is kept. True when the service confirmed the report.
  bool ProcessReport(CrashReporterStream& stream, const char* dumpPath) override;
  bool ReadApplicationXml(uint32_t* length,
                          char* buffer,
                          uint32_t capacity,
                          bool* finished) override;
  void OnCrashBegin() override;
  void OnCrashEnd() override;

  // Reports go through `client` from now on (not owned, must outlive the reporter or the next
  // call; null: nothing is uploaded). The one earlier client must stay valid until this
  // returns: a crash meanwhile uses either.
  void UseClient(Tovik* client) { __atomic_store_n(&m_client, client, __ATOMIC_RELEASE); }
  // Not owned; null for none. The launcher sets none.
  void SetCrashCallback(CrashCallback* callback) { m_callback = callback; }
  // A copy of `xml` (null: none) becomes the report's application XML. False when the copy
  // could not be allocated. Not for the crash path.
  bool SetApplicationXml(const char* xml);

 protected:
  Tovik* TelemetryClient() override { return m_client; }

  Tovik* m_client;
  CrashCallback* m_callback = nullptr;
  char* m_buffer = nullptr;                // the application XML, from the library allocator
  const char* m_applicationXml = nullptr;  // read cursor into m_buffer
};

}  // namespace Vorq
