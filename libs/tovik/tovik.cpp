#include "libs/tovik/tovik.h"

#include <cstdio>
#include <cstring>

#include "libs/ccutility/binxml/binxml_writer.h"
#include "libs/ccutility/net/socket_system.h"
#include "libs/tovik/tovik_clock.h"
#include "libs/tovik/tovik_connection_factory.h"
#include "libs/tovik/tovik_socket_system.h"

namespace Vorq {

namespace {

constexpr const char* kSourceName = "tovik";

// Records of a message and the header tokens the client writes.
constexpr uint8_t kHeaderRecord = 1;
constexpr uint8_t kBodyRecord = 2;
constexpr uint8_t kSequence = 1, kKind = 2, kSource = 3, kLine = 4, kHostName = 7, kCallerValue = 8,
                  kCallerText = 9, kCallerVersion = 10, kTime = 11, kCallerValue12 = 12,
                  kNumbered = 15, kAttachmentName = 17;
// Body token of the text and of the attachment (in that order).
constexpr uint8_t kData = 6;

constexpr uint32_t kPollMs = 10;

// Diagnostics through the assertion logger, when one is registered.
void Diagnose(int line, const char* format, const char* detail, int number) {
  if (Assert::Logger* logger = Assert::CurrentLogger()) {
    logger->Log(0, Assert::kSeverityWarning, 0, Assert::kOptionNewLine | Assert::kOptionLocation,
                kSourceName, line, format, detail, number);
  }
}

void PutBigEndian(char* out, uint32_t value) {
  out[0] = char(value >> 24);
  out[1] = char(value >> 16);
  out[2] = char(value >> 8);
  out[3] = char(value);
}

}  // namespace

// The socket library is started by the first socket a connection makes, on the thread that
// makes it: a client made on the main thread makes no socket call there.
Tovik::Tovik() : m_connection(&m_defaultConnection) {
  tag = kTovikTag;
}

Tovik::~Tovik() {
  if (m_connection) {
    m_connection->Close();
    if (m_ownsConnection)
      delete m_connection;
  }
  m_connection = nullptr;
  m_defaultConnection.Close();
}

void Tovik::SetConnection(ITovikConnection* connection, bool owned) {
  if (m_connection && m_ownsConnection && m_connection != connection)
    delete m_connection;
  m_connection = connection ? connection : &m_defaultConnection;
  m_ownsConnection = connection && owned;
}

void Tovik::SetSourcePrefix(const char* prefix) {
  m_sourcePrefix = prefix;
  size_t length = prefix ? strlen(prefix) : 0;
  m_sourcePrefixLength = uint16_t(length > 0xFFFF ? 0xFFFF : length);
}

const char* Tovik::ShortenSource(const char* source) const {
  if (source && m_sourcePrefixLength && strncmp(source, m_sourcePrefix, m_sourcePrefixLength) == 0)
    return source + m_sourcePrefixLength;
  return source;
}

void Tovik::Output(uint32_t category,
                   uint32_t severity,
                   uint32_t value,
                   uint32_t options,
                   const char* message,
                   uint32_t length) {
  uint8_t kind = (severity & Assert::kSeverityErrorMask)     ? 5
                 : (severity & Assert::kSeverityWarningMask) ? 3
                                                             : 1;
  LogText(kind, nullptr, 0, message);
}

bool Tovik::IsConnected() {
  return m_connection && !m_connection->IsBlocking() && m_connection->IsOpen() &&
         m_connection->Connect();
}

bool Tovik::IsConnecting() {
  return m_connection && !m_connection->IsBlocking() && m_connection->IsOpen() &&
         m_connection->IsConnecting();
}

bool Tovik::IsImmediate(uint8_t kind) const {
  if (m_sendingImmediately)
    return false;
  if (kind == kKindCrashReport || kind == kKindCrashOther || kind == kKindMinidump)
    return true;
  if (m_immediacy >= 1 && (kind == 5 || kind == 6))
    return true;
  return m_immediacy >= 2 && (kind == 3 || kind == 4);
}

void Tovik::Encode(BinXML::Writer& w,
                   const CallerValues& values,
                   uint8_t kind,
                   bool numbered,
                   uint32_t sequence,
                   const char* source,
                   uint32_t line,
                   BinXML::Streamable* text,
                   const char* attachmentName,
                   BinXML::Streamable* attachment,
                   bool withHostName) {
  w.BeginRecord(kHeaderRecord);
  w.SetToken(kSequence);
  w.Write(sequence);
  w.SetToken(kKind);
  w.Write(kind);
  w.SetToken(kSource);
  w.Write(ShortenSource(source) ? ShortenSource(source) : "");
  w.SetToken(kLine);
  w.Write(line);
  if (withHostName) {
    char host[kHostNameSize + 1];
    TovikSystem::HostName(host, sizeof host);
    w.SetToken(kHostName);
    w.Write(static_cast<const char*>(host));
  }
  w.SetToken(kCallerValue);
  w.Write(values.value);
  w.SetToken(kCallerText);
  w.Write(values.text ? values.text : "");
  w.SetToken(kCallerVersion);
  w.Write(values.version ? values.version : "");
  if (m_sendTime) {
    w.SetToken(kTime);
    w.Write(uint64_t(TovikClock::Current().NowSeconds()));
  }
  w.SetToken(kCallerValue12);
  w.Write(values.value12);
  w.SetToken(kNumbered);
  w.Write(numbered);
  w.SetToken(kAttachmentName);
  w.Write(attachmentName ? attachmentName : "");
  w.EndRecord();

  w.BeginRecord(kBodyRecord);
  if (text) {
    w.SetToken(kData);
    w.Write(*text);
  }
  if (attachment) {
    w.SetToken(kData);
    w.Write(*attachment);
  }
  w.EndRecord();
}

bool Tovik::Send(const CallerValues& values,
                 uint8_t kind,
                 bool numbered,
                 const char* source,
                 uint32_t line,
                 BinXML::Streamable* text,
                 const char* attachmentName,
                 BinXML::Streamable* attachment) {
  return SendInternal(values, kind, numbered, source, line, text, attachmentName, attachment,
                      kind == kKindSession);
}

bool Tovik::SendInternal(const CallerValues& values,
                         uint8_t kind,
                         bool numbered,
                         const char* source,
                         uint32_t line,
                         BinXML::Streamable* text,
                         const char* attachmentName,
                         BinXML::Streamable* attachment,
                         bool withHostName) {
  if (!m_connection)
    return false;
  // A dropped connection comes back at a connection step once its pause is over.
  if (!m_connection->IsOpen() && !m_connection->IsBlocking() && !m_connection->Connect() &&
      !m_connection->IsOpen())
    return false;
  uint32_t sequence = 0;
  if (m_newSequence || numbered) {
    sequence = ++m_sequence;
    m_newSequence = false;
  }
  try {
    if (IsImmediate(kind))
      return SendImmediately(values, kind, numbered, sequence, source, line, text, attachmentName,
                             attachment);
    return SendQueued(values, kind, numbered, sequence, source, line, text, attachmentName,
                      attachment, withHostName);
  } catch (const std::exception& e) {
    // A source that delivered fewer bytes than it promised.
    Diagnose(__LINE__, "Tovik::Send message not sent: %s (kind %d)", e.what(), kind);
    return false;
  }
}

bool Tovik::SendQueued(const CallerValues& values,
                       uint8_t kind,
                       bool numbered,
                       uint32_t sequence,
                       const char* source,
                       uint32_t line,
                       BinXML::Streamable* text,
                       const char* attachmentName,
                       BinXML::Streamable* attachment,
                       bool withHostName) {
  BinXML::Writer writer(m_output + kPrefixSize, kMaxQueuedSize - kPrefixSize, 0, true);
  Encode(writer, values, kind, numbered, sequence, source, line, text, attachmentName, attachment,
         withHostName);
  uint64_t size = writer.GetTotalSize() + kPrefixSize;
  if (writer.IsOverflowed() || size > kMaxQueuedSize) {
    Diagnose(__LINE__, "Tovik::Send %s message too large to queue (%d bytes)", "",
             int(size > 0x7FFFFFFF ? 0x7FFFFFFF : size));
    return false;
  }
  PutBigEndian(m_output, uint32_t(size - kPrefixSize));
  bool queued = m_connection->Append(m_output, uint32_t(size));
  if (!queued)  // the queue was full: Append flushed what it could, try once more
    queued = m_connection->Append(m_output, uint32_t(size));
  // Send without waiting (a connection still connecting keeps the message queued), and
  // read the answers that are already there, so they do not pile up.
  m_connection->Flush(0, nullptr);
  WaitForReceipt(m_sequence, 0);
  return queued;
}

bool Tovik::SendImmediately(const CallerValues& values,
                            uint8_t kind,
                            bool numbered,
                            uint32_t sequence,
                            const char* source,
                            uint32_t line,
                            BinXML::Streamable* text,
                            const char* attachmentName,
                            BinXML::Streamable* attachment) {
  m_sendingImmediately = true;
  struct Reset {
    bool& flag;
    ~Reset() { flag = false; }
  } reset{m_sendingImmediately};

  TovikClock& clock = TovikClock::Current();
  const uint64_t start = clock.NowMs();
  const int32_t waitMs = Bounded(kImmediateWaitMs);
  // A deferred connection has made no contact yet: make it now.
  if (m_connection->IsBlocking())
    m_connection->Open(false);
  while (!m_connection->Connect() && m_connection->IsOpen() &&
         clock.NowMs() - start < uint64_t(waitMs))
    clock.SleepMs(kPollMs);
  // What was queued before (the session message first of all) goes ahead of this one.
  uint64_t spent = clock.NowMs() - start;
  if (m_connection->HasPendingOutput())
    m_connection->Flush(spent < uint64_t(waitMs) ? int32_t(waitMs - spent) : 0, nullptr);
  if (!m_connection->IsOpen() || m_connection->IsConnecting() || m_connection->HasPendingOutput()) {
    Diagnose(__LINE__, "Tovik::Send not connected to '%s:%d'", m_connection->GetHost(),
             m_connection->GetPort());
    return false;
  }
  // Values of 4096 bytes and more go straight from their sources; should the small ones
  // together still overflow the output area, stream those too.
  for (uint32_t threshold : {kStreamThreshold, 256u}) {
    BinXML::Writer writer(m_output + kPrefixSize, kOutputAreaSize - kPrefixSize, threshold, true);
    Encode(writer, values, kind, numbered, sequence, source, line, text, attachmentName, attachment,
           kind == kKindSession);
    if (writer.IsOverflowed())
      continue;
    if (!m_connection->SendMessage(writer)) {
      Diagnose(__LINE__, "Tovik::Send failed to send to '%s' (error %d)", m_connection->GetHost(),
               m_connection->GetLastSocketError());
      return false;
    }
    if (sequence)
      WaitForReceipt(sequence, kImmediateWaitMs);
    return true;
  }
  return false;
}

bool Tovik::StartSession(const char* applicationName,
                         const char* version,
                         uint32_t kind,
                         uint32_t previousSession,
                         bool sendNow) {
  m_sessionKind = kind;
  m_applicationName = applicationName ? applicationName : "";
  m_version = version ? version : "";
  m_previousSession = previousSession;
  m_sequence = 1;
  m_highestReceipt = 0;
  m_details = ReceiptDetails();
  m_receiptSecond = 0;
  m_answer[0] = '\0';
  m_sessionId = 0;
  m_newSequence = false;
  m_sessionRequested = false;
  return sendNow ? SendSessionMessage() : true;
}

bool Tovik::SendSessionMessage() {
  CallerValues values;
  values.value = m_sessionKind;
  values.text = m_applicationName.c_str();
  values.version = m_version.c_str();
  values.value12 = m_previousSession;
  if (values.value12 == 0 && m_sessionSource)
    values.value12 = m_sessionSource->load();
  m_sessionRequested =
      SendInternal(values, kKindSession, false, nullptr, 0, nullptr, nullptr, nullptr, true);
  return m_sessionRequested;
}

bool Tovik::LogV(uint8_t kind,
                 const char* source,
                 uint32_t line,
                 const char* format,
                 va_list args) {
  if (kind == kKindCrashReport)
    return LogText(kind, source, line, format);
  char text[kLogTextSize];
  // No format is an empty line; a format the runtime cannot expand is one as well.
  if (!format || vsnprintf(text, sizeof text, format, args) < 0)
    text[0] = '\0';
  return LogText(kind, source, line, text);
}

bool Tovik::Log(uint8_t kind, const char* source, uint32_t line, const char* format, ...) {
  va_list args;
  va_start(args, format);
  bool sent = LogV(kind, source, line, format, args);
  va_end(args);
  return sent;
}

bool Tovik::LogText(uint8_t kind, const char* source, uint32_t line, const char* text) {
  BinXML::String body(text ? text : "");
  return Send(CallerValues(), kind, false, source, line, &body, nullptr, nullptr);
}

uint32_t Tovik::GetSessionId(bool wait) {
  if (m_sessionId == 0 && wait) {
    if (!m_sessionRequested)
      SendSessionMessage();
    WaitForReceipt(1, kSessionWaitMs);
  }
  return m_sessionId;
}

void Tovik::SetTimeLimit(int32_t limitMs) {
  m_limitEndMs = limitMs < 0 ? 0 : TovikClock::Current().NowMs() + uint64_t(limitMs);
}

int32_t Tovik::Bounded(int32_t timeoutMs) const {
  if (!m_limitEndMs)
    return timeoutMs;
  const uint64_t now = TovikClock::Current().NowMs();
  const int32_t left = now >= m_limitEndMs ? 0 : int32_t(m_limitEndMs - now);
  return timeoutMs < 0 || left < timeoutMs ? left : timeoutMs;
}

void Tovik::Shutdown(int32_t timeoutMs) {
  if (!m_connection)
    return;
  if (IsConnected()) {
    // The end of the session carries no texts and no host name.
    SendInternal(CallerValues(), kKindSession, false, nullptr, 0, nullptr, nullptr, nullptr, false);
    uint32_t spent = 0;
    m_connection->Flush(timeoutMs, &spent);
    int32_t left = timeoutMs;
    if (timeoutMs > 0)
      left = spent >= uint32_t(timeoutMs) ? 0 : timeoutMs - int32_t(spent);
    WaitForReceipt(m_sequence, left);
    // Answers left unread would make the close a reset, and the service could lose what it
    // has not read yet.
    char rest[kSmallAnswerSize];
    while (m_connection->Receive(rest, sizeof rest) > 0) {
    }
  }
  m_connection->Close();
  ForgetPartialAnswer();
  SetConnection(nullptr, false);
}

int Tovik::Initialize(const char* applicationName, const char* configuration) {
  Shutdown(1000);
  SetConnection(CreateTovikConnection(configuration).release(), true);
  if (!m_connection->Open(false))
    return -1;
  CCString version = m_version;
  StartSession(applicationName, version.c_str(), m_sessionKind, 0, true);
  return 0;
}

uint32_t Tovik::WaitForReceipt(uint32_t sequence, int32_t timeoutMs) {
  if (!m_connection || m_highestReceipt >= sequence)
    return m_highestReceipt;
  timeoutMs = Bounded(timeoutMs);
  TovikClock& clock = TovikClock::Current();
  if (!m_connection->IsOpen())
    ForgetPartialAnswer();
  uint32_t spent = 0;
  m_connection->Flush(timeoutMs, &spent);
  if (!m_connection->IsOpen())
    ForgetPartialAnswer();
  if (timeoutMs > 0)
    timeoutMs = spent >= uint32_t(timeoutMs) ? 0 : timeoutMs - int32_t(spent);
  const bool limited = timeoutMs >= 0;
  const uint64_t deadline = clock.NowMs() + (limited ? uint64_t(timeoutMs) : 0);

  while (m_highestReceipt < sequence && m_connection->IsOpen() && !m_connection->IsConnecting() &&
         !m_connection->IsBlocking()) {
    Reading reading = ReadAnswer();
    if (reading == Reading::kEnd)
      break;
    uint64_t now = clock.NowMs();
    if (limited && now >= deadline)
      break;
    if (reading == Reading::kApplied)
      continue;
    uint64_t left = limited ? deadline - now : kPollMs;
    clock.SleepMs(uint32_t(left < kPollMs ? left : kPollMs));
  }
  return m_highestReceipt;
}

Tovik::Reading Tovik::ReadAnswer() {
  for (;;) {
    uint32_t want = kPrefixSize;
    if (m_answerHave >= kPrefixSize) {
      const auto* p = reinterpret_cast<const uint8_t*>(m_answerIn);
      uint32_t length = uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
      if (length > kAnswerBufferSize) {
        // Not an answer of ours: reading past it could take for ever, so the connection goes
        // (and comes back at the next connection step).
        Diagnose(__LINE__, "Tovik::WaitForReceipt %s answer of %d bytes: connection dropped",
                 "oversized", int(length > 0x7FFFFFFF ? 0x7FFFFFFF : length));
        ForgetPartialAnswer();
        m_connection->Drop();
        return Reading::kEnd;
      }
      want += length;
    }
    if (m_answerHave == want)
      break;
    int32_t n = m_connection->Receive(m_answerIn + m_answerHave, want - m_answerHave);
    if (n < 0 && m_connection->GetLastSocketError() == TovikError::kWouldBlock)
      return Reading::kNothingYet;  // the rest is read by a later call
    if (n <= 0) {
      // The end of the stream or an error: the connection is of no more use.
      Diagnose(__LINE__, "Tovik::WaitForReceipt %s (error %d)",
               n == 0 ? "connection closed by the service" : "answer not received",
               n == 0 ? 0 : m_connection->GetLastSocketError());
      ForgetPartialAnswer();
      m_connection->Drop();
      return Reading::kEnd;
    }
    m_answerHave += uint32_t(n);
  }
  const uint32_t length = m_answerHave - kPrefixSize;
  ForgetPartialAnswer();
  try {
    Apply(ParseTovikAnswer(m_answerIn + kPrefixSize, length));
  } catch (const std::exception& e) {
    // The answer was read whole, so the stream keeps its place; this one is lost.
    Diagnose(__LINE__, "Tovik::WaitForReceipt undecodable answer: %s (%d bytes)", e.what(),
             int(length));
    return Reading::kEnd;
  }
  return Reading::kApplied;
}

void Tovik::Apply(const TovikAnswer& answer) {
  if (!answer.hasBody)
    return;
  switch (answer.type) {
    case TovikAnswer::kSessionAccepted:
      if (m_highestReceipt < 1)
        m_highestReceipt = 1;
      if (answer.identifier != 0 && answer.identifier != m_sessionId) {
        m_sessionId = answer.identifier;
        SetContinuingGreeting();
      }
      break;
    case TovikAnswer::kReceipt:
    case TovikAnswer::kDetailedReceipt:
      if (answer.receipt > m_highestReceipt)
        m_highestReceipt = answer.receipt;
      m_receiptSecond = answer.second;
      if (answer.type == TovikAnswer::kDetailedReceipt) {
        m_details.receipt = answer.receipt;
        m_details.identifier = answer.identifier;
        m_details.further = answer.further;
        size_t n = answer.text.Length() < kAnswerBufferSize - 1 ? answer.text.Length()
                                                                : kAnswerBufferSize - 1;
        memcpy(m_answer, answer.text.c_str(), n);
        m_answer[n] = '\0';
      }
      break;
    default:
      break;  // an answer type this client does not know
  }
}

void Tovik::SetContinuingGreeting() {
  CallerValues values;
  values.value = m_sessionKind;
  values.text = m_applicationName.c_str();
  values.version = m_version.c_str();
  values.value12 = m_sessionId;
  char greeting[TovikSimpleConnection::kMaxGreeting];
  BinXML::Writer writer(greeting + kPrefixSize, sizeof greeting - kPrefixSize, 0, true);
  try {
    Encode(writer, values, kKindSession, false, 0, nullptr, 0, nullptr, nullptr, nullptr, true);
  } catch (const std::exception&) {
    return;  // the names do not fit: a connection made again starts without a session
  }
  uint64_t size = writer.GetTotalSize();
  if (writer.IsOverflowed() || size + kPrefixSize > sizeof greeting)
    return;
  PutBigEndian(greeting, uint32_t(size));
  m_connection->SetGreeting(greeting, uint32_t(size + kPrefixSize));
}

}  // namespace Vorq
