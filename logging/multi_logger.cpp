#include "logging/multi_logger.h"

#include <algorithm>

MultiLogger* g_mainLogger = nullptr;

MultiLogger::MultiLogger() : LogInterface(kLogNormal) {}

MultiLogger::~MultiLogger() {
  cc::MutexLock lock(mutex);
  m_sinks.clear();
}

void MultiLogger::Add(CCSharedPtr<LogInterface> sink) {
  if (!sink)
    return;
  cc::MutexLock lock(mutex);
  m_sinks.push_back(sink);
}

void MultiLogger::Remove(CCSharedPtr<LogInterface> sink) {
  cc::MutexLock lock(mutex);
  m_sinks.erase(std::remove(m_sinks.begin(), m_sinks.end(), sink), m_sinks.end());
}

size_t MultiLogger::SinkCount() {
  cc::MutexLock lock(mutex);
  return m_sinks.size();
}

void MultiLogger::Stop(int32_t code) {
  for (auto& sink : m_sinks) {
    // Taken in the usual order (this logger's lock is held by Finish), so a thread writing
    // to the sink directly never sees it closed under its feet.
    cc::MutexLock sinkLock(sink->mutex);
    if (sink->started) {
      sink->Stop(code);
      sink->started = false;
    }
  }
}

void MultiLogger::StopIfStarted(int32_t code) {
  cc::MutexLock lock(mutex);
  for (auto& sink : m_sinks) {
    cc::MutexLock sinkLock(sink->mutex);
    sink->StopIfStarted(code);
  }
  started = false;
}

void MultiLogger::Write(int messageLevel, int line, const char* file, const char* text) {
  for (auto& sink : m_sinks)
    sink->Log(messageLevel, line, file, text);
}

void MultiLogger::WriteFormatted(int messageLevel,
                                 int line,
                                 const char* file,
                                 const char* format,
                                 va_list args) {
  for (auto& sink : m_sinks) {
    // Each sink consumes the argument list, so each gets its own copy.
    va_list copy;
    va_copy(copy, args);
    sink->LogV(messageLevel, line, file, format, copy);
    va_end(copy);
  }
}

void MultiLogger::OnFiltered() {
  cc::MutexLock lock(mutex);
  for (auto& sink : m_sinks) {
    if (sink->WantsFilteredNotice()) {
      cc::MutexLock sinkLock(sink->mutex);
      sink->OnFiltered();
    }
  }
}

void MultiLogger::LogExtra(int messageLevel, int32_t value) {
  cc::MutexLock lock(mutex);
  for (auto& sink : m_sinks)
    sink->LogExtra(messageLevel, value);
}

void MultiLogger::LogExtra2(int messageLevel, int32_t value1, int32_t value2) {
  cc::MutexLock lock(mutex);
  for (auto& sink : m_sinks)
    sink->LogExtra2(messageLevel, value1, value2);
}
