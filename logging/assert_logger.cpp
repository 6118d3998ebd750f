#include "logging/assert_logger.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace Vorq::Assert {

namespace {

std::atomic<Logger*> g_currentLogger{nullptr};

// The location prefix for a message, or null for none.
const char* LocationFormat(uint32_t severity, uint32_t options) {
  bool assertion = (options & kOptionAssertion) != 0;
  if (severity & kSeverityMessage)
    return "%s(%d) : message: ";
  if (severity & kSeverityErrorMask)
    return assertion ? "%s(%d) : assertion error: " : "%s(%d) : error: ";
  if (severity & kSeverityWarningMask)
    return assertion ? "%s(%d) : assertion warning: " : "%s(%d) : warning: ";
  if (severity & kSeverityTrace)
    return "%s(%d) : trace: ";
  return nullptr;
}

}  // namespace

LogDriver::~LogDriver() {
  if (owner)
    owner->DetachDriver(this);
}

Logger* CurrentLogger() {
  return g_currentLogger.load();
}

SimpleLogger::SimpleLogger() {
  g_currentLogger.store(this);
}

SimpleLogger::~SimpleLogger() {
  Logger* self = this;
  g_currentLogger.compare_exchange_strong(self, nullptr);
}

void SimpleLogger::Log(uint32_t category,
                       uint32_t severity,
                       uint32_t value,
                       uint32_t options,
                       const char* file,
                       int32_t line,
                       const char* format,
                       ...) {
  char message[kBufferSize];
  // Room for text; the NUL and, when asked for, the line feed always fit after it.
  const size_t room = (options & kOptionNewLine) ? kBufferSize - 2 : kBufferSize - 1;
  size_t length = 0;
  message[0] = '\0';

  if (options & kOptionLocation) {
    if (const char* prefix = LocationFormat(severity, options)) {
      int n = std::snprintf(message, room + 1, prefix, file ? file : "", int(line));
      length = n < 0 ? 0 : std::min(size_t(n), room);
    }
  }

  if (options & kOptionFinishedText) {
    size_t n = format ? std::min(std::strlen(format), room - length) : 0;
    std::memcpy(message + length, format, n);
    length += n;
  } else if (format) {
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(message + length, room - length + 1, format, args);
    va_end(args);
    if (n > 0)
      length += std::min(size_t(n), room - length);
  }

  if (options & kOptionNewLine)
    message[length++] = '\n';
  message[length] = '\0';
  Output(category, severity, value, options, message, uint32_t(length + 1));
}

void SimpleLogger::Output(uint32_t category,
                          uint32_t severity,
                          uint32_t value,
                          uint32_t options,
                          const char* message,
                          uint32_t length) {
  SendToDebugger(message);
  FILE* stream = (severity & kSeverityMessage) ? stdout : stderr;
  std::fputs(message, stream);
  // The crash reporter logs through here and then ends the process without the run-time's
  // clean-up: what sits in the buffer of a redirected stream would be lost.
  std::fflush(stream);
}

}  // namespace Vorq::Assert
