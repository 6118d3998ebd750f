// WinSock 2 behind the telemetry connections: the product's implementation.

// winsock2.h must come before windows.h.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <cstring>

#include "libs/tovik/tovik_socket_system.h"

namespace Vorq::TovikSystem {

namespace {

SOCKET Sock(Handle handle) {
  return handle == cc::SocketSystem::kInvalidHandle ? INVALID_SOCKET : SOCKET(handle);
}

}  // namespace

int SetBroadcast(Handle handle) {
  BOOL on = TRUE;
  return setsockopt(Sock(handle), SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&on),
                    sizeof on) == SOCKET_ERROR
             ? -1
             : 0;
}

int64_t SendTo(Handle handle,
               const void* data,
               uint32_t length,
               const cc::SocketAddressIPv4& address) {
  sockaddr_in to = {};
  to.sin_family = AF_INET;
  memcpy(&to.sin_port, address.port, 2);
  memcpy(&to.sin_addr, address.address, 4);
  int n = sendto(Sock(handle), static_cast<const char*>(data), int(length), 0,
                 reinterpret_cast<const sockaddr*>(&to), sizeof to);
  return n == SOCKET_ERROR ? -1 : int64_t(n);
}

int64_t ReceiveFrom(Handle handle, void* data, uint32_t length, cc::SocketAddressIPv4* from) {
  sockaddr_in in = {};
  int inLength = sizeof in;
  int n = recvfrom(Sock(handle), static_cast<char*>(data), int(length), 0,
                   reinterpret_cast<sockaddr*>(&in), &inLength);
  if (n == SOCKET_ERROR) {
    // A datagram longer than the buffer arrives cut, as on the host.
    if (WSAGetLastError() != WSAEMSGSIZE)
      return -1;
    n = int(length);
  }
  *from = cc::SocketAddressIPv4();
  memcpy(from->port, &in.sin_port, 2);
  memcpy(from->address, &in.sin_addr, 4);
  return n;
}

int Poll(Handle handle) {
  SOCKET s = Sock(handle);
  fd_set readable, writable, errors;
  FD_ZERO(&readable);
  FD_ZERO(&writable);
  FD_ZERO(&errors);
  FD_SET(s, &readable);
  FD_SET(s, &writable);
  FD_SET(s, &errors);
  timeval none = {0, 0};
  if (select(0, &readable, &writable, &errors, &none) == SOCKET_ERROR)
    return -1;
  int bits = 0;
  if (FD_ISSET(s, &readable))
    bits |= kReadable;
  if (FD_ISSET(s, &writable))
    bits |= kWritable;
  if (FD_ISSET(s, &errors))
    bits |= kError;
  return bits;
}

void HostName(char* out, uint32_t size) {
  if (size == 0)
    return;
  if (gethostname(out, int(size)) == SOCKET_ERROR)
    out[0] = '\0';
  out[size - 1] = '\0';
}

}  // namespace Vorq::TovikSystem
