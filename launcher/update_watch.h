#pragma once

#include <atomic>
#include <cstdint>

#include "launcher/text/cc_shared_ptr.h"
#include "launcher/text/cc_string.h"
#include "libs/ccutility/http/cancel_group.h"
#include "libs/ccutility/thread/cc_thread.h"

// The time budget of the update step before the game starts. A watchdog thread cuts the
// step's downloads (every HTTP client of the watch's CancelGroup) when the budget runs out
// or when the player presses Cancel in the progress dialog that it opens once the step has
// taken longer than a second ("Checking for updates"). Created and finished by the main
// thread; IsCut may be asked from any thread.
class UpdateWatch {
 public:
  enum class Outcome { kFinished, kTimedOut, kCancelled };

  // The dialog the player sees while the step runs; text as shown under the title.
  static constexpr char kCheckingText[] = "Checking for updates";
  static constexpr uint32_t kDialogDelayMs = 1000;

  // Starts the watchdog for a budget of `budgetMs`, counted from the start of the process and
  // less two seconds kept for what follows the step, so that the game starts within it.
  // Without a thread (none could be made) nothing is cut.
  explicit UpdateWatch(uint32_t budgetMs);
  ~UpdateWatch();
  UpdateWatch(const UpdateWatch&) = delete;
  UpdateWatch& operator=(const UpdateWatch&) = delete;

  // The group the step's HTTP clients must join (CancelGroup::Scope on the main thread).
  cc::CancelGroup& Group();
  // The step's self-update shows a progress dialog of its own from now on: the watch's
  // dialog closes and does not come back. The budget still counts.
  void HandOverDialog();
  // Whether the budget ran out or the player cancelled.
  bool IsCut() const;

  // Ends the watch: the dialog closes and the watchdog ends (waited for briefly; a thread
  // stuck in the system's dialog code is left, and LeftThread tells). Answers how the step
  // ended. Call once.
  Outcome Finish();
  bool LeftThread() const { return m_leftThread; }
  // What the step was doing when it was cut: the address of its last request, or empty.
  CCString InFlight() const;
  // The milliseconds the step took, up to Finish.
  uint32_t ElapsedMs() const { return m_elapsedMs; }

 private:
  class Watchdog;

  CCSharedPtr<Watchdog> m_watchdog;  // owns the group; never null
  bool m_running = false;
  uint32_t m_elapsedMs = 0;
  bool m_leftThread = false;
  bool m_finished = false;
};
