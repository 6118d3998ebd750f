#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>

#include "launcher/text/cc_shared_ptr.h"
#include "launcher/text/cc_string.h"
#include "libs/ccutility/thread/cc_mutex.h"

// Message levels: a higher number is more severe.
constexpr int kLogTrace = 0;
constexpr int kLogVerbose = 1;
constexpr int kLogNormal = 2;
constexpr int kLogMajor = 3;
constexpr int kLogWarnings = 4;        // "warnings" in the preferences
constexpr int kLogStartupWarning = 5;  // warnings of the start-up sequence
constexpr int kLogErrors = 7;          // "errors"; fatal start-up errors

// "trace", "verbose", "normal", "major", "warnings" or "errors" in any case gives its level;
// anything else (including the empty text) gives `defaultLevel`.
int ParseLogLevel(const CCString& name, int defaultLevel);

// The abstract log sink. Callers use the non-virtual Log, LogF, Finish and ShouldLog; a
// sink is started by its first accepted message and writes only under its own `mutex`.
// Reference-counted: holders AddRef when they store a pointer and delete on Release.
class LogInterface : public CCSharedPtr_Base {
 public:
  explicit LogInterface(int startLevel) : level(startLevel) {}
  ~LogInterface() override = default;

  // Called under `mutex` before the first accepted message (and again after a stop).
  virtual void Start() {}
  virtual void Stop(int32_t code) {}
  virtual void StopIfStarted(int32_t code);
  virtual void Write(int messageLevel, int line, const char* file, const char* text) = 0;
  virtual void WriteFormatted(int messageLevel,
                              int line,
                              const char* file,
                              const char* format,
                              va_list args)
#if defined(__GNUC__)
      __attribute__((format(printf, 5, 0)))
#endif
      = 0;
  virtual void WriteExtra(int messageLevel, int32_t value) {}
  virtual void WriteExtra2(int messageLevel, int32_t value1, int32_t value2) {}
  // A sink that answers true hears of every message its level test drops.
  virtual bool WantsFilteredNotice() {
    return false;
  }
  virtual void OnFiltered() {}
  virtual void LogExtra(int messageLevel, int32_t value);
  virtual void LogExtra2(int messageLevel, int32_t value1, int32_t value2);

  // True when `messageLevel` reaches this sink's level; a dropped message is announced
  // to OnFiltered (under the lock) when the sink wants that.
  bool ShouldLog(int messageLevel);
  // Level test, lock, start on demand, Write. Safe from any thread.
  void Log(int messageLevel, int line, const char* file, const char* text);
  void LogF(int messageLevel, int line, const char* file, const char* format, ...)
#if defined(__GNUC__)
      __attribute__((format(printf, 5, 6)))
#endif
      ;
  void LogV(int messageLevel, int line, const char* file, const char* format, va_list args)
#if defined(__GNUC__)
      __attribute__((format(printf, 5, 0)))
#endif
      ;
  // Stops the sink when it is started (the start-up sequence uses code 100); the next
  // accepted message starts it again.
  void Finish(int32_t code);

  void SetLevel(int newLevel) {
    level = newLevel;
  }

  cc::Mutex mutex;
  // The lowest level this sink accepts; set before the sink is shared between threads.
  int32_t level;
  // Between Start and the next Stop. Read without the lock by Finish, so atomic.
  std::atomic<bool> started{false};

 protected:
  // Call with `mutex` held.
  void StartIfNeeded();
};
