#pragma once

#include <cstdint>

#include "launcher/text/cc_shared_ptr.h"
#include "libs/tovik/tovik_logger.h"

namespace Vorq {
class CrashReporterWox;
}

// Everything that talks to the telemetry collection service, wired in one place: the
// assertion logger and the allocator of the crash and telemetry library, the telemetry log
// sink, and the crash reporter that reports through the sink's client. Owned by the start-up
// sequence on the main thread; while it lives the assertion logger and allocator are the
// library's current ones.
class TelemetryStack {
 public:
  TelemetryStack();
  ~TelemetryStack();
  TelemetryStack(const TelemetryStack&) = delete;
  TelemetryStack& operator=(const TelemetryStack&) = delete;

  // Makes a telemetry sink that starts a session (`previousSession` 0 for none) and installs a
  // crash reporter on its client. The caller adds the sink to the main logger.
  CCSharedPtr<TovikLogger> OpenSink(const char* version,
                                    const char* server,
                                    int level,
                                    uint32_t previousSession);
  // The same for a sink that continues the session of `predecessor` once it is known.
  CCSharedPtr<TovikLogger> OpenSink(const char* version,
                                    const char* server,
                                    int level,
                                    const TovikLogger& predecessor);
  // Uninstalls the reporter of the current sink; the caller then lets the sink go.
  void CloseSink();

  // Sends the crash reports an earlier run kept in the crash folder to `sink`'s server, on a
  // thread of its own that leaves the first seconds of the run to the start, and deletes
  // what the service confirmed; clears away files left half-written. Returns at once; does
  // nothing when no files wait, and only once a run.
  void SendKeptReports(TovikLogger& sink);
  // Lets that thread start its upload at once and waits at most `timeoutMs` for it: true once
  // it has ended (or never started).
  bool WaitForKeptReports(uint32_t timeoutMs);

 private:
  class LibraryState;
  class KeptReports;
  CCSharedPtr<TovikLogger> Install(CCSharedPtr<TovikLogger> sink);

  LibraryState* m_library;
  Vorq::CrashReporterWox* m_reporter = nullptr;
  CCSharedPtr<KeptReports> m_keptReports;
};
