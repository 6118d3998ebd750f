#include "libs/tovik/tovik_logger.h"

#include "libs/tovik/tovik.h"
#include "libs/tovik/tovik_connection.h"

namespace {

constexpr char kApplicationName[] = "Galvorand";
constexpr uint32_t kSessionKind = 0;
constexpr int32_t kResetWaitMs = 1000;
constexpr int32_t kShutdownWaitMs = 100;

}  // namespace

class TovikLogger::Impl {
 public:
  Impl(const char* version, const char* server, uint32_t previousSession)
      : connection(server, Vorq::kTovikDefaultPort) {
    client.Shutdown(kResetWaitMs);  // no session yet: only resets the client
    client.SetConnection(&connection, false);
    // Deferred: the TCP connection is made by the first flush, the session message's.
    if (connection.Open(true))
      client.StartSession(kApplicationName, version, kSessionKind, previousSession, true);
  }

  ~Impl() { client.Shutdown(kShutdownWaitMs); }

  Vorq::Tovik client;
  Vorq::TovikSimpleConnection connection;
};

TovikLogger::TovikLogger(const char* version, const char* server, int startLevel,
                         uint32_t previousSession)
    : LogInterface(startLevel), m_impl(new Impl(version, server, previousSession)) {}

TovikLogger::~TovikLogger() = default;

void TovikLogger::Stop(int32_t code) {
  Vorq::Tovik& client = m_impl->client;
  if (client.IsConnected() || client.IsConnecting())
    client.GetConnection()->Flush(code, nullptr);
}

void TovikLogger::Write(int messageLevel, int line, const char* file, const char* text) {
  m_impl->client.LogText(KindOfLevel(messageLevel), file, uint32_t(line), text);
}

void TovikLogger::WriteFormatted(int messageLevel, int line, const char* file, const char* format,
                                 va_list args) {
  m_impl->client.LogV(KindOfLevel(messageLevel), file, uint32_t(line), format, args);
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
