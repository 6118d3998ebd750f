#pragma once

#include <cstdint>

#include "libs/ccutility/net/socket_system.h"

namespace Vorq {

// One socket handle of the telemetry connections, owned: the destructor shuts it down in
// both directions and closes it. Every call records the system's error number (a WinSock
// number on every platform) as the socket's last error and reports failure by its result;
// nothing throws. Used by one thread at a time.
class Socket {
 public:
  using Handle = cc::SocketSystem::Handle;

  virtual ~Socket();
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  bool IsValid() const { return m_handle != cc::SocketSystem::kInvalidHandle; }
  Handle GetHandle() const { return m_handle; }
  int GetLastSocketError() const { return m_lastError; }

  // Shuts the socket down both ways and closes it; harmless when already closed.
  void Close();
  bool SetNonBlocking(bool nonBlocking);
  bool SetReuseAddress();
  bool Bind(uint16_t port);  // any address
  // Readiness now: 1 readable, 2 writable, 4 error (see TovikSystem::Poll); -1 on failure.
  int Poll();
  // Bytes or -1 (last error set). A receive of 0 is the end of the stream.
  int64_t Send(const void* data, uint32_t length);
  int64_t Receive(void* data, uint32_t length);
  // Bytes waiting to be read, or -1.
  int64_t BytesAvailable();

 protected:
  // Creates a socket of `type`; check IsValid.
  explicit Socket(int type);
  // Records the thread's last socket error; returns `result` unchanged.
  int64_t Record(int64_t result);

 private:
  Handle m_handle;
  int m_lastError = 0;
};

// A stream socket to a telemetry server.
class TCPSocket : public Socket {
 public:
  TCPSocket();
  // One connect call to an IPv4 address (host byte order): 0, or the WinSock error
  // (10035 would block, 10037 already connecting, 10056 connected, ...).
  int Connect(uint32_t address, uint16_t port);
};

// A datagram socket of the local discovery.
class UDPSocket : public Socket {
 public:
  UDPSocket();
  bool SetBroadcast();
  // Bytes sent or -1.
  int64_t SendTo(const void* data, uint32_t length, uint32_t address, uint16_t port);
  // One datagram (cut to `length`); bytes or -1; *address gets the sender (host order).
  int64_t ReceiveFrom(void* data, uint32_t length, uint32_t* address);
};

}  // namespace Vorq
