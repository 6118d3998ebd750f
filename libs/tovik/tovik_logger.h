#pragma once

#include <cstdarg>
#include <cstdint>

#include "launcher/text/cc_shared_ptr.h"
#include "libs/ccutility/thread/cc_thread.h"
#include "logging/log_interface.h"

namespace Vorq {
class Tovik;
}

// The log sink that forwards the launcher's messages to the telemetry collection service.
// A telemetry thread of its own owns the client and its fixed-host connection: the thread
// that logs only queues the line, so no name look-up, connect or wait for the service ever
// happens on it. A second client with a connection of its own, opened only by a crash
// report, serves the crash reporter: a crash that freezes the telemetry thread in the middle
// of a send still gets its report out. Created and destroyed on the main thread.
class TovikLogger : public LogInterface {
 public:
  // Lines waiting for the telemetry thread; what would go past either bound is counted, and
  // the count goes to the service once the lines can flow again.
  static constexpr uint32_t kMaxQueuedLines = 256;
  static constexpr uint32_t kMaxQueuedBytes = 256 * 1024;
  // How long a sink waits for the answer to its session message (its own, or the one of the
  // sink it continues) before it goes on without the session identifier.
  static constexpr int32_t kSessionWaitMs = 5000;

  // `server` names the service host, optionally with ":port" (443 otherwise).
  // `previousSession` is the session this run continues (0 for none). Without
  // `startThread` the telemetry thread waits for StartThread (lines queue meanwhile): making a
  // thread takes the making thread a millisecond or more, which a program's start may not
  // want to spend.
  TovikLogger(const char* version,
              const char* server,
              int level,
              uint32_t previousSession,
              bool startThread = true);
  // Continues the session of `predecessor` (which may be let go at once): this sink's
  // session message leaves once the predecessor's service has answered, or its 5000 ms have
  // passed; its lines wait until then. It runs on the predecessor's telemetry thread once
  // that one's work is over (the predecessor's session ends first in any case), or on a
  // thread of its own when that thread has already ended.
  TovikLogger(const char* version, const char* server, int level, const TovikLogger& predecessor);
  // Does not wait: the telemetry thread sends what is queued, ends the session and then ends
  // itself (see WaitForThreads).
  ~TovikLogger() override;

  // Starts the telemetry thread of a sink made without it; from any thread, once. A thread
  // that cannot be made leaves the sink dropping its lines.
  void StartThread();

  // Never waits: the telemetry thread sends continuously.
  void Stop(int32_t code) override;
  void Write(int messageLevel, int line, const char* file, const char* text) override;
  void WriteFormatted(int messageLevel,
                      int line,
                      const char* file,
                      const char* format,
                      va_list args) override;

  // The session identifier the service gave, 0 while there is none (any thread).
  uint32_t SessionId() const;
  // Lets the telemetry thread send what is queued (after the session message), end the
  // session and end itself, and waits at most `timeoutMs` for that. True when the thread has
  // ended. Lines logged afterwards are dropped; the crash client stays usable.
  bool Close(int32_t timeoutMs);
  // Lines given up since the sink was made (queue bounds, a service out of reach).
  uint32_t LostLines() const;

  // The crash reporter's client: opened only when a report is sent, continuing this sink's
  // session (or, before it is known, the one this sink continues).
  Vorq::Tovik& CrashClient();

  // Waits at most `timeoutMs` until the telemetry threads of every sink, those already let go
  // included, have ended. True when none is left.
  static bool WaitForThreads(int32_t timeoutMs);

  // A program whose start must not share the system's loader with the telemetry threads
  // (their first socket loads the socket DLL) calls HoldNetwork before its first sink: the
  // threads then make no socket until ReleaseNetwork is called or kNetworkHoldMs have passed
  // since each started. Lines and session messages wait in the queue meanwhile.
  static constexpr uint32_t kNetworkHoldMs = 1000;
  static void HoldNetwork();
  static void ReleaseNetwork();

  // The telemetry message kind a log level is sent as.
  static uint8_t KindOfLevel(int level);

 private:
  class Impl;
  // Starts `impl`'s thread, or marks it given up when none can be made.
  static void Begin(const CCSharedPtr<Impl>& impl);

  CCSharedPtr<Impl> m_impl;
};
