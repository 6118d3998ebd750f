#include "libs/crashreport/crash_reporter_tovik.h"

#include <cstdio>
#include <cstring>

#include "libs/ccutility/binxml/binxml_streamable.h"
#include "libs/crashreport/crash_library.h"
#include "libs/crashreport/win32/crash_file_stream.h"
#include "libs/tovik/tovik.h"
#include "libs/tovik/tovik_connection.h"

namespace Vorq {

namespace {

constexpr char kSource[] = "crash_reporter_tovik";

// A report as the message carries it: exactly its announced size. The message states the
// value's length before the value is read, while the crash report announces room for values
// that grow between renderings and may end sooner; blanks (whitespace after the document's
// closing tag) fill the rest, and a rendering that grew past the size is cut there.
class SizedReport : public BinXML::Streamable {
 public:
  explicit SizedReport(BinXML::Streamable& report) : m_report(report), m_size(report.GetSize()) {
    memset(m_blanks, ' ', sizeof m_blanks);
  }
  uint32_t GetSize() override { return m_size; }
  void Rewind() override {
    m_report.Rewind();
    m_delivered = 0;
    m_reportEnded = false;
  }
  const char* Read(uint32_t& length) override {
    const uint32_t left = m_size - m_delivered;
    const char* piece = nullptr;
    length = 0;
    if (left == 0)
      return nullptr;
    if (!m_reportEnded) {
      piece = m_report.Read(length);
      if (!piece || length == 0)
        m_reportEnded = true;
    }
    if (m_reportEnded) {
      piece = m_blanks;
      length = sizeof m_blanks;
    }
    if (length > left)
      length = left;
    m_delivered += length;
    return piece;
  }

 private:
  BinXML::Streamable& m_report;
  const uint32_t m_size;
  uint32_t m_delivered = 0;
  bool m_reportEnded = false;
  char m_blanks[256];
};

// Holds a client to the time its delivery has left while it lives.
class ClientTimeLimit {
 public:
  ClientTimeLimit(Tovik* client, int32_t limitMs) : m_client(client) {
    if (m_client)
      m_client->SetTimeLimit(limitMs);
  }
  ~ClientTimeLimit() {
    if (m_client)
      m_client->SetTimeLimit(-1);
  }
  ClientTimeLimit(const ClientTimeLimit&) = delete;
  ClientTimeLimit& operator=(const ClientTimeLimit&) = delete;

 private:
  Tovik* m_client;
};

// The file name of a path: what follows its last backslash.
const char* FileNameOf(const char* path) {
  const char* slash = strrchr(path, '\\');
  return slash ? slash + 1 : path;
}

}  // namespace

bool CrashReporterTovik::SendReport(BinXML::Streamable& report,
                                    const char* dumpPath,
                                    Tovik* client) {
  const bool dumpsOff = (CrashReporterFlags & CrashFlag::NoMinidump) != 0;
  uint8_t kind = Tovik::kKindCrashReport;
  if (report.GetSize() == 0 && dumpPath) {
    if (dumpsOff)
      return true;  // nothing to send
    kind = Tovik::kKindMinidump;
  }
  if (!client)
    return false;
  // A crash's delivery ends a fixed time after the fault, whatever the service does.
  const int32_t timeLeft = DeliveryTimeLeftMs();
  if (timeLeft == 0) {
    CrashLog(kSource, __LINE__, "CrashReporterTovik::SendReport no time left to send\n");
    return false;
  }
  ClientTimeLimit limit(client, timeLeft);

  ITovikConnection* connection = client->GetConnection();
  // A connection not made yet (a crash early in the run) or lost is made now.
  if (!connection->IsOpen() && !connection->IsBlocking())
    connection->Open(false);
  client->GetSessionId(true);
  const char* host = connection->GetHost();
  int port = connection->GetPort();
  if (!client->IsConnected()) {
    CrashLog(kSource, __LINE__, "CrashReporterTovik::SendReport not connected to '%s:%d' %d\n",
             host, port, client->IsConnecting() ? 1 : 0);
    return false;
  }
  CrashLog(kSource, __LINE__, "CrashReporterTovik::SendReport sending via tovik\n");

  const uint32_t expected = client->GetSequence() + 1;
  client->SetNewSequence();
  SizedReport text(report);
  bool sent;
  if (!dumpPath || dumpsOff) {
    BinXML::Binary none;
    sent =
        client->Send(Tovik::CallerValues(), kind, false, kSource, __LINE__, &text, nullptr, &none);
  } else {
    CrashFileStream dump(dumpPath);
    sent = client->Send(Tovik::CallerValues(), kind, false, kSource, __LINE__, &text,
                        FileNameOf(dumpPath), &dump);
  }
  const bool confirmed = client->WaitForReceipt(expected, kReceiptWaitMs) >= expected;

  // The connection may have moved on to another server while sending.
  host = connection->GetHost();
  port = connection->GetPort();
  if (sent && confirmed) {
    CrashLog(kSource, __LINE__, "CrashReporterTovik::SendReport successfully sent to '%s:%d'\n",
             host, port);
  } else if (sent) {
    CrashLog(kSource, __LINE__,
             "CrashReporterTovik::SendReport failed to receive receipt from '%s:%d'\n", host, port);
  } else if (confirmed) {
    CrashLog(kSource, __LINE__, "CrashReporterTovik::SendReport failed to send to '%s:%d'\n", host,
             port);
  } else {
    CrashLog(kSource, __LINE__,
             "CrashReporterTovik::SendReport failed to send and receive receipt from '%s:%d'\n",
             host, port);
  }
  return sent && confirmed;
}

bool CrashReporterTovik::SendFile(const char* reportPath,
                                  const char* dumpPath,
                                  uint32_t sessionId) {
  Tovik* main = TelemetryClient();
  if (!main || !reportPath)
    return false;
  // A client of its own, so the upload is attributed to the session of the run that crashed
  // while the main client keeps its session and queue. It talks to the main client's server.
  ITovikConnection* mainConnection = main->GetConnection();
  Tovik upload;
  upload.Shutdown(kResetWaitMs);
  auto* connection =
      new TovikSimpleConnection(mainConnection->GetHost(), mainConnection->GetPort());
  upload.SetConnection(connection, true);
  if (connection->Open(false)) {
    upload.StartSession(main->GetApplicationName(), main->GetVersion(), main->GetSessionKind(),
                        sessionId);
  }
  CrashFileStream report(reportPath, true);
  return SendReport(report, dumpPath, &upload);
}

void CrashReporterTovik::WriteSessionMarker() {
  Tovik* client = TelemetryClient();
  if (!client)
    return;
  uint32_t session;
  {
    ClientTimeLimit limit(client, DeliveryTimeLeftMs());
    session = client->GetSessionId(true);
  }
  if (session == 0)
    return;
  char path[kPathSize];
  int n = snprintf(path, sizeof path, "%s%s%s.gid", CrashFolder(), FilePrefix(), BaseName());
  if (n <= 0 || size_t(n) >= sizeof path)
    return;
  char text[16];
  int length = snprintf(text, sizeof text, "%u", unsigned(session));
  WriteCrashFile(path, text, uint32_t(length));
}

}  // namespace Vorq
