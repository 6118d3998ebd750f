#pragma once

#include <vector>

#include "logging/log_interface.h"

// The fan-out sink: every accepted message goes, in the order they were added, to each
// attached sink whose own level accepts it. The lock order is always this logger's mutex
// first, then the sink's. Holds one reference per attached sink.
class MultiLogger : public LogInterface {
 public:
  MultiLogger();
  ~MultiLogger() override;

  // A null sink is ignored. Safe from any thread.
  void Add(CCSharedPtr<LogInterface> sink);
  // Detaches every entry holding `sink`, dropping their references.
  void Remove(CCSharedPtr<LogInterface> sink);
  size_t SinkCount();

  // Stops the started sinks, each under its own lock (Finish holds this logger's lock).
  void Stop(int32_t code) override;
  void StopIfStarted(int32_t code) override;
  void Write(int messageLevel, int line, const char* file, const char* text) override;
  void WriteFormatted(int messageLevel,
                      int line,
                      const char* file,
                      const char* format,
                      va_list args) override;
  bool WantsFilteredNotice() override { return true; }
  void OnFiltered() override;
  void LogExtra(int messageLevel, int32_t value) override;
  void LogExtra2(int messageLevel, int32_t value1, int32_t value2) override;

 private:
  std::vector<CCSharedPtr<LogInterface>> m_sinks;
};

// The process-wide logger: null until the entry function sets it; it then holds one
// reference.
extern MultiLogger* g_mainLogger;
