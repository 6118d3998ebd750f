#include "logging/log_interface.h"

int ParseLogLevel(const CCString& name, int defaultLevel) {
  static const struct {
    const char* name;
    int level;
  } kLevels[] = {
      {"trace", kLogTrace}, {"verbose", kLogVerbose},   {"normal", kLogNormal},
      {"major", kLogMajor}, {"warnings", kLogWarnings}, {"errors", kLogErrors},
  };
  CCString folded = name;
  folded.SetFlags(uint16_t(folded.Flags() | CCString::kIgnoreCase));
  for (const auto& entry : kLevels) {
    if (folded == entry.name)
      return entry.level;
  }
  return defaultLevel;
}

void LogInterface::StopIfStarted(int32_t code) {
  if (started) {
    Stop(code);
    started = false;
  }
}

void LogInterface::StartIfNeeded() {
  if (!started) {
    Start();
    started = true;
  }
}

bool LogInterface::ShouldLog(int messageLevel) {
  if (messageLevel >= level)
    return true;
  if (WantsFilteredNotice()) {
    cc::MutexLock lock(mutex);
    OnFiltered();
  }
  return false;
}

void LogInterface::Log(int messageLevel, int line, const char* file, const char* text) {
  if (!ShouldLog(messageLevel))
    return;
  cc::MutexLock lock(mutex);
  StartIfNeeded();
  Write(messageLevel, line, file, text);
}

void LogInterface::LogF(int messageLevel, int line, const char* file, const char* format, ...) {
  va_list args;
  va_start(args, format);
  LogV(messageLevel, line, file, format, args);
  va_end(args);
}

void LogInterface::LogV(int messageLevel,
                        int line,
                        const char* file,
                        const char* format,
                        va_list args) {
  if (!ShouldLog(messageLevel))
    return;
  cc::MutexLock lock(mutex);
  StartIfNeeded();
  WriteFormatted(messageLevel, line, file, format, args);
}

void LogInterface::LogExtra(int messageLevel, int32_t value) {
  if (!ShouldLog(messageLevel))
    return;
  cc::MutexLock lock(mutex);
  StartIfNeeded();
  WriteExtra(messageLevel, value);
}

void LogInterface::LogExtra2(int messageLevel, int32_t value1, int32_t value2) {
  if (!ShouldLog(messageLevel))
    return;
  cc::MutexLock lock(mutex);
  StartIfNeeded();
  WriteExtra2(messageLevel, value1, value2);
}

void LogInterface::Finish(int32_t code) {
  if (!started)
    return;
  cc::MutexLock lock(mutex);
  if (started) {
    Stop(code);
    started = false;
  }
}
