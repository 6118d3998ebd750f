#include "libs/tovik/tovik_discovery_connection.h"

#include <cstring>

#include "libs/ccutility/net/socket_system.h"
#include "libs/tovik/tovik_clock.h"

namespace Vorq {

namespace {

constexpr uint32_t kBroadcastAddress = 0xFFFFFFFFu;  // 255.255.255.255

}  // namespace

TovikAutoDiscoveryConnection::TovikAutoDiscoveryConnection() : TovikSimpleConnection("") {}

TovikAutoDiscoveryConnection::~TovikAutoDiscoveryConnection() = default;

bool TovikAutoDiscoveryConnection::Open(bool deferred) {
  SetServer("", GetPort());
  m_everConnected = false;
  if (!TovikSimpleConnection::Open(deferred))
    return false;
  StartDiscovery();
  return true;
}

bool TovikAutoDiscoveryConnection::IsOpen() {
  CheckDiscovery();
  return TovikSimpleConnection::IsOpen();
}

bool TovikAutoDiscoveryConnection::Connect() {
  CheckDiscovery();
  bool connected = TovikSimpleConnection::Connect();
  if (connected)
    m_everConnected = true;
  return connected;
}

bool TovikAutoDiscoveryConnection::DiscoveryStep() {
  if (!m_discovering)
    return false;
  WaitForServer(false);
  return m_discovering;
}

void TovikAutoDiscoveryConnection::DiscoveryFailed() {
  m_discovering = false;
  m_listener.reset();
  if (m_everConnected) {
    Close();
    return;
  }
  // Stay open with no host: messages keep queueing until a later attempt finds a server.
  if (!m_waiting) {
    m_waiting = true;
    m_hostText[0] = '\0';
    if (m_socket)
      m_socket->Close();
  }
}

bool TovikAutoDiscoveryConnection::Broadcast() {
  m_listener = std::make_unique<UDPSocket>();
  if (!m_listener->IsValid() || !m_listener->SetReuseAddress() ||
      !m_listener->Bind(m_discoveryPort) || !m_listener->SetNonBlocking(true)) {
    m_lastError = m_listener->GetLastSocketError();
    m_listener.reset();
    return false;
  }
  UDPSocket sender;
  if (!sender.IsValid() || !sender.SetBroadcast() ||
      sender.SendTo(kClientHello, sizeof kClientHello, kBroadcastAddress, m_discoveryPort) < 0) {
    m_lastError = sender.GetLastSocketError();
    return false;
  }
  return true;  // the sender is shut down and closed as it goes out of scope
}

int32_t TovikAutoDiscoveryConnection::ReceiveFrom(void* buffer,
                                                  uint32_t length,
                                                  uint32_t* address) {
  if (!m_listener)
    return -1;
  int64_t n = m_listener->ReceiveFrom(buffer, length, address);
  return n < 0 ? -1 : int32_t(n);
}

void TovikAutoDiscoveryConnection::StartDiscovery() {
  m_discovering = true;
  m_found = false;
  m_waiting = false;
  m_hostText[0] = '\0';
  Broadcast();
  m_discoveryStartMs = TovikClock::Current().NowMs();
}

void TovikAutoDiscoveryConnection::CheckDiscovery() {
  if (m_waiting && TovikClock::Current().NowMs() - m_discoveryStartMs >= kRetryAfterMs)
    StartDiscovery();
}

bool TovikAutoDiscoveryConnection::IsServerAnswer(const char* datagram, int32_t length) {
  if (length <= 0)
    return false;
  size_t text = strnlen(datagram, size_t(length));
  return text == sizeof kServerAnswer - 1 && memcmp(datagram, kServerAnswer, text) == 0;
}

bool TovikAutoDiscoveryConnection::WaitForServer(bool block) {
  TovikClock& clock = TovikClock::Current();
  while (m_discovering) {
    uint32_t from = 0;
    int32_t n = ReceiveFrom(m_answer, kAnswerSize, &from);
    if (n > 0) {
      if (!IsServerAnswer(m_answer, n)) {
        ++m_strayDatagrams;  // our own question echoed back, or a stranger's datagram
        continue;
      }
      m_discovering = false;
      m_found = true;
      m_listener.reset();
      CCString address = cc::SocketSystem::FormatIPv4(from);
      strncpy(m_hostText, address.c_str(), kMaxHost);
      m_hostText[kMaxHost] = '\0';
      Reopen();
      return true;
    }
    if (clock.NowMs() - m_discoveryStartMs > kAnswerWaitMs) {
      DiscoveryFailed();
      return false;
    }
    if (!block)
      return false;
    clock.SleepMs(10);
  }
  return m_found;
}

bool TovikAutoDiscoveryOrPublicConnection::Open(bool deferred) {
  m_mode = kModeDiscovery;
  return TovikAutoDiscoveryConnection::Open(deferred);
}

void TovikAutoDiscoveryOrPublicConnection::NextServer() {
  if (m_mode == kModeDiscovery)
    DiscoveryFailed();
  else
    Close();
}

void TovikAutoDiscoveryOrPublicConnection::DiscoveryFailed() {
  m_discovering = false;
  m_listener.reset();
  m_mode = kModePublic;
  SetHost(TovikPublicServer());  // closes; a deferred connection stays deferred
  Reopen();
}

TovikFromListAutoAndPublicConnection::TovikFromListAutoAndPublicConnection(const char* list)
    : m_list(list) {
  m_mode = kModeList;
}

bool TovikFromListAutoAndPublicConnection::Open(bool deferred) {
  m_mode = kModeList;
  m_cursor = 0;
  m_discovering = false;
  m_listener.reset();
  const char* first = m_list.NextHost(&m_cursor);
  SetServer(first ? first : "", GetPort());
  if (!TovikSimpleConnection::Open(deferred))
    return false;
  if (!first)
    NextServer();
  return true;
}

void TovikFromListAutoAndPublicConnection::NextServer() {
  switch (m_mode) {
    case kModeList:
      if (const char* next = m_list.NextHost(&m_cursor)) {
        SetHost(next);
        Reopen();
      } else {
        m_mode = kModeDiscovery;
        StartDiscovery();
      }
      break;
    case kModeDiscovery:
      DiscoveryFailed();
      break;
    case kModePublic:
      Close();
      break;
  }
}

}  // namespace Vorq
