#include "launcher/update_watch.h"

#include <windows.h>

#include <objbase.h>
#include <shlguid.h>
#include <shlobj.h>

#include <chrono>

#include "launcher/self_update.h"
#include "launcher/text/text_helpers.h"
#include "libs/ccutility/win/system_function.h"

namespace {

// COM bound on first use, as the self-update binds it: a start without an update step never
// loads ole32.
constexpr wchar_t kOle32[] = L"ole32.dll";
constinit cc::win::SystemFunction<decltype(&::CoInitializeEx)> g_coInitializeEx{kOle32,
                                                                                "CoInitializeEx"};
constinit cc::win::SystemFunction<decltype(&::CoUninitialize)> g_coUninitialize{kOle32,
                                                                                "CoUninitialize"};
constinit cc::win::SystemFunction<decltype(&::CoCreateInstance)> g_coCreateInstance{
    kOle32, "CoCreateInstance"};

// How often the watchdog looks at the clock, the dialog's Cancel button and the step.
constexpr uint32_t kPollMs = 20;

uint32_t MsSince(std::chrono::steady_clock::time_point start) {
  return uint32_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start)
                      .count());
}

// The shell's progress dialog with its Cancel button, owned by the watchdog's thread.
class CheckingDialog {
 public:
  CheckingDialog() {
    if (!g_coCreateInstance ||
        FAILED(g_coCreateInstance(CLSID_ProgressDialog, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IProgressDialog, reinterpret_cast<void**>(&m_dialog)))) {
      m_dialog = nullptr;
      return;
    }
    m_dialog->SetTitle(ToWide(kUpdateProductName).c_str());
    m_dialog->SetLine(1, ToWide(UpdateWatch::kCheckingText).c_str(), FALSE, nullptr);
    // No bar position is known: the marquee says that something is going on.
    m_dialog->StartProgressDialog(nullptr, nullptr, PROGDLG_MARQUEEPROGRESS | PROGDLG_NOTIME,
                                  nullptr);
  }
  ~CheckingDialog() {
    if (!m_dialog)
      return;
    m_dialog->StopProgressDialog();
    m_dialog->Release();
  }
  CheckingDialog(const CheckingDialog&) = delete;
  CheckingDialog& operator=(const CheckingDialog&) = delete;

  bool HasUserCancelled() const { return m_dialog && m_dialog->HasUserCancelled(); }

 private:
  IProgressDialog* m_dialog = nullptr;
};

}  // namespace

// Cuts the group once the budget is spent or the player pressed Cancel; shows the dialog
// from the first second until the step finishes, is cut, or hands the screen over to the
// self-update's own dialog.
// It owns the group, so that a watchdog left behind by Finish still has it.
class UpdateWatch::Watchdog : public cc::Thread::Base {
 public:
  explicit Watchdog(uint32_t budgetMs) : m_budgetMs(budgetMs) {}

  int Run() override {
    // COM only once a dialog is due: a quick step loads no ole32 (whose helper threads would
    // otherwise outlive the step).
    bool com = false;
    {
      CheckingDialog* dialog = nullptr;
      while (!stop.load(std::memory_order_acquire)) {
        const uint32_t elapsed = MsSince(start);
        const bool wanted = !group.IsCancelled() && !handedOver.load(std::memory_order_acquire);
        if (wanted && !dialog && elapsed >= kDialogDelayMs) {
          if (!com)
            com =
                g_coInitializeEx && SUCCEEDED(g_coInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
          dialog = new CheckingDialog();
        }
        if (dialog && dialog->HasUserCancelled()) {
          outcome.store(Outcome::kCancelled, std::memory_order_release);
          group.Cancel();
        } else if (elapsed >= m_budgetMs && !group.IsCancelled()) {
          outcome.store(Outcome::kTimedOut, std::memory_order_release);
          group.Cancel();
        }
        if (dialog && (group.IsCancelled() || handedOver.load(std::memory_order_acquire))) {
          delete dialog;
          dialog = nullptr;
        }
        if (handedOver.load(std::memory_order_acquire))
          dialogGone.store(true, std::memory_order_release);
        cc::SleepMs(kPollMs);
      }
      delete dialog;
    }
    if (com && g_coUninitialize)
      g_coUninitialize();
    return 0;
  }

  const std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  std::atomic<bool> stop{false};
  std::atomic<bool> handedOver{false};
  std::atomic<bool> dialogGone{false};  // after handedOver: the watch's dialog is closed
  std::atomic<Outcome> outcome{Outcome::kFinished};
  cc::CancelGroup group;

 private:
  const uint32_t m_budgetMs;
};

namespace {

// Milliseconds since this process was created (0 when the system does not tell).
uint32_t MsSinceProcessStart() {
  FILETIME created, exited, kernel, user, now;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user))
    return 0;
  GetSystemTimeAsFileTime(&now);
  const auto ticks = [](const FILETIME& t) {
    return (uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  };
  const uint64_t start = ticks(created), current = ticks(now);
  return current > start ? uint32_t((current - start) / 10000) : 0;  // 100 ns units
}

// The part of the budget kept for what follows a cut: the cut requests failing, the dialog
// closing, the application DLL loading (about one and a half seconds measured under Wine).
constexpr uint32_t kLaunchReserveMs = 2000;

// The budget counts from the start of the process: the player waits for the game, not for
// one step of the start.
uint32_t StepBudgetMs(uint32_t budgetMs) {
  const uint32_t used = MsSinceProcessStart() + kLaunchReserveMs;
  return budgetMs > used ? budgetMs - used : 0;
}

}  // namespace

UpdateWatch::UpdateWatch(uint32_t budgetMs) : m_watchdog(new Watchdog(StepBudgetMs(budgetMs))) {
  try {
    cc::Thread::Holder holder(m_watchdog.Get());
    holder.Detach();
    m_running = true;
  } catch (const cc::ThreadException&) {
  }
}

cc::CancelGroup& UpdateWatch::Group() {
  return m_watchdog->group;
}

bool UpdateWatch::IsCut() const {
  return m_watchdog->group.IsCancelled();
}

CCString UpdateWatch::InFlight() const {
  return m_watchdog->group.LastRequest();
}

UpdateWatch::~UpdateWatch() {
  if (!m_finished)
    Finish();
}

void UpdateWatch::HandOverDialog() {
  m_watchdog->handedOver.store(true, std::memory_order_release);
  // One progress dialog at a time: the self-update opens its own only once this one is gone
  // (the shell's dialogs of two threads are never made and ended at the same time).
  constexpr uint32_t kHandOverWaitMs = 3000;
  for (uint32_t waited = 0; m_running && waited < kHandOverWaitMs &&
                            !m_watchdog->dialogGone.load(std::memory_order_acquire);
       waited += kPollMs)
    cc::SleepMs(kPollMs);
}

UpdateWatch::Outcome UpdateWatch::Finish() {
  m_finished = true;
  m_elapsedMs = MsSince(m_watchdog->start);
  if (!m_running)
    return Outcome::kFinished;
  m_watchdog->stop.store(true, std::memory_order_release);
  // Closing the dialog takes a moment; a system that does not give it back must not keep the
  // game from starting.
  constexpr uint32_t kEndWaitMs = 3000;
  m_leftThread = !m_watchdog->WaitForEnd(kEndWaitMs);
  return m_watchdog->outcome.load(std::memory_order_acquire);
}
