#include "launcher/telemetry_stack.h"

#include <atomic>
#include <cstdlib>
#include <string>

#include "libs/ccutility/thread/cc_thread.h"
#include "libs/crashreport/crash_library.h"
#include "libs/crashreport/crash_reporter_wox.h"
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

// The upload of kept reports: a reporter that is never installed nor current, over a client
// of its own that names the sink's server and the application (SendFile opens a connection
// of its own to that server for each report).
class TelemetryStack::KeptReports : public cc::Thread::Base {
 public:
  // On the main thread while the sink's reporter is current, so this one never becomes it.
  KeptReports(const char* host, uint16_t port, const char* version)
      : m_host(host), m_port(port), m_version(version), m_uploader(new Uploader()) {}
  ~KeptReports() override { delete m_uploader; }

  bool HasWork() { return m_uploader && m_uploader->HasLoggedFiles(); }
  // Starts the upload now if it still waits (the run is ending).
  void Hurry() { m_hurry.store(true); }

  int Run() override {
    // The start of the run has the machine first: the upload waits a moment, unless the run
    // ends sooner.
    for (uint32_t waited = 0; waited < kStartDelayMs && !m_hurry.load(); waited += kPollMs)
      cc::SleepMs(kPollMs);
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
  static constexpr uint32_t kStartDelayMs = 3000;
  static constexpr uint32_t kPollMs = 10;
  class Uploader : public Vorq::CrashReporterWox {
   public:
    Uploader() : CrashReporterWox(nullptr) {}
    void Use(Vorq::Tovik* client) { m_client = client; }
  };

  const std::string m_host;
  const uint16_t m_port;
  const std::string m_version;
  Uploader* m_uploader;
  std::atomic<bool> m_hurry{false};
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

void TelemetryStack::SendKeptReports(TovikLogger& sink) {
  Vorq::ITovikConnection* connection = sink.CrashClient().GetConnection();
  if (m_keptReports || !connection)
    return;
  CCSharedPtr<KeptReports> kept(new KeptReports(connection->GetHost(), connection->GetPort(),
                                                sink.CrashClient().GetVersion()));
  if (!kept->HasWork())
    return;
  try {
    cc::Thread::Holder holder(kept.Get());
    m_keptReports = kept;
  } catch (const cc::ThreadException&) {
    // The reports wait for the next start.
  }
}

bool TelemetryStack::WaitForKeptReports(uint32_t timeoutMs) {
  if (!m_keptReports)
    return true;
  m_keptReports->Hurry();
  return m_keptReports->WaitForEnd(timeoutMs);
}

void TelemetryStack::CloseSink() {
  // Uninstalls and unregisters it; its memory goes back to the library allocator.
  delete m_reporter;
  m_reporter = nullptr;
}
