#include "libs/tovik/tovik_clock.h"

#include <atomic>
#include <chrono>

#include "libs/ccutility/thread/cc_thread.h"

namespace Vorq {

namespace {

class SystemClock : public TovikClock {
 public:
  uint64_t NowMs() override {
    return uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count());
  }
  void SleepMs(uint32_t ms) override { cc::SleepMs(ms); }
};

SystemClock g_systemClock;
std::atomic<TovikClock*> g_installed{nullptr};

}  // namespace

TovikClock& TovikClock::Current() {
  TovikClock* clock = g_installed.load(std::memory_order_acquire);
  return clock ? *clock : g_systemClock;
}

TovikClock* TovikClock::Install(TovikClock* clock) {
  return g_installed.exchange(clock, std::memory_order_acq_rel);
}

}  // namespace Vorq
