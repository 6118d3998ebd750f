#include "libs/ccutility/net/buffered_tcp_socket.h"

#include <cstring>

namespace cc {

namespace sys = SocketSystem;

using ErrorRecord = ::cc::SocketError;

BufferedTCPSocket::BufferedTCPSocket(Seed&& seed) {
  std::unique_ptr<SocketAddressIPv4> peer = seed.TakePeer();
  Adopt(seed.TakeHandle(), std::move(peer));
}

void BufferedTCPSocket::Create() {
  TCPSocket::Create();
  EmptyBuffer();
}

void BufferedTCPSocket::Close() {
  if (GetState() == kConnected)
    ShutdownQuietly(IsReadClosed() ? sys::kShutdownSend : sys::kShutdownBoth);
  else if (GetState() == kSendClosed && !IsReadClosed())
    ShutdownQuietly(sys::kShutdownReceive);
  TCPSocket::Close();
  EmptyBuffer();
}

void BufferedTCPSocket::EmptyBuffer() {
  m_end = 0;
  m_readPos = 0;
  m_endOfStream = false;
}

BufferedTCPSocket& BufferedTCPSocket::SendBuffers(const std::vector<SendBuffer>& list) {
  TCPSocket::SendBuffers(list);
  return *this;
}

BufferedTCPSocket& BufferedTCPSocket::SendGather(const SendBuffer* pieces, uint32_t count) {
  TCPSocket::SendGather(pieces, count);
  return *this;
}

BufferedTCPSocket& BufferedTCPSocket::Send(const CCString& bytes) {
  TCPSocket::Send(bytes);
  return *this;
}

BufferedTCPSocket& BufferedTCPSocket::Send(const char* text) {
  TCPSocket::Send(text);
  return *this;
}

BufferedTCPSocket& BufferedTCPSocket::Send(const void* data, uint32_t length) {
  TCPSocket::Send(data, length);
  return *this;
}

uint32_t BufferedTCPSocket::TakeBuffered(void* data, uint32_t length) {
  uint32_t held = m_end - m_readPos;
  uint32_t n = length < held ? length : held;
  if (n) {
    memcpy(data, m_buffer + m_readPos, n);
    m_readPos += n;
  }
  if (m_readPos == m_end)
    m_readPos = m_end = 0;
  return n;
}

uint32_t BufferedTCPSocket::ReceiveFromSocket(void* data, uint32_t length) {
  uint32_t received = Socket::Receive(data, length);
  if (received == 0 && length > 0) {
    SetReadClosed();
    ShutdownQuietly(sys::kShutdownReceive);
  }
  return received;
}

CCString BufferedTCPSocket::ReceiveAvailable() {
  uint32_t held = BufferedBytes();
  if (held == 0)
    return TCPSocket::ReceiveAvailable();
  CCString bytes;
  TakeBuffered(bytes.Resize(held), held);
  return bytes;
}

uint32_t BufferedTCPSocket::Receive(void* data, uint32_t length) {
  if (length == 0)
    return 0;
  if (m_capacity == 0 || m_endOfStream)
    return ReceiveFromSocket(data, length);

  if (BufferedBytes() == 0 && length < m_capacity && !IsReadClosed()) {
    // Small reads refill the buffer, so the next ones cost no system call.
    m_readPos = m_end = 0;
    m_end = ReceiveFromSocket(m_buffer, m_capacity);
  }
  uint32_t held = BufferedBytes();
  if (held >= length)
    return TakeBuffered(data, length);
  if (!IsReadClosed()) {
    if (held == 0)
      return ReceiveFromSocket(data, length);
    return TakeBuffered(data, held);
  }
  if (held == 0) {
    m_endOfStream = true;
    return 0;
  }
  return TakeBuffered(data, held);
}

bool BufferedTCPSocket::WaitReadable(uint32_t timeoutMs) {
  if (BufferedBytes() > 0)
    return true;
  return TCPSocket::WaitReadable(timeoutMs);
}

uint32_t BufferedTCPSocket::FillOnce() {
  if (m_readPos > 0) {
    memmove(m_buffer, m_buffer + m_readPos, m_end - m_readPos);
    m_end -= m_readPos;
    m_readPos = 0;
  }
  if (m_end == m_capacity) {
    if (m_capacity != 0)
      FailWith(ErrorRecord::kMessageTooLong);
    m_buffer = m_storage.Resize(kBufferSize);
    m_capacity = kBufferSize;
  }
  uint32_t received = Socket::Receive(m_buffer + m_end, m_capacity - m_end);
  if (received == 0) {
    SetReadClosed();
    ShutdownQuietly(sys::kShutdownReceive);
    return 0;
  }
  m_end += received;
  return received;
}

void BufferedTCPSocket::Fill() {
  if (FillOnce() == 0)
    FailWith(ErrorRecord::kPeerShuttingDown);
}

uint32_t BufferedTCPSocket::FillBuffer(bool skipWhenUnread) {
  if (!(skipWhenUnread && BufferedBytes() > 0))
    Fill();
  return BufferedBytes();
}

uint32_t BufferedTCPSocket::ReceiveN(void* data, uint32_t length, bool partialOk) {
  char* p = static_cast<char*>(data);
  uint32_t got = TakeBuffered(p, length);
  uint32_t rest = length - got;
  bool throughBuffer = rest < m_capacity;
  while (got < length) {
    uint32_t received = 0;
    if (throughBuffer) {
      if (FillOnce() != 0)
        received = TakeBuffered(p + got, length - got);
    } else {
      received = ReceiveFromSocket(p + got, length - got);
    }
    if (received == 0) {
      if (partialOk || got == 0)
        return got;
      throw ErrorRecord::Exception::ConnectionClosedError(
          GetError(), "cc::BufferedTCPSocket::ReceiveN got unexpected close during block read");
    }
    got += received;
  }
  return got;
}

CCString BufferedTCPSocket::ReceiveString(uint32_t length, bool partialOk) {
  CCString bytes;
  if (length == 0)
    return bytes;
  uint32_t got = ReceiveN(bytes.Resize(length), length, partialOk);
  bytes.Resize(got);
  return bytes;
}

CCString BufferedTCPSocket::ReadLine(bool unfold) {
  CCString result;
  for (;;) {
    // Find the line feed, filling the buffer as needed; `scanned` bytes of the unread part
    // are known to hold none.
    uint32_t scanned = 0;
    const char* lineFeed = nullptr;
    for (;;) {
      uint32_t held = BufferedBytes();
      if (held > scanned) {
        const char* from = m_buffer + m_readPos + scanned;
        lineFeed = static_cast<const char*>(memchr(from, '\n', held - scanned));
        if (lineFeed)
          break;
        scanned = held;
      }
      Fill();
    }
    uint32_t lineLength = uint32_t(lineFeed - (m_buffer + m_readPos)) + 1;
    CCString line = ReceiveString(lineLength, false);
    result.Append(line.Trim());
    if (result.IsEmpty() || !unfold)
      return result;
    // Continuation lines may not add up to more than one line may hold.
    if (result.Length() > kBufferSize)
      FailWith(ErrorRecord::kMessageTooLong);
    if (BufferedBytes() == 0)
      Fill();
    char next = m_buffer[m_readPos];
    if (next != ' ' && next != '\t')
      return result;
    result.Append(' ');  // a folded header line continues the previous one
  }
}

void BufferedTCPSocket::Listen(uint16_t port, const char* addressText) {
  Bind(port, addressText);
  if (sys::Listen(GetHandle(), 0x7fffffff) != 0)
    FailWithLastError();
}

TCPSocket::Seed BufferedTCPSocket::Accept() {
  auto peer = std::make_unique<SocketAddressIPv4>();
  sys::Handle handle = sys::Accept(GetHandle(), peer.get());
  if (handle == sys::kInvalidHandle)
    FailWithLastError();
  return Seed(handle, std::move(peer));
}

void BufferedTCPSocket::ShutdownSend() {
  if (GetState() != kConnected)
    return;
  if (IsValid() && sys::Shutdown(GetHandle(), sys::kShutdownSend) != 0) {
    FetchLastError();
    if (GetState() == kConnected)
      Error().Throw();
    return;  // the error ended the connection
  }
  SetState(kSendClosed);
  if (IsReadClosed())
    Close();
}

void BufferedTCPSocket::CloseGracefully(uint32_t timeoutMs) {
  ShutdownSend();
  if (GetState() == kSendClosed) {
    // What the buffer still holds is discarded with the rest; left there it would make
    // every wait below answer at once and the drain would never see its time limit.
    m_readPos = m_end = 0;
    sys::SetNonBlocking(GetHandle(), true);
    char discard[1024];
    try {
      bool ended = false;
      while (!ended && WaitReadable(timeoutMs)) {
        int64_t n;
        do {
          n = ReceiveRaw(discard, sizeof discard);
        } while (n > 0);
        // 0 is the end of the stream; a failure other than "nothing yet" ends the drain too.
        ended = n == 0 || sys::GetLastError() != ErrorRecord::kWouldBlock;
        sys::SetLastError(0);
      }
    } catch (const ErrorRecord::Exception&) {
      // A failing wait only cuts the drain short: the socket is closed below all the same.
    }
  }
  if (IsValid())
    Close();
}

}  // namespace cc
