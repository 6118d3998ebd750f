// BSD sockets behind the socket classes on the host build. Errors are translated into the
// WinSock numbers the classification uses, so categories and texts match the product.

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "libs/ccutility/net/socket_system.h"

namespace cc {
namespace SocketSystem {

namespace {

// The thread's last socket error, as WSAGetLastError keeps it on Windows.
thread_local int t_lastError = 0;

// errno values and the WinSock numbers they stand for.
const struct {
  int error;
  int code;
} kErrnoCodes[] = {
    {EINTR, 10004},            // WSAEINTR
    {EBADF, 10038},            // closed descriptor: WSAENOTSOCK, as for a closed SOCKET
    {ENOTTY, 10038},           // FIONREAD on the inert stand-in of an aborted socket
    {EACCES, 10013},           // WSAEACCES
    {EPERM, 10013},            // WSAEACCES
    {EFAULT, 10014},           // WSAEFAULT
    {EINVAL, 10022},           // WSAEINVAL
    {EMFILE, 10024},           // WSAEMFILE
    {ENFILE, 10024},           // WSAEMFILE
    {EAGAIN, 10035},           // WSAEWOULDBLOCK (EWOULDBLOCK is the same number here)
    {EINPROGRESS, 10036},      // WSAEINPROGRESS
    {EALREADY, 10037},         // WSAEALREADY
    {ENOTSOCK, 10038},         // WSAENOTSOCK
    {EDESTADDRREQ, 10039},     // WSAEDESTADDRREQ
    {EMSGSIZE, 10040},         // WSAEMSGSIZE
    {EPROTOTYPE, 10041},       // WSAEPROTOTYPE
    {ENOPROTOOPT, 10042},      // WSAENOPROTOOPT
    {EPROTONOSUPPORT, 10043},  // WSAEPROTONOSUPPORT
    {ESOCKTNOSUPPORT, 10044},  // WSAESOCKTNOSUPPORT
    {EOPNOTSUPP, 10045},       // WSAEOPNOTSUPP
    {EPFNOSUPPORT, 10046},     // WSAEPFNOSUPPORT
    {EAFNOSUPPORT, 10047},     // WSAEAFNOSUPPORT
    {EADDRINUSE, 10048},       // WSAEADDRINUSE
    {EADDRNOTAVAIL, 10049},    // WSAEADDRNOTAVAIL
    {ENETDOWN, 10050},         // WSAENETDOWN
    {ENETUNREACH, 10051},      // WSAENETUNREACH
    {ENETRESET, 10052},        // WSAENETRESET
    {ECONNABORTED, 10053},     // WSAECONNABORTED
    {ECONNRESET, 10054},       // WSAECONNRESET
    {ENOBUFS, 10055},          // WSAENOBUFS
    {ENOMEM, 10055},           // WSAENOBUFS
    {EISCONN, 10056},          // WSAEISCONN
    {ENOTCONN, 10057},         // WSAENOTCONN
    {EPIPE, 10058},            // WSAESHUTDOWN: writing after the send side closed
    {ESHUTDOWN, 10058},        // WSAESHUTDOWN: writing after the send side closed
    {ETOOMANYREFS, 10059},     // WSAETOOMANYREFS
    {ETIMEDOUT, 10060},        // WSAETIMEDOUT
    {ECONNREFUSED, 10061},     // WSAECONNREFUSED
    {ELOOP, 10062},            // WSAELOOP
    {ENAMETOOLONG, 10063},     // WSAENAMETOOLONG
    {EHOSTDOWN, 10064},        // WSAEHOSTDOWN
    {EHOSTUNREACH, 10065},     // WSAEHOSTUNREACH
};

int WinSockCode(int error) {
  if (error == 0)
    return 0;
  for (const auto& entry : kErrnoCodes) {
    if (entry.error == error)
      return entry.code;
  }
  return 10107;  // WSASYSCALLFAILURE: no closer WinSock number
}

int ResolverCode(int error) {
  switch (error) {
    case EAI_NONAME:
      return 11001;  // WSAHOST_NOT_FOUND
    case EAI_AGAIN:
      return 11002;  // WSATRY_AGAIN
    case EAI_FAIL:
      return 11003;  // WSANO_RECOVERY
#ifdef EAI_NODATA
    case EAI_NODATA:
      return 11004;  // WSANO_DATA
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
      return 11004;  // the name has no IPv4 address: WSANO_DATA
#endif
    case EAI_MEMORY:
      return 10055;  // WSA_NOT_ENOUGH_MEMORY reads as WSAENOBUFS here
    case EAI_FAMILY:
      return 10047;  // WSAEAFNOSUPPORT
    case EAI_SOCKTYPE:
      return 10044;  // WSAESOCKTNOSUPPORT
    case EAI_SERVICE:
      return 10109;  // WSATYPE_NOT_FOUND
    case EAI_BADFLAGS:
      return 10022;  // WSAEINVAL
    case EAI_SYSTEM:
      return WinSockCode(errno);
    default:
      return 11003;
  }
}

int Fail() {
  t_lastError = WinSockCode(errno);
  return -1;
}

int Fd(Handle handle) {
  return handle < 0 || handle > 0x7fffffff ? -1 : int(handle);
}

bool IsNonBlocking(int fd) {
  int flags = fcntl(fd, F_GETFL);
  return flags != -1 && (flags & O_NONBLOCK) != 0;
}

// A send or receive that gives up with EAGAIN on a blocking descriptor ran into its time-out
// option: WinSock reports that as WSAETIMEDOUT.
int64_t FailTransfer(int fd) {
  int error = errno;
  if ((error == EAGAIN || error == EWOULDBLOCK) && !IsNonBlocking(fd))
    t_lastError = 10060;
  else
    t_lastError = WinSockCode(error);
  return -1;
}

void ToSystem(const SocketAddressIPv4& address, sockaddr_in* out) {
  memset(out, 0, sizeof *out);
  out->sin_family = AF_INET;
  memcpy(&out->sin_port, address.port, 2);
  memcpy(&out->sin_addr, address.address, 4);
}

void FromSystem(const sockaddr_in& in, SocketAddressIPv4* out) {
  *out = SocketAddressIPv4();
  memcpy(out->port, &in.sin_port, 2);
  memcpy(out->address, &in.sin_addr, 4);
}

// A descriptor on which every socket call fails and every wait returns at once: what an
// aborted socket's number is pointed at until its owner closes it.
int InertDescriptor() {
  static const int inert = open("/dev/null", O_RDWR | O_CLOEXEC);
  return inert;
}

}  // namespace

int Startup(uint8_t* major, uint8_t* minor) {
  // Nothing to start: report the version the product asks for.
  *major = 2;
  *minor = 2;
  return 0;
}

bool StartForProcess() {
  return true;
}

void Cleanup() {}

int GetLastError() {
  return t_lastError;
}

void SetLastError(int code) {
  t_lastError = code;
}

Handle Create(int type) {
  int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd < 0)
    Fail();
  return fd < 0 ? kInvalidHandle : Handle(fd);
}

int SetNoDelay(Handle handle) {
  int on = 1;
  return setsockopt(Fd(handle), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0 ? 0 : Fail();
}

int SetReuseAddress(Handle handle) {
  // Linux wants an int where WinSock takes a one-byte value.
  int on = 1;
  return setsockopt(Fd(handle), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 ? 0 : Fail();
}

int SetNonBlocking(Handle handle, bool nonBlocking) {
  int fd = Fd(handle);
  int flags = fcntl(fd, F_GETFL);
  if (flags == -1)
    return Fail();
  flags = nonBlocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return fcntl(fd, F_SETFL, flags) == 0 ? 0 : Fail();
}

int SetTimeoutOption(Handle handle, bool send, uint32_t ms) {
  timeval limit = {time_t(ms / 1000), suseconds_t((ms % 1000) * 1000)};
  int option = send ? SO_SNDTIMEO : SO_RCVTIMEO;
  return setsockopt(Fd(handle), SOL_SOCKET, option, &limit, sizeof limit) == 0 ? 0 : Fail();
}

int Bind(Handle handle, const SocketAddressIPv4& address) {
  sockaddr_in in;
  ToSystem(address, &in);
  return bind(Fd(handle), reinterpret_cast<sockaddr*>(&in), sizeof in) == 0 ? 0 : Fail();
}

int Listen(Handle handle, int backlog) {
  return listen(Fd(handle), backlog) == 0 ? 0 : Fail();
}

int Connect(Handle handle, const SocketAddressIPv4& address) {
  sockaddr_in in;
  ToSystem(address, &in);
  int fd = Fd(handle);
  // WinSock answers a connect while one is pending at once, in any mode; Linux would block
  // a blocking socket until the pending attempt ends.
  tcp_info info;
  socklen_t infoLength = sizeof info;
  if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &infoLength) == 0 &&
      info.tcpi_state == TCP_SYN_SENT) {
    t_lastError = 10037;  // WSAEALREADY
    return -1;
  }
  int rc = connect(fd, reinterpret_cast<sockaddr*>(&in), sizeof in);
  if (rc == 0)
    return 0;
  if (errno == EINTR) {
    // The attempt goes on in the background; WinSock would have said "in progress".
    t_lastError = 10036;
    return -1;
  }
  return Fail();
}

int Shutdown(Handle handle, ShutdownHow how) {
  int mode = how == kShutdownReceive ? SHUT_RD : how == kShutdownSend ? SHUT_WR : SHUT_RDWR;
  return shutdown(Fd(handle), mode) == 0 ? 0 : Fail();
}

int Close(Handle handle) {
  return close(Fd(handle)) == 0 ? 0 : Fail();
}

const bool kAbortReleasesHandle = false;

int Abort(Handle handle) {
  int fd = Fd(handle);
  // Closing a descriptor does not wake a thread blocked on it here; shutting the connection
  // down does. The number is first pointed at an inert descriptor (rather than closed, so no
  // other socket can get it while the owner still holds it), then the connection is shut
  // down through a duplicate: a woken thread's next call meets the inert descriptor and
  // fails, instead of starting over on the socket. Shutdown failures (a socket that never
  // connected) do not matter.
  int socket = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  int inert = InertDescriptor();
  if (socket < 0 || inert < 0 || dup2(inert, fd) < 0) {
    if (socket >= 0)
      close(socket);
    shutdown(fd, SHUT_RDWR);
    return close(fd) == 0 ? 0 : Fail();
  }
  shutdown(socket, SHUT_RDWR);
  close(socket);
  return 0;
}

Handle Accept(Handle handle, SocketAddressIPv4* peer) {
  sockaddr_in in;
  socklen_t length = sizeof in;
  int fd;
  do {
    fd = accept4(Fd(handle), reinterpret_cast<sockaddr*>(&in), &length, SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    Fail();
    return kInvalidHandle;
  }
  FromSystem(in, peer);
  return fd;
}

int64_t Send(Handle handle, const void* data, uint32_t length) {
  int fd = Fd(handle);
  ssize_t n;
  do {
    n = send(fd, data, length, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? FailTransfer(fd) : int64_t(n);
}

int64_t SendGather(Handle handle, const SendBuffer* pieces, uint32_t count) {
  int fd = Fd(handle);
  // One call carries at most IOV_MAX pieces; the caller sends what is left afterwards.
  uint32_t n = count < uint32_t(IOV_MAX) ? count : uint32_t(IOV_MAX);
  std::vector<iovec> vectors(n);
  for (uint32_t i = 0; i < n; ++i) {
    vectors[i].iov_base = const_cast<void*>(pieces[i].data);
    vectors[i].iov_len = pieces[i].length;
  }
  msghdr message = {};
  message.msg_iov = vectors.data();
  message.msg_iovlen = n;
  ssize_t sent;
  do {
    sent = sendmsg(fd, &message, MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  return sent < 0 ? FailTransfer(fd) : int64_t(sent);
}

int64_t Receive(Handle handle, void* data, uint32_t length) {
  int fd = Fd(handle);
  ssize_t n;
  do {
    n = recv(fd, data, length, 0);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? FailTransfer(fd) : int64_t(n);
}

int Wait(Handle handle, bool write, uint32_t timeoutMs, bool* ready, bool* exception) {
  // poll rather than select: descriptors beyond FD_SETSIZE work too. Readiness follows
  // select: an error or a hang-up counts as readable (and an error as writable).
  *ready = false;
  *exception = false;
  pollfd entry = {Fd(handle), short((write ? POLLOUT : POLLIN) | POLLPRI), 0};
  if (entry.fd < 0) {
    t_lastError = 10038;
    return -1;
  }
  uint64_t deadline = NowMs() + timeoutMs;
  for (;;) {
    // poll takes an int of milliseconds; longer waits are cut into pieces.
    uint64_t now = NowMs();
    uint64_t left = deadline > now ? deadline - now : 0;
    int piece = left > 0x7fffffff ? 0x7fffffff : int(left);
    int rc = poll(&entry, 1, piece);
    if (rc < 0 && errno == EINTR)
      continue;
    if (rc < 0)
      return Fail();
    if (rc == 0) {
      if (left > uint64_t(piece))
        continue;
      return 0;
    }
    break;
  }
  if (entry.revents & POLLNVAL) {
    t_lastError = 10038;
    return -1;
  }
  short readySet = write ? short(POLLOUT | POLLERR) : short(POLLIN | POLLHUP | POLLERR);
  *ready = (entry.revents & readySet) != 0;
  *exception = (entry.revents & POLLPRI) != 0;  // urgent data, as select's exception set
  return 1;
}

int BytesAvailable(Handle handle, uint32_t* count) {
  int n = 0;
  if (ioctl(Fd(handle), FIONREAD, &n) != 0)
    return Fail();
  *count = uint32_t(n);
  return 0;
}

int PendingError(Handle handle) {
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(Fd(handle), SOL_SOCKET, SO_ERROR, &error, &length) != 0)
    return WinSockCode(errno);
  return WinSockCode(error);
}

int LocalAddress(Handle handle, SocketAddressIPv4* address) {
  sockaddr_in in;
  socklen_t length = sizeof in;
  if (getsockname(Fd(handle), reinterpret_cast<sockaddr*>(&in), &length) != 0)
    return Fail();
  FromSystem(in, address);
  return 0;
}

bool ParseIPv4(const char* text, uint32_t* address) {
  in_addr_t value = inet_addr(text ? text : "");
  if (value == INADDR_NONE)
    return false;
  *address = ntohl(value);
  return true;
}

CCString FormatIPv4(uint32_t address) {
  in_addr in;
  in.s_addr = htonl(address);
  return CCString(inet_ntoa(in));
}

int Resolve(const char* host, uint16_t port, int type, uint32_t* address) {
  addrinfo hints = {};
  hints.ai_family = AF_INET;
  hints.ai_socktype = type;
  char service[8];
  snprintf(service, sizeof service, "%u", unsigned(port));
  addrinfo* results = nullptr;
  int rc = getaddrinfo(host, service, &hints, &results);
  if (rc != 0) {
    t_lastError = ResolverCode(rc);
    return -1;
  }
  if (!results || results->ai_addrlen < sizeof(sockaddr_in)) {
    if (results)
      freeaddrinfo(results);
    t_lastError = 11004;
    return -1;
  }
  sockaddr_in in;
  memcpy(&in, results->ai_addr, sizeof in);
  freeaddrinfo(results);
  *address = ntohl(in.sin_addr.s_addr);
  return 0;
}

uint64_t NowMs() {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return uint64_t(now.tv_sec) * 1000 + uint64_t(now.tv_nsec) / 1000000;
}

}  // namespace SocketSystem
}  // namespace cc
