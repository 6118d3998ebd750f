#include "libs/ccutility/net/socket.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "libs/ccutility/thread/cc_thread.h"

namespace cc {

namespace sys = SocketSystem;

namespace {

// Set once the socket library has been started for this process.
std::atomic<bool> g_networkStarted{false};

void CleanupNetworkAtExit() {
  if (g_networkStarted.exchange(false))
    sys::Cleanup();
}

void StartNetwork() {
  if (g_networkStarted.load())
    return;
  uint8_t major = 0, minor = 0;
  int result = sys::Startup(&major, &minor);
  if (result != 0) {
    SocketError error;
    error.SetNativeError(result);
    throw SocketError::Exception::NetworkNotAvailable(error, "Startup failed");
  }
  if (major != 2 || minor != 2) {
    sys::Cleanup();
    SocketError error;
    error.SetNativeError(SocketError::kVersionNotSupported);
    throw SocketError::Exception::NetworkNotAvailable(error, "Startup failed due to old WinSock");
  }
  if (g_networkStarted.exchange(true)) {
    sys::Cleanup();  // another thread got there first: give back our reference
    return;
  }
  std::atexit(&CleanupNetworkAtExit);
}

// Errors of these categories end the connection: the socket's state becomes closed.
bool EndsConnection(int32_t category) {
  return (category >= SocketError::kNetworkDown && category <= SocketError::kConnectionRefused) ||
         category == SocketError::kHostNotFound;
}

bool IsInvalidDomainName(const CCString& host) {
  // The reserved top-level domain "invalid" never resolves; answering at once spares a
  // resolver round trip (and keeps such names off the network).
  CCString name(host);
  if (name.EndsWith("."))
    name = name.Substring(0, int(name.Length()) - 1);
  name.SetFlags(CCString::kIgnoreCase);
  return name == "invalid" || name.EndsWith(".invalid");
}

}  // namespace

Socket::~Socket() {
  if (IsValid() && !m_handleReleased.load(std::memory_order_acquire))
    sys::Close(GetHandle());
}

int32_t Socket::FetchLastError() {
  int32_t native = SocketError::FetchLastError();
  if (EndsConnection(GetCategory()))
    m_state = kClosed;
  return native;
}

void Socket::FailWithLastError() {
  FetchLastError();
  SocketError::Throw();
}

void Socket::FailWith(int32_t category) {
  SetCategory(category);
  SocketError::Throw();
}

void Socket::OnException() {
  sys::SetLastError(sys::PendingError(GetHandle()));
  FetchLastError();
}

void Socket::ShutdownQuietly(sys::ShutdownHow how) {
  if (IsValid() && sys::Shutdown(GetHandle(), how) != 0)
    sys::SetLastError(0);  // nobody is to see this failure later
}

void Socket::Create() {
  Close();
  m_bytesSent = 0;
  m_bytesReceived = 0;
  m_readClosed = false;
  StartNetwork();
  sys::Handle handle = sys::Create(m_socketType);
  if (handle == sys::kInvalidHandle)
    FailWithLastError();
  sys::SetNoDelay(handle);
  SetHandle(handle);
  if (!m_blocking)
    sys::SetNonBlocking(handle, true);
}

void Socket::Bind(uint16_t port, const char* addressText) {
  Create();
  SocketAddressIPv4 address;
  address.SetPort(port);
  uint32_t ip = 0;  // any address
  if (addressText && !sys::ParseIPv4(addressText, &ip))
    ip = 0xFFFFFFFFu;  // what inet_addr answers for text it cannot read
  address.SetAddress(ip);
  sys::SetReuseAddress(GetHandle());
  if (sys::Bind(GetHandle(), address) != 0)
    FailWithLastError();
  m_state = kBound;
}

int32_t Socket::GetState() const {
  return m_state;
}

void Socket::ResolveInto(const CCString& host, uint16_t port, SocketAddressIPv4* address) {
  *address = SocketAddressIPv4();
  address->SetPort(port);
  uint32_t ip = 0;
  if (!sys::ParseIPv4(host.c_str(), &ip)) {
    if (IsInvalidDomainName(host)) {
      sys::SetLastError(kHostNotFoundCode);
      FailWithLastError();
    }
    if (sys::Resolve(host.c_str(), port, m_socketType, &ip) != 0)
      FailWithLastError();
  }
  address->SetAddress(ip);
  SetPeerAddress(ip);
}

bool Socket::Connect(const CCString& host, uint16_t port, uint32_t timeoutMs) {
  Create();
  if (!m_peer)
    m_peer = std::make_unique<SocketAddressIPv4>();
  ResolveInto(host, port, m_peer.get());

  if (timeoutMs == kNoTimeLimit) {
    if (sys::Connect(GetHandle(), *m_peer) != 0)
      FailWithLastError();
    m_state = kConnected;
    return true;
  }

  if (m_blocking)
    sys::SetNonBlocking(GetHandle(), true);
  if (sys::Connect(GetHandle(), *m_peer) == 0) {
    m_state = kConnected;
  } else {
    int32_t native = FetchLastError();
    if (native != kWouldBlock && native != kInProgress)
      Throw();
    m_state = kConnecting;
    ClearError();
    WaitForConnect(timeoutMs);
  }
  if (m_blocking)
    sys::SetNonBlocking(GetHandle(), false);
  return m_state == kConnected;
}

bool Socket::WaitForConnect(uint32_t timeoutMs) {
  if (m_state >= kConnected)
    return true;
  uint64_t start = sys::NowMs();
  uint32_t left = timeoutMs;
  while (m_state == kConnecting) {
    // Not writable yet: wait again with the same time left.
    if (!WaitWritable(left))
      continue;
    if (sys::Connect(GetHandle(), *m_peer) == 0) {
      m_state = kConnected;
      break;
    }
    int32_t native = FetchLastError();
    if (native == kIsConnected) {
      ClearError();
      m_state = kConnected;
      break;
    }
    if (native == kWouldBlock || native == kInProgress || native == kAlready ||
        native == kInvalid) {
      ClearError();
      uint64_t elapsed = sys::NowMs() - start;
      if (elapsed >= timeoutMs)
        return false;
      left = uint32_t(timeoutMs - elapsed);
      continue;
    }
    Throw();
  }
  return m_state == kConnected;
}

bool Socket::IsConnecting() {
  if (WaitForConnect(0))
    return false;
  return m_state == kConnecting;
}

void Socket::Close() {
  if (IsValid() && !m_handleReleased.load(std::memory_order_acquire))
    sys::Close(GetHandle());
  m_handleReleased.store(false, std::memory_order_release);
  Invalidate();
  m_state = kClosed;
  ClearError();
  m_peer.reset();
}

void Socket::CloseHandleOnly() {
  if (!IsValid())
    return;
  // Where aborting gives the number back, only the first call may do it.
  if (sys::kAbortReleasesHandle && m_handleReleased.exchange(true, std::memory_order_acq_rel))
    return;
  sys::Abort(GetHandle());
}

Socket& Socket::SendBuffers(const std::vector<SendBuffer>& list) {
  return SendGather(list.data(), uint32_t(list.size()));
}

Socket& Socket::SendGather(const SendBuffer* pieces, uint32_t count) {
  if (m_state == kSendClosed || !WaitForConnect(0))
    FailWith(kNotConnected);
  // What is left to send: the pieces from `first` on, the first one shortened by `offset`.
  std::vector<SendBuffer> rest(pieces, pieces + count);
  size_t first = 0;
  while (first < rest.size() && rest[first].length == 0)
    ++first;
  while (first < rest.size()) {
    int64_t sent = SendRaw(rest.data() + first, uint32_t(rest.size() - first));
    if (sent < 0) {
      if (FetchLastError() == kWouldBlock && m_blocking)
        continue;
      Throw();
    }
    m_bytesSent += uint64_t(sent);
    while (first < rest.size() && uint64_t(sent) >= rest[first].length) {
      sent -= rest[first].length;
      ++first;
    }
    if (first < rest.size() && sent > 0) {
      rest[first].data = static_cast<const char*>(rest[first].data) + sent;
      rest[first].length -= uint32_t(sent);
    }
  }
  return *this;
}

Socket& Socket::Send(const CCString& bytes) {
  return Send(bytes.c_str(), bytes.Length());
}

Socket& Socket::Send(const char* text) {
  return Send(static_cast<const void*>(text), text ? uint32_t(strlen(text)) : 0);
}

Socket& Socket::Send(const void* data, uint32_t length) {
  if (m_state == kSendClosed || !WaitForConnect(0))
    FailWith(kNotConnected);
  const char* p = static_cast<const char*>(data);
  while (length > 0) {
    SendBuffer piece = {p, length};
    int64_t sent = SendRaw(&piece, 1);
    if (sent < 0) {
      if (FetchLastError() == kWouldBlock && m_blocking)
        continue;
      Throw();
    }
    m_bytesSent += uint64_t(sent);
    p += sent;
    length -= uint32_t(sent);
  }
  return *this;
}

CCString Socket::ReceiveAvailable() {
  uint32_t count = 0;
  if (!AvailableRaw(&count))
    FailWithLastError();
  if (count == 0 && m_blocking) {
    WaitReadable(kNoTimeLimit);
    if (!AvailableRaw(&count))
      FailWithLastError();
  }
  CCString bytes;
  if (count == 0)
    return bytes;
  char* p = bytes.Resize(count);
  bytes.Resize(Receive(p, count));
  return bytes;
}

uint32_t Socket::Receive(void* data, uint32_t length) {
  if (!WaitForConnect(0))
    FailWith(kNotConnected);
  if (m_readClosed)
    return 0;
  constexpr int kAttempts = 1000;
  for (int attempt = 1;; ++attempt) {
    if (m_receiveTimeoutMs != 0 && !WaitReadable(m_receiveTimeoutMs)) {
      SetNativeError(kTimedOutCode);
      Throw();
    }
    int64_t received = ReceiveRaw(data, length);
    if (received >= 0) {
      m_bytesReceived += uint64_t(received);
      return uint32_t(received);
    }
    int32_t native = FetchLastError();
    bool transient = native == kNoBuffers || (native == kWouldBlock && m_blocking);
    if (!transient || attempt == kAttempts)
      Throw();
    SleepMs(5);
  }
}

CCString Socket::GetLocalAddress(uint16_t* port) {
  if (m_state == kClosed)
    FailWith(kNotConnected);
  SocketAddressIPv4 address;
  if (sys::LocalAddress(GetHandle(), &address) != 0)
    FailWithLastError();
  if (port)
    *port = address.Port();
  return sys::FormatIPv4(address.Address());
}

CCString Socket::GetPeerAddress(uint16_t* port) {
  if (m_state == kClosed)
    FailWith(kNotConnected);
  if (!m_peer)
    FailWith(kLogicError);
  if (port)
    *port = m_peer->Port();
  return sys::FormatIPv4(m_peer->Address());
}

bool Socket::WaitReadable(uint32_t timeoutMs) {
  if (m_state == kClosed)
    FailWith(kNotConnected);
  if (m_readClosed)
    FailWith(kPeerShuttingDown);
  return WaitFor(false, timeoutMs);
}

bool Socket::WaitWritable(uint32_t timeoutMs) {
  if (m_state == kClosed)
    FailWith(kNotConnected);
  if (m_state == kSendClosed)
    FailWith(kLogicError);
  return WaitFor(true, timeoutMs);
}

bool Socket::WaitFor(bool write, uint32_t timeoutMs) {
  bool ready = false, exception = false;
  if (sys::Wait(GetHandle(), write, timeoutMs, &ready, &exception) < 0) {
    if (FetchLastError() != 0)
      Throw();
    return false;
  }
  if (exception) {
    OnException();
    Throw();
  }
  return ready;
}

void Socket::SetBlocking(bool blocking) {
  m_blocking = blocking;
  if (IsValid() && sys::SetNonBlocking(GetHandle(), !blocking) != 0)
    FetchLastError();
}

// Without a handle (a socket fed from memory) there is no option to set.
void Socket::SetSendTimeout(uint32_t ms) {
  if (IsValid() && sys::SetTimeoutOption(GetHandle(), true, ms) != 0)
    FetchLastError();
}

void Socket::SetReceiveTimeout(uint32_t ms) {
  m_receiveTimeoutMs = ms;
  if (IsValid() && sys::SetTimeoutOption(GetHandle(), false, ms) != 0)
    FetchLastError();
}

void Socket::Adopt(sys::Handle handle, std::unique_ptr<SocketAddressIPv4> peer) {
  Close();
  m_bytesSent = 0;
  m_bytesReceived = 0;
  m_readClosed = false;
  SetHandle(handle);
  sys::SetNoDelay(handle);
  sys::SetNonBlocking(handle, !m_blocking);
  m_peer = std::move(peer);
  if (m_peer)
    SetPeerAddress(m_peer->Address());
  m_state = kConnected;
}

void Socket::AssumeConnected() {
  Close();
  m_bytesSent = 0;
  m_bytesReceived = 0;
  m_readClosed = false;
  m_state = kConnected;
}

int64_t Socket::ReceiveRaw(void* data, uint32_t length) {
  return sys::Receive(GetHandle(), data, length);
}

int64_t Socket::SendRaw(const SendBuffer* pieces, uint32_t count) {
  if (count == 1)
    return sys::Send(GetHandle(), pieces[0].data, pieces[0].length);
  return sys::SendGather(GetHandle(), pieces, count);
}

bool Socket::AvailableRaw(uint32_t* count) {
  return sys::BytesAvailable(GetHandle(), count) == 0;
}

void SocketSystem::BindCalls() {
  if (!StartForProcess())
    return;
  const int saved = GetLastError();
  char byte = 0;
  SendBuffer piece{&byte, 1};
  SocketAddressIPv4 address;
  uint32_t value = 0;
  bool ready = false, exception = false;
  // On no socket: each call fails at once.
  SetNoDelay(kInvalidHandle);
  SetReuseAddress(kInvalidHandle);
  SetNonBlocking(kInvalidHandle, true);
  SetTimeoutOption(kInvalidHandle, true, 1);
  Bind(kInvalidHandle, address);
  Listen(kInvalidHandle, 1);
  Connect(kInvalidHandle, address);
  Accept(kInvalidHandle, &address);
  Send(kInvalidHandle, &byte, 1);
  SendGather(kInvalidHandle, &piece, 1);
  Receive(kInvalidHandle, &byte, 1);
  BytesAvailable(kInvalidHandle, &value);
  PendingError(kInvalidHandle);
  LocalAddress(kInvalidHandle, &address);
  Shutdown(kInvalidHandle, kShutdownBoth);
  Abort(kInvalidHandle);
  Close(kInvalidHandle);
  ParseIPv4("127.0.0.1", &value);
  FormatIPv4(value);
  Resolve("127.0.0.1", 1, 1, &value);
  // A datagram socket is writable at once, so the readiness test after the wait runs too.
  Handle datagram = Create(2);
  if (datagram != kInvalidHandle) {
    Wait(datagram, true, 0, &ready, &exception);
    Close(datagram);
  }
  SetLastError(saved);
}

}  // namespace cc
