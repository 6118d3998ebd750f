#include "libs/ccutility/net/tcp_socket.h"

namespace cc {

uint32_t TCPSocket::ReceiveN(void* data, uint32_t length, bool partialOk) {
  char* p = static_cast<char*>(data);
  uint32_t got = 0;
  while (got < length) {
    uint32_t received = Receive(p + got, length - got);
    if (received == 0) {
      if (partialOk || got == 0)
        return got;
      throw ::cc::SocketError::Exception::ConnectionClosedError(
          GetError(), "cc::TCPSocket::ReceiveN got unexpected close during block read");
    }
    got += received;
  }
  return got;
}

TCPSocket::Seed::Seed(SocketSystem::Handle handle, std::unique_ptr<SocketAddressIPv4> peer)
    : m_peer(std::move(peer)) {
  SetHandle(handle);
}

TCPSocket::Seed::Seed(Seed&& other) noexcept : m_peer(std::move(other.m_peer)) {
  if (other.IsValid())
    SetHandle(other.TakeHandle());
}

TCPSocket::Seed::~Seed() {
  if (IsValid())
    SocketSystem::Close(GetHandle());
}

SocketSystem::Handle TCPSocket::Seed::TakeHandle() {
  SocketSystem::Handle handle = GetHandle();
  Invalidate();
  return handle;
}

}  // namespace cc
