#include "launcher/telemetry_stack.h"

#include <atomic>
#include <cstdlib>
#include <string>

#include "libs/ccutility/thread/cc_thread.h"
#include "libs/crashreport/crash_library.h"
#include "libs/crashreport/crash_reporter_wox.h"
#include "libs/crashreport/win32/crash_handler_thread.h"
#include "libs/tovik/tovik.h"
#include "libs/tovik/tovik_connection.h"
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

// The start-up's background thread, the one thread the main thread makes before the
// application runs (each costs its maker a millisecond or more): once the start is over (or
// a second has passed) it starts the first sink's telemetry thread and the crash handler's
// thread, which then load their libraries without holding the system's loader against the
// start's own loading, and then it looks after the crash folder. The
// folder is pruned, and the reports an earlier run kept go through a reporter that is never
// installed nor current, over a client of its own that names the sink's server and the
// application (SendFile opens a connection of its own to that server for each report).
class TelemetryStack::Background : public cc::Thread::Base {
 public:
  // On the main thread while the sink's reporter is current, so this one never becomes it.
  Background(CCSharedPtr<TovikLogger> sink, const char* host, uint16_t port, const char* version)
      : m_sink(std::move(sink)),
        m_host(host),
        m_port(port),
        m_version(version),
        m_uploader(new Uploader()) {}
  ~Background() override { delete m_uploader; }

  // Starts the upload now if it still waits (the run is ending).
  void Hurry() {
    m_startOver.store(true);
    m_hurry.store(true);
  }
  void StartIsOver() { m_startOver.store(true); }

  int Run() override {
    for (uint32_t waited = 0; waited < kStartHoldMs && !m_startOver.load(); waited += kPollMs)
      cc::SleepMs(kPollMs);
    TovikLogger::ReleaseNetwork();
    Vorq::CrashHandlerThread::PrepareNow();
    m_sink->StartThread();
    m_sink.Reset();
    Vorq::CrashHandlerThread::StartHeld();
    // The start of the run has the machine first: the folder is looked at after a moment,
    // unless the run ends sooner.
    for (uint32_t waited = 0; waited < kStartDelayMs && !m_hurry.load(); waited += kPollMs)
      cc::SleepMs(kPollMs);
    if (!m_uploader)
      return 0;
    m_uploader->DeleteOldLoggedFiles();
    if (!m_uploader->HasLoggedFiles())
      return 0;
    Vorq::Tovik client;
    client.SetConnection(new Vorq::TovikSimpleConnection(m_host.c_str(), m_port), true);
    client.StartSession(kApplicationName, m_version.c_str(), 0, 0, false);
    m_uploader->Use(&client);
    m_uploader->UploadLoggedFiles();
    m_uploader->Use(nullptr);
    return 0;
  }

 private:
  static constexpr char kApplicationName[] = "Galvorand";
  static constexpr uint32_t kStartHoldMs = 1000;
  static constexpr uint32_t kStartDelayMs = 3000;
  static constexpr uint32_t kPollMs = 10;
  class Uploader : public Vorq::CrashReporterWox {
   public:
    Uploader() : CrashReporterWox(nullptr) {}
    void Use(Vorq::Tovik* client) { m_client = client; }
  };

  CCSharedPtr<TovikLogger> m_sink;  // until its thread is started
  const std::string m_host;
  const uint16_t m_port;
  const std::string m_version;
  Uploader* m_uploader;
  std::atomic<bool> m_startOver{false};
  std::atomic<bool> m_hurry{false};
};

TelemetryStack::TelemetryStack() : m_library(new LibraryState) {
  Vorq::SetCrashLogTarget(&m_library->assertLogger);
  Vorq::Memory::SetLibraryAllocator(m_library);
  // The crash handler's thread is started by the background thread, and its libraries and
  // the socket library are loaded once the start is over: loading them meanwhile would hold
  // the system's loader against the launcher's own.
  Vorq::CrashHandlerThread::HoldStart();
  TovikLogger::HoldNetwork();
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
  if (m_background)
    return Install(new TovikLogger(version, server, level, previousSession));
  // The first sink's thread is started by the background thread.
  CCSharedPtr<TovikLogger> sink =
      Install(new TovikLogger(version, server, level, previousSession, false));
  m_firstSink = sink;
  return sink;
}

CCSharedPtr<TovikLogger> TelemetryStack::OpenSink(const char* version,
                                                  const char* server,
                                                  int level,
                                                  const TovikLogger& predecessor) {
  return Install(new TovikLogger(version, server, level, predecessor));
}

CCSharedPtr<TovikLogger> TelemetryStack::Install(CCSharedPtr<TovikLogger> sink) {
  // The reporter has a client of its own: the telemetry thread may be frozen in the middle
  // of a send when a crash comes. Installed once; a later sink's client takes over.
  if (m_reporter) {
    m_reporter->UseClient(&sink->CrashClient());
    return sink;
  }
  // Its own new takes the memory from the library allocator.
  m_reporter = new Vorq::CrashReporterWox(&sink->CrashClient());
  if (m_reporter) {
    Vorq::CrashReporterFlags |= Vorq::CrashFlag::NoSymbols;
    m_reporter->Install();
  }
  return sink;
}

void TelemetryStack::StartBackground() {
  CCSharedPtr<TovikLogger> sink = m_firstSink;
  m_firstSink.Reset();
  if (!sink)
    return;
  Vorq::ITovikConnection* connection = sink->CrashClient().GetConnection();
  CCSharedPtr<Background> kept(new Background(sink, connection->GetHost(), connection->GetPort(),
                                              sink->CrashClient().GetVersion()));
  try {
    cc::Thread::Holder holder(kept.Get());
    m_background = kept;
  } catch (const cc::ThreadException&) {
    // Without it the threads are made here, and the reports wait for the next start.
    sink->StartThread();
    Vorq::CrashHandlerThread::StartHeld();
  }
}

void TelemetryStack::StartIsOver() {
  StartBackground();
  Vorq::CrashHandlerThread::PrepareNow();
  TovikLogger::ReleaseNetwork();
  if (m_background)
    m_background->StartIsOver();
}

bool TelemetryStack::WaitForKeptReports(uint32_t timeoutMs) {
  StartBackground();
  if (!m_background)
    return true;
  m_background->Hurry();
  return m_background->WaitForEnd(timeoutMs);
}

void TelemetryStack::CloseSink() {
  // Uninstalls and unregisters it; its memory goes back to the library allocator.
  delete m_reporter;
  m_reporter = nullptr;
}
