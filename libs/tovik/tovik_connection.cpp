#include "libs/tovik/tovik_connection.h"

#include <atomic>
#include <cstring>

#include "libs/ccutility/binxml/binxml_writer.h"
#include "libs/ccutility/net/socket_system.h"
#include "libs/tovik/binxml_streaming_socket.h"
#include "libs/tovik/tovik_clock.h"
#include "libs/tovik/tovik_socket_system.h"

namespace Vorq {

namespace {

std::atomic<const char*> g_publicServer{nullptr};

// Copies at most `most` characters of `text` into `out` and ends it.
void CopyCut(char* out, const char* text, uint32_t most) {
  size_t length = text ? strnlen(text, most) : 0;
  memcpy(out, text ? text : "", length);
  out[length] = '\0';
}

bool IsLostConnection(int error) {
  // WSAESHUTDOWN is what the host reports for a write after the peer reset the connection.
  return error == TovikError::kNotConnected || error == TovikError::kReset ||
         error == TovikError::kAborted || error == 10058;
}

uint32_t ReadBigEndian(const char* in) {
  const unsigned char* b = reinterpret_cast<const unsigned char*>(in);
  return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
}

bool IsStillConnecting(int error) {
  return error == TovikError::kWouldBlock || error == TovikError::kAlready ||
         error == TovikError::kInProgress || error == TovikError::kInvalid;
}

}  // namespace

const char* TovikPublicServer() {
  const char* server = g_publicServer.load();
  return server ? server : kTovikPublicServer;
}

void SetTovikPublicServer(const char* hostAndPort) {
  g_publicServer.store(hostAndPort);
}

TovikSimpleConnection::TovikSimpleConnection(const char* host, uint16_t port)
    : m_defaultPort(port), m_port(port) {
  CopyCut(m_hostText, host, kMaxHost);
}

TovikSimpleConnection::~TovikSimpleConnection() {
  Close();
}

bool TovikSimpleConnection::Open(bool deferred) {
  Close();
  m_reconnect = false;
  m_state = deferred ? kBlocking : 0;
  if (!Reopen()) {
    m_state = 0;
    return false;
  }
  return true;
}

bool TovikSimpleConnection::Reopen() {
  if (m_socket)
    m_socket->Close();
  m_socket = std::make_unique<TCPSocket>();
  if (!m_socket->IsValid() || !m_socket->SetNonBlocking(true)) {
    m_lastError = m_socket->GetLastSocketError();
    m_socket.reset();
    m_state &= uint8_t(~(kOpen | kConnecting));
    return false;
  }
  m_firstAttempt = true;
  m_resolved = false;
  // A deferred connection stays deferred: its first Flush makes it open and connecting.
  if (!(m_state & kBlocking))
    m_state |= kOpen | kConnecting;
  return true;
}

int32_t TovikSimpleConnection::Receive(void* buffer, uint32_t length) {
  if (!m_socket) {
    m_lastError = TovikError::kNotConnected;
    return -1;
  }
  int64_t n = m_socket->Receive(buffer, length);
  if (n < 0)
    m_lastError = m_socket->GetLastSocketError();
  return int32_t(n);
}

bool TovikSimpleConnection::SendMessage(BinXML::Writer& message) {
  if (!m_socket || !IsConnectedFlag()) {
    m_lastError = TovikError::kNotConnected;
    return false;
  }
  uint64_t total = message.GetTotalSize();
  if (total > 0xFFFFFFFFu || message.IsOverflowed())
    return false;
  const uint8_t prefix[4] = {uint8_t(total >> 24), uint8_t(total >> 16), uint8_t(total >> 8),
                             uint8_t(total)};
  BinXML::StreamingSocket output(*m_socket);
  if (output.Write(prefix, sizeof prefix) && message.Send(output))
    return true;
  m_lastError = output.GetLastSocketError();
  // Part of a message on the wire leaves the service unable to find the next one.
  if (output.GetBytesSent() > 0 || IsLostConnection(m_lastError))
    Drop();
  return false;
}

bool TovikSimpleConnection::Append(const void* data, uint32_t length) {
  if (length > kOutputSize - m_outputLength) {
    Flush(0, nullptr);
    return false;
  }
  memcpy(m_output + m_outputLength, data, length);
  m_outputLength += length;
  return true;
}

void TovikSimpleConnection::WaitStep(int32_t timeoutMs, uint64_t elapsedMs) {
  constexpr uint32_t kPollMs = 10;
  if (timeoutMs == 0)
    return;
  uint32_t wait = kPollMs;
  if (timeoutMs > 0) {
    uint64_t left = elapsedMs < uint64_t(timeoutMs) ? uint64_t(timeoutMs) - elapsedMs : 0;
    wait = left < kPollMs ? uint32_t(left) : kPollMs;
  }
  if (wait > 0)
    TovikClock::Current().SleepMs(wait);
}

bool TovikSimpleConnection::Flush(int32_t timeoutMs, uint32_t* elapsedMs) {
  if (elapsedMs)
    *elapsedMs = 0;
  if (m_outputLength == 0)
    return true;
  // A deferred connection is made by the first flush that has something to send.
  if (m_state & kBlocking)
    m_state = uint8_t((m_state & ~kBlocking) | kOpen | kConnecting);

  TovikClock& clock = TovikClock::Current();
  const uint64_t start = clock.NowMs();
  auto elapsed = [&] {
    uint64_t now = clock.NowMs();
    return now > start ? now - start : 0;
  };
  bool sent = false;
  if (!IsOpen())
    Connect();  // a dropped connection comes back here
  while (IsOpen()) {
    if (!Connect()) {
      WaitStep(timeoutMs, elapsed());
    } else {
      int64_t n = m_socket->Send(m_output, m_outputLength);
      if (n >= 0) {
        NoteSent(uint32_t(n));
        memmove(m_output, m_output + n, m_outputLength - size_t(n));
        m_outputLength -= uint32_t(n);
        if (m_outputLength == 0) {
          sent = true;
          break;
        }
      } else {
        m_lastError = m_socket->GetLastSocketError();
        if (m_lastError == TovikError::kWouldBlock)
          WaitStep(timeoutMs, elapsed());
        else if (IsLostConnection(m_lastError))
          Drop();
        else
          break;
      }
    }
    if (timeoutMs >= 0 && elapsed() >= uint64_t(timeoutMs))
      break;
  }
  if (elapsedMs) {
    uint64_t took = elapsed();
    if (timeoutMs >= 0 && took > uint64_t(timeoutMs))
      took = uint64_t(timeoutMs);
    *elapsedMs = took > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(took);
  }
  return sent;
}

void TovikSimpleConnection::Close() {
  if (m_socket) {
    m_socket->Close();
    m_socket.reset();
  }
  m_state &= uint8_t(~(kOpen | kConnecting));
  // The next connection must begin at a message boundary.
  DropPartialMessage();
}

void TovikSimpleConnection::Drop() {
  Close();
  m_reconnect = true;
  m_droppedAtMs = TovikClock::Current().NowMs();
}

void TovikSimpleConnection::SetGreeting(const void* data, uint32_t length) {
  m_greetingLength = data && length <= kMaxGreeting ? length : 0;
  if (m_greetingLength)
    memcpy(m_greeting, data, m_greetingLength);
}

void TovikSimpleConnection::NoteSent(uint32_t sent) {
  uint32_t at = 0;
  if (m_partialRest) {
    if (sent < m_partialRest) {
      m_partialRest -= sent;
      return;
    }
    at = m_partialRest;
    m_partialRest = 0;
  }
  while (at < sent && m_outputLength - at >= 4) {
    uint64_t size = uint64_t(ReadBigEndian(m_output + at)) + 4;
    if (at + size > sent) {
      // Bytes that do not frame a message (a caller of its own) are kept as they are.
      uint64_t rest = at + size - sent;
      m_partialRest = rest <= m_outputLength - sent ? uint32_t(rest) : 0;
      return;
    }
    at += uint32_t(size);
  }
}

void TovikSimpleConnection::DropPartialMessage() {
  uint32_t rest = m_partialRest <= m_outputLength ? m_partialRest : m_outputLength;
  memmove(m_output, m_output + rest, m_outputLength - rest);
  m_outputLength -= rest;
  m_partialRest = 0;
}

void TovikSimpleConnection::QueueGreeting() {
  if (m_greetingLength == 0)
    return;
  while (m_outputLength > 0 && m_outputLength + m_greetingLength > kOutputSize) {
    uint64_t size = m_outputLength >= 4 ? uint64_t(ReadBigEndian(m_output)) + 4 : m_outputLength;
    uint32_t cut = size < m_outputLength ? uint32_t(size) : m_outputLength;
    memmove(m_output, m_output + cut, m_outputLength - cut);
    m_outputLength -= cut;
    ++m_droppedMessages;
  }
  memmove(m_output + m_greetingLength, m_output, m_outputLength);
  memcpy(m_output, m_greeting, m_greetingLength);
  m_outputLength += m_greetingLength;
}

void TovikSimpleConnection::SetPort(uint16_t port) {
  m_defaultPort = port;
  m_port = port;
}

int32_t TovikSimpleConnection::BytesAvailable() {
  if (!m_socket)
    return -1;
  int64_t n = m_socket->BytesAvailable();
  if (n < 0)
    m_lastError = m_socket->GetLastSocketError();
  return n > 0x7FFFFFFF ? 0x7FFFFFFF : int32_t(n);
}

int TovikSimpleConnection::Poll() {
  if (!m_socket)
    return 0;
  int bits = m_socket->Poll();
  if (bits < 0) {
    m_lastError = m_socket->GetLastSocketError();
    return 4;  // a socket that cannot be polled is in error
  }
  return bits;
}

void TovikSimpleConnection::SetServer(const char* host, uint16_t port) {
  Close();
  CopyCut(m_hostText, host, kMaxHost);
  m_resolved = false;
  SetPort(port);
}

uint16_t TovikSimpleConnection::PortOfHost(const char* host) const {
  const char* colon = strchr(host, ':');
  if (!colon || !colon[1])
    return m_defaultPort;
  uint32_t port = 0;
  for (const char* p = colon + 1; *p; ++p) {
    if (*p < '0' || *p > '9' || port > 65535)
      return m_defaultPort;
    port = port * 10 + uint32_t(*p - '0');
  }
  return port == 0 || port > 65535 ? m_defaultPort : uint16_t(port);
}

int TovikSimpleConnection::ConnectTo(const char* host, uint16_t port) {
  if (!m_socket)
    return TovikError::kNotConnected;
  if (!m_resolved) {
    namespace sys = cc::SocketSystem;
    if (!sys::ParseIPv4(host, &m_address) &&
        sys::Resolve(host, port, TovikSystem::kStreamType, &m_address) != 0) {
      int error = sys::GetLastError();
      return error ? error : TovikError::kHostNotFound;
    }
    m_resolved = true;
  }
  return m_socket->Connect(m_address, port);
}

bool TovikSimpleConnection::Connect() {
  if (DiscoveryStep())
    return false;
  if (!IsOpen()) {
    if (!m_reconnect || TovikClock::Current().NowMs() - m_droppedAtMs < kReconnectPauseMs)
      return false;
    // Lost before: open again to the same server, and let the greeting lead.
    m_reconnect = false;
    m_state &= uint8_t(~kBlocking);
    if (!Reopen())
      return false;
    QueueGreeting();
  }
  if (!IsConnecting())
    return true;
  if (!m_host[0]) {
    NextServer();
    return false;
  }
  if (!m_socket && !Reopen())
    return false;

  char host[kHostField];
  CopyCut(host, m_host, kMaxHost);
  m_port = PortOfHost(host);
  if (char* colon = strchr(host, ':'))
    *colon = '\0';

  int rc = ConnectTo(host, m_port);
  m_lastError = rc;
  if (rc == 0 || rc == TovikError::kIsConnected) {
    m_state &= uint8_t(~kConnecting);
  } else if (IsStillConnecting(rc)) {
    uint64_t now = TovikClock::Current().NowMs();
    if (m_firstAttempt) {
      m_firstAttempt = false;
      m_firstAttemptMs = now;
    } else if (now - m_firstAttemptMs > kConnectTimeLimitMs) {
      NextServer();
    }
  } else {
    NextServer();
  }
  return IsConnectedFlag();
}

TovikPublicConnection::TovikPublicConnection()
    : TovikSimpleConnection(TovikPublicServer(), kTovikDefaultPort) {}

TovikOneFromListConnection::TovikOneFromListConnection(const char* list) : m_list(list) {
  uint32_t cursor = 0;
  const char* first = m_list.NextHost(&cursor);
  CopyCut(m_hostText, first ? first : "", kMaxHost);
}

bool TovikOneFromListConnection::Open(bool deferred) {
  m_cursor = 0;
  const char* first = m_list.NextHost(&m_cursor);
  SetServer(first ? first : "", GetPort());
  return TovikSimpleConnection::Open(deferred);
}

void TovikOneFromListConnection::NextServer() {
  const char* next = m_list.NextHost(&m_cursor);
  if (!next) {
    Close();
    return;
  }
  SetHost(next);  // closes; a deferred connection stays deferred
  Reopen();
}

}  // namespace Vorq
