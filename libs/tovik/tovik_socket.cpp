#include "libs/tovik/tovik_socket.h"

#include "libs/tovik/tovik_socket_system.h"

namespace Vorq {

namespace sys = cc::SocketSystem;

// The socket library starts with the first socket, on whichever thread makes it.
Socket::Socket(int type)
    : m_handle(sys::StartForProcess() ? sys::Create(type) : sys::kInvalidHandle) {
  if (!IsValid())
    m_lastError = sys::GetLastError();
}

Socket::~Socket() {
  Close();
}

int64_t Socket::Record(int64_t result) {
  if (result < 0)
    m_lastError = sys::GetLastError();
  return result;
}

void Socket::Close() {
  if (!IsValid())
    return;
  sys::Shutdown(m_handle, sys::kShutdownBoth);  // fails harmlessly when never connected
  sys::Close(m_handle);
  m_handle = sys::kInvalidHandle;
}

bool Socket::SetNonBlocking(bool nonBlocking) {
  return Record(sys::SetNonBlocking(m_handle, nonBlocking)) == 0;
}

bool Socket::SetReuseAddress() {
  return Record(sys::SetReuseAddress(m_handle)) == 0;
}

bool Socket::Bind(uint16_t port) {
  cc::SocketAddressIPv4 any;
  any.SetPort(port);
  return Record(sys::Bind(m_handle, any)) == 0;
}

int Socket::Poll() {
  return int(Record(TovikSystem::Poll(m_handle)));
}

int64_t Socket::Send(const void* data, uint32_t length) {
  return Record(sys::Send(m_handle, data, length));
}

int64_t Socket::Receive(void* data, uint32_t length) {
  return Record(sys::Receive(m_handle, data, length));
}

int64_t Socket::BytesAvailable() {
  uint32_t count = 0;
  if (Record(sys::BytesAvailable(m_handle, &count)) != 0)
    return -1;
  return count;
}

TCPSocket::TCPSocket() : Socket(TovikSystem::kStreamType) {}

int TCPSocket::Connect(uint32_t address, uint16_t port) {
  cc::SocketAddressIPv4 to;
  to.SetAddress(address);
  to.SetPort(port);
  if (Record(sys::Connect(GetHandle(), to)) == 0)
    return 0;
  return GetLastSocketError();
}

UDPSocket::UDPSocket() : Socket(TovikSystem::kDatagramType) {}

bool UDPSocket::SetBroadcast() {
  return Record(TovikSystem::SetBroadcast(GetHandle())) == 0;
}

int64_t UDPSocket::SendTo(const void* data, uint32_t length, uint32_t address, uint16_t port) {
  cc::SocketAddressIPv4 to;
  to.SetAddress(address);
  to.SetPort(port);
  return Record(TovikSystem::SendTo(GetHandle(), data, length, to));
}

int64_t UDPSocket::ReceiveFrom(void* data, uint32_t length, uint32_t* address) {
  cc::SocketAddressIPv4 from;
  int64_t n = Record(TovikSystem::ReceiveFrom(GetHandle(), data, length, &from));
  if (n >= 0)
    *address = from.Address();
  return n;
}

void TovikSystem::BindCalls() {
  sys::BindCalls();
  const int saved = sys::GetLastError();
  char text[64];
  cc::SocketAddressIPv4 address;
  SetBroadcast(sys::kInvalidHandle);
  SendTo(sys::kInvalidHandle, text, 1, address);
  ReceiveFrom(sys::kInvalidHandle, text, sizeof text, &address);
  HostName(text, sizeof text);
  Handle datagram = sys::Create(kDatagramType);
  if (datagram != sys::kInvalidHandle) {
    Poll(datagram);
    sys::Close(datagram);
  }
  sys::SetLastError(saved);
}

}  // namespace Vorq
