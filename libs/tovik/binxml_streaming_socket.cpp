#include "libs/tovik/binxml_streaming_socket.h"

#include "libs/ccutility/net/socket_system.h"
#include "libs/tovik/tovik_clock.h"

namespace BinXML {

namespace {
constexpr int kWouldBlock = 10035;  // WSAEWOULDBLOCK: the send buffer is full
constexpr uint32_t kWaitSliceMs = 100;
}  // namespace

bool StreamingSocket::Write(const void* data, uint32_t length) {
  const char* next = static_cast<const char*>(data);
  Vorq::TovikClock& clock = Vorq::TovikClock::Current();
  uint64_t lastProgress = clock.NowMs();
  m_error = 0;
  while (length > 0) {
    int64_t n = m_socket.Send(next, length);
    if (n > 0) {
      next += n;
      length -= uint32_t(n);
      m_sent += uint64_t(n);
      lastProgress = clock.NowMs();
      continue;
    }
    int error = n < 0 ? m_socket.GetLastSocketError() : kWouldBlock;
    if (error != kWouldBlock || clock.NowMs() - lastProgress >= kStallLimitMs) {
      m_error = error;
      return false;
    }
    // Wait until the socket takes more, without spinning.
    bool ready = false, exception = false;
    if (cc::SocketSystem::Wait(m_socket.GetHandle(), true, kWaitSliceMs, &ready, &exception) < 0)
      clock.SleepMs(10);
  }
  return true;
}

}  // namespace BinXML
