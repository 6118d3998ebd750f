#pragma once

#include <cstdarg>
#include <cstdint>
#include <memory>

#include "logging/log_interface.h"

namespace Vorq {
class Tovik;
}

// The log sink that forwards the launcher's messages to the telemetry collection service
// through a telemetry client of its own on a fixed-host connection. Creating it starts a
// session; destroying it ends the session. Created and destroyed on the main thread.
class TovikLogger : public LogInterface {
 public:
  // `server` names the service host, optionally with ":port" (443 otherwise).
  // `previousSession` is the session this run continues (0 for none).
  TovikLogger(const char* version, const char* server, int level, uint32_t previousSession);
  ~TovikLogger() override;

  // Flushes what the client holds, waiting at most `code` milliseconds.
  void Stop(int32_t code) override;
  void Write(int messageLevel, int line, const char* file, const char* text) override;
  void WriteFormatted(int messageLevel, int line, const char* file, const char* format,
                      va_list args) override;

  // The telemetry client, for its session identifier when the sink is exchanged.
  Vorq::Tovik& Client();

  // The telemetry message kind a log level is sent as.
  static uint8_t KindOfLevel(int level);

 private:
  class Impl;
  std::unique_ptr<Impl> m_impl;
};
