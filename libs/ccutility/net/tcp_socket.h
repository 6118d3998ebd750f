#pragma once

#include <cstdint>
#include <memory>

#include "libs/ccutility/net/socket.h"

namespace cc {

// A stream socket: adds the counted read without a buffer. Only BufferedTCPSocket objects
// are made.
class TCPSocket : public Socket {
 public:
  class Seed;

  // Reads exactly `length` bytes with repeated Receive calls. When the peer closes first:
  // with partialOk the count read so far comes back; without it, 0 when nothing had been
  // read, else ConnectionClosedError "cc::TCPSocket::ReceiveN got unexpected close during
  // block read".
  virtual uint32_t ReceiveN(void* data, uint32_t length, bool partialOk);

 protected:
  TCPSocket() = default;
};

// What Accept returns: an accepted handle and the peer's address, both owned until a socket
// takes them over (BufferedTCPSocket's constructor). A seed dropped untaken closes its handle.
class TCPSocket::Seed : public Selector::Item {
 public:
  Seed(SocketSystem::Handle handle, std::unique_ptr<SocketAddressIPv4> peer);
  Seed(Seed&& other) noexcept;
  ~Seed() override;

  // Hands over the handle and the address; the seed is left empty.
  SocketSystem::Handle TakeHandle();
  std::unique_ptr<SocketAddressIPv4> TakePeer() { return std::move(m_peer); }

 private:
  std::unique_ptr<SocketAddressIPv4> m_peer;
};

}  // namespace cc
