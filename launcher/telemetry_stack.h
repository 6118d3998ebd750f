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

  // Makes a telemetry sink that starts a session (`previousSession` 0 for none); the crash
  // reporter, installed with the first sink, reports through the newest sink's client. The
  // caller adds the sink to the main logger and lets the earlier one go. The first sink's
  // telemetry thread waits for the background thread.
  CCSharedPtr<TovikLogger> OpenSink(const char* version,
                                    const char* server,
                                    int level,
                                    uint32_t previousSession);
  // The same for a sink that continues the session of `predecessor` once it is known.
  CCSharedPtr<TovikLogger> OpenSink(const char* version,
                                    const char* server,
                                    int level,
                                    const TovikLogger& predecessor);
  // Uninstalls the crash reporter; the caller then lets the sink go.
  void CloseSink();

  // Makes the background thread (once; after the first sink): it starts the first sink's
  // telemetry thread and the crash handler's thread once the start is over or a second has
  // passed, prunes the crash folder and, a few seconds into the run, sends the crash reports
  // an earlier run kept there to the sink's server (what the service confirms is deleted,
  // files left half-written are cleared away). A start with more to do than load the
  // application calls it early; otherwise StartIsOver makes it, as late as can be: making a
  // thread costs the maker a millisecond or more, and the new thread's own start holds the
  // system's loader.
  void StartBackground();
  // The launcher's start is over (the application is about to run, or will not): the
  // background thread, the crash handler and the telemetry threads go to work at once.
  void StartIsOver();
  // Lets the background thread start its upload at once and waits at most `timeoutMs` for
  // it: true once it has ended (or never started).
  bool WaitForKeptReports(uint32_t timeoutMs);

 private:
  class LibraryState;
  class Background;
  CCSharedPtr<TovikLogger> Install(CCSharedPtr<TovikLogger> sink);

  LibraryState* m_library;
  Vorq::CrashReporterWox* m_reporter = nullptr;
  CCSharedPtr<TovikLogger> m_firstSink;  // until the background thread has it
  CCSharedPtr<Background> m_background;
};
