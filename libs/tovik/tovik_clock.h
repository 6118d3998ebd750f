#pragma once

#include <cstdint>

namespace Vorq {

// The time source and the sleep of the telemetry connections and client. The product uses
// the system clock; a test installs its own so the 20-second, 120-second and 5-second waits
// can pass without the wall clock. Process-wide; install before any connection is used.
class TovikClock {
 public:
  virtual ~TovikClock() = default;
  // Milliseconds since 1970-01-01 UTC.
  virtual uint64_t NowMs() = 0;
  virtual void SleepMs(uint32_t ms) = 0;

  uint64_t NowSeconds() { return NowMs() / 1000; }

  // The clock in use; the system clock unless one was installed.
  static TovikClock& Current();
  // Installs `clock` (null: back to the system clock); returns the one it replaces. The
  // caller keeps ownership.
  static TovikClock* Install(TovikClock* clock);
};

}  // namespace Vorq
