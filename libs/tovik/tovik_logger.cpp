#include "libs/tovik/tovik_logger.h"

#include <cstdlib>

#include "libs/crashreport/crash_library.h"
#include "libs/crashreport/crash_reporter_wox.h"
#include "libs/tovik/tovik.h"
#include "libs/tovik/tovik_connection.h"
#include "logging/assert_logger.h"

namespace {

constexpr char kApplicationName[] = "Galvorand";
constexpr uint32_t kSessionKind = 0;
constexpr int32_t kResetWaitMs = 1000;
constexpr int32_t kShutdownWaitMs = 100;

}  // namespace

class TovikLogger::Impl {
 public:
  // The runtime heap, for the crash library.
  class SimpleAllocator : public Vorq::Memory::Allocator {
   public:
    void* Allocate(size_t size, uint32_t, uint32_t, uint32_t) override {
      return std::malloc(size);
    }
    void Free(void* pointer, uint32_t, uint32_t, uint32_t) override { std::free(pointer); }
    void* Reallocate(void* pointer, size_t size, uint32_t, uint32_t, uint32_t) override {
      return std::realloc(pointer, size);
    }
  };

  // The members are made in the order of their declaration; the reporter last, once the
  // client it reports through is connected.
  Impl(const char* version, const char* server, uint32_t previousSession)
      : connection(server, Vorq::kTovikDefaultPort) {
    client.Shutdown(kResetWaitMs);  // no session yet: only resets the client
    client.SetConnection(&connection, false);
    // Deferred: the TCP connection is made by the first flush, the session message's.
    if (connection.Open(true))
      client.StartSession(kApplicationName, version, kSessionKind, previousSession, true);

    Vorq::SetCrashLogTarget(&assertLogger);
    Vorq::Memory::SetLibraryAllocator(&allocator);
    // Its own new takes the memory from the library allocator set just above.
    reporter = new Vorq::CrashReporterWox(&client);
    if (reporter) {
      Vorq::CrashReporterFlags |= Vorq::CrashFlag::NoSymbols;
      reporter->Install();
    }
  }

  ~Impl() {
    client.Shutdown(kShutdownWaitMs);
    // Uninstalls and unregisters it; its memory goes back to the library allocator.
    delete reporter;
    if (Vorq::CrashLogTarget() == &assertLogger)
      Vorq::SetCrashLogTarget(nullptr);
    if (Vorq::Memory::LibraryAllocator() == &allocator)
      Vorq::Memory::SetLibraryAllocator(nullptr);
  }

  Vorq::Assert::SimpleLogger assertLogger;  // the current assertion logger while it lives
  Vorq::Tovik client;
  Vorq::TovikSimpleConnection connection;
  SimpleAllocator allocator;
  Vorq::CrashReporterWox* reporter = nullptr;
};

TovikLogger::TovikLogger(const char* version, const char* server, int level,
                         uint32_t previousSession)
    : LogInterface(level), m_impl(new Impl(version, server, previousSession)) {}

TovikLogger::~TovikLogger() = default;

void TovikLogger::Stop(int32_t code) {
  Vorq::Tovik& client = m_impl->client;
  if (client.IsConnected() || client.IsConnecting())
    client.GetConnection()->Flush(code, nullptr);
}

void TovikLogger::Write(int level, int line, const char* file, const char* text) {
  m_impl->client.LogText(KindOfLevel(level), file, uint32_t(line), text);
}

void TovikLogger::WriteFormatted(int level, int line, const char* file, const char* format,
                                 va_list args) {
  m_impl->client.LogV(KindOfLevel(level), file, uint32_t(line), format, args);
}

Vorq::Tovik& TovikLogger::Client() {
  return m_impl->client;
}

uint8_t TovikLogger::KindOfLevel(int level) {
  // Levels past the table go, like level 0, as kind 2.
  static constexpr uint8_t kKinds[] = {2, 1, 1, 1, 3, 3, 4, 5, 5, 6, 7};
  if (level < 0 || level >= int(sizeof kKinds))
    return 2;
  return kKinds[level];
}
