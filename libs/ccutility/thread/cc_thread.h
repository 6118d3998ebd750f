#pragma once

#include <atomic>
#include <cstdint>

#include "launcher/text/cc_shared_ptr.h"
#include "libs/ccutility/thread/cc_mutex.h"

namespace cc {

// Sleeps the calling thread for `ms` milliseconds.
void SleepMs(uint32_t ms);

namespace Thread {

// A reference-counted thread object with an abstract body. The running thread holds its
// own reference until Run returns, so the creator may drop its holder once it has started.
class Base : public CCSharedPtr_Base {
 public:
  Base() = default;
  ~Base() override;

  // The thread body; its result is the thread's exit code. Must not throw: an exception
  // escaping it ends the thread's work there (it is caught and the code is -1).
  virtual int Run() = 0;

  // Waits at most `timeoutMs` for the thread to end: true once its body has returned and,
  // where the system can tell, the thread itself is gone. True at once for a thread that
  // was never started.
  bool WaitForEnd(uint32_t timeoutMs);
  bool HasStarted() const { return m_started.load(std::memory_order_acquire); }
  bool HasFinished() const { return m_finished.load(std::memory_order_acquire); }

 private:
  friend class Holder;
  struct Native;

 public:
  // The new thread's first function (platform code calls it).
  static int Entry(Base* self);

 private:
  // Creates the operating system thread running Entry; false when that failed.
  bool CreateNative();

  Native* m_native = nullptr;  // thread handle, null until started
  uint32_t m_stackSize = 0;    // 0 = the system default
  std::atomic<bool> m_started{false};
  std::atomic<bool> m_finished{false};
  bool m_ownsHandle = false;
  bool m_pendingStart = false;  // cleared by the new thread as it begins
};

// Holds one reference to a thread object and starts it.
class Holder {
 public:
  Holder() = default;
  // Takes a reference and starts the thread at once.
  explicit Holder(Base* thread) { Start(thread); }
  Holder(const Holder&) = delete;
  Holder& operator=(const Holder&) = delete;

  // Holds `thread` instead of the previous object and starts it unless it already has a
  // handle. Throws ThreadException when the thread cannot be created.
  void Start(Base* thread);
  // Waits (1 ms polls) until the thread has begun its body, then drops the reference. Does
  // not wait for the body to finish.
  void Detach();
  Base* Get() const { return m_thread.Get(); }

 private:
  CCSharedPtr<Base> m_thread;
};

}  // namespace Thread
}  // namespace cc
