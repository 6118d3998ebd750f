#include "launcher/telemetry_stack.h"

#include <cstdlib>

#include "libs/crashreport/crash_library.h"
#include "libs/crashreport/crash_reporter_wox.h"
#include "logging/assert_logger.h"

// The runtime heap for the crash library, and the assertion logger it reports through.
class TelemetryStack::LibraryState : public Vorq::Memory::Allocator {
 public:
  void* Allocate(size_t size, uint32_t, uint32_t, uint32_t) override { return std::malloc(size); }
  void Free(void* pointer, uint32_t, uint32_t, uint32_t) override { std::free(pointer); }
  void* Reallocate(void* pointer, size_t size, uint32_t, uint32_t, uint32_t) override {
    return std::realloc(pointer, size);
  }

  Vorq::Assert::SimpleLogger assertLogger;  // the current assertion logger while it lives
};

TelemetryStack::TelemetryStack() : m_library(new LibraryState) {
  Vorq::SetCrashLogTarget(&m_library->assertLogger);
  Vorq::Memory::SetLibraryAllocator(m_library);
}

TelemetryStack::~TelemetryStack() {
  CloseSink();
  if (Vorq::CrashLogTarget() == &m_library->assertLogger)
    Vorq::SetCrashLogTarget(nullptr);
  if (Vorq::Memory::LibraryAllocator() == m_library)
    Vorq::Memory::SetLibraryAllocator(nullptr);
  delete m_library;
}

CCSharedPtr<TovikLogger> TelemetryStack::OpenSink(const char* version,
                                                  const char* server,
                                                  int level,
                                                  uint32_t previousSession) {
  CloseSink();
  return Install(new TovikLogger(version, server, level, previousSession));
}

CCSharedPtr<TovikLogger> TelemetryStack::OpenSink(const char* version,
                                                  const char* server,
                                                  int level,
                                                  const TovikLogger& predecessor) {
  CloseSink();
  return Install(new TovikLogger(version, server, level, predecessor));
}

CCSharedPtr<TovikLogger> TelemetryStack::Install(CCSharedPtr<TovikLogger> sink) {
  // The reporter has a client of its own: the telemetry thread may be frozen in the middle
  // of a send when a crash comes. Its own new takes the memory from the library allocator.
  m_reporter = new Vorq::CrashReporterWox(&sink->CrashClient());
  if (m_reporter) {
    Vorq::CrashReporterFlags |= Vorq::CrashFlag::NoSymbols;
    m_reporter->Install();
  }
  return sink;
}

void TelemetryStack::CloseSink() {
  // Uninstalls and unregisters it; its memory goes back to the library allocator.
  delete m_reporter;
  m_reporter = nullptr;
}
