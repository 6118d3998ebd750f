// BSD sockets behind the telemetry connections on the host build; errno values reach the
// callers as the WinSock numbers the product sees, in the cc seam's last socket error.

#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "libs/tovik/tovik_socket_system.h"

namespace Vorq::TovikSystem {

namespace {

int Fd(Handle handle) {
  return handle < 0 || handle > 0x7fffffff ? -1 : int(handle);
}

// The errno values these calls meet and the WinSock numbers they stand for (the cc seam
// keeps its own table for the stream calls).
const struct {
  int error;
  int code;
} kErrnoCodes[] = {
    {EAGAIN, 10035},         // WSAEWOULDBLOCK (EWOULDBLOCK is the same number here)
    {EBADF, 10038},          // closed descriptor: WSAENOTSOCK, as for a closed SOCKET
    {ENOTSOCK, 10038},       // WSAENOTSOCK
    {EACCES, 10013},         // WSAEACCES: broadcast without SO_BROADCAST, or a low port
    {EPERM, 10013},          // WSAEACCES
    {EINVAL, 10022},         // WSAEINVAL
    {EMSGSIZE, 10040},       // WSAEMSGSIZE
    {EADDRINUSE, 10048},     // WSAEADDRINUSE
    {EADDRNOTAVAIL, 10049},  // WSAEADDRNOTAVAIL
    {ENETUNREACH, 10051},    // WSAENETUNREACH
    {ECONNREFUSED, 10061},   // WSAECONNREFUSED: an earlier datagram met a closed port
    {ENOBUFS, 10055},        // WSAENOBUFS
    {ENOMEM, 10055},         // WSAENOBUFS
};

int64_t Fail() {
  int code = 10107;  // WSASYSCALLFAILURE: no closer WinSock number
  for (const auto& entry : kErrnoCodes) {
    if (entry.error == errno)
      code = entry.code;
  }
  cc::SocketSystem::SetLastError(code);
  return -1;
}

}  // namespace

int SetBroadcast(Handle handle) {
  int on = 1;
  return setsockopt(Fd(handle), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) == 0 ? 0 : int(Fail());
}

int64_t SendTo(Handle handle,
               const void* data,
               uint32_t length,
               const cc::SocketAddressIPv4& address) {
  sockaddr_in to = {};
  to.sin_family = AF_INET;
  memcpy(&to.sin_port, address.port, 2);
  memcpy(&to.sin_addr, address.address, 4);
  ssize_t n;
  do {
    n = sendto(Fd(handle), data, length, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&to), sizeof to);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? Fail() : int64_t(n);
}

int64_t ReceiveFrom(Handle handle, void* data, uint32_t length, cc::SocketAddressIPv4* from) {
  sockaddr_in in = {};
  socklen_t inLength = sizeof in;
  ssize_t n;
  do {
    n = recvfrom(Fd(handle), data, length, 0, reinterpret_cast<sockaddr*>(&in), &inLength);
  } while (n < 0 && errno == EINTR);
  if (n < 0)
    return Fail();
  *from = cc::SocketAddressIPv4();
  memcpy(from->port, &in.sin_port, 2);
  memcpy(from->address, &in.sin_addr, 4);
  return n;
}

int Poll(Handle handle) {
  pollfd entry = {Fd(handle), POLLIN | POLLOUT, 0};
  if (entry.fd < 0) {
    cc::SocketSystem::SetLastError(10038);  // WSAENOTSOCK
    return -1;
  }
  int rc;
  do {
    rc = poll(&entry, 1, 0);
  } while (rc < 0 && errno == EINTR);
  if (rc < 0)
    return int(Fail());
  if (entry.revents & POLLNVAL) {
    cc::SocketSystem::SetLastError(10038);
    return -1;
  }
  // As select reports them: a hang-up reads as readable (end of stream).
  int bits = 0;
  if (entry.revents & (POLLIN | POLLHUP))
    bits |= kReadable;
  if (entry.revents & POLLOUT)
    bits |= kWritable;
  if (entry.revents & POLLERR)
    bits |= kError;
  return bits;
}

void HostName(char* out, uint32_t size) {
  if (size == 0)
    return;
  if (gethostname(out, size) != 0)
    out[0] = '\0';
  out[size - 1] = '\0';
}

}  // namespace Vorq::TovikSystem
