#pragma once

#include <cstdint>

#include "launcher/text/cc_string.h"

// The few system calls the socket classes stand on, one implementation per platform:
// socket_system_win.cpp (WinSock 2, the product) and socket_system_posix.cpp (BSD sockets,
// the host build). Every function that fails leaves a WinSock error number as the thread's
// last socket error (GetLastError); the posix side translates errno and resolver codes into
// those numbers, so error categories and texts are the same everywhere.
// Not thread-safe beyond what the system gives, except Abort, which is meant to be called
// from a second thread.

namespace cc {

// An IPv4 socket address laid out as the system's 16-byte one: family in host order, port
// and address in network order, eight zero bytes.
struct SocketAddressIPv4 {
  uint16_t family = 2;  // AF_INET on every platform
  uint8_t port[2] = {0, 0};
  uint8_t address[4] = {0, 0, 0, 0};
  uint8_t zero[8] = {0, 0, 0, 0, 0, 0, 0, 0};

  uint16_t Port() const { return uint16_t(port[0] << 8 | port[1]); }
  void SetPort(uint16_t value) {
    port[0] = uint8_t(value >> 8);
    port[1] = uint8_t(value);
  }
  // Host byte order.
  uint32_t Address() const {
    return uint32_t(address[0]) << 24 | uint32_t(address[1]) << 16 | uint32_t(address[2]) << 8 |
           address[3];
  }
  void SetAddress(uint32_t value) {
    address[0] = uint8_t(value >> 24);
    address[1] = uint8_t(value >> 16);
    address[2] = uint8_t(value >> 8);
    address[3] = uint8_t(value);
  }
};
static_assert(sizeof(SocketAddressIPv4) == 16, "the system's IPv4 socket address is 16 bytes");

// One piece of a gathered send.
struct SendBuffer {
  const void* data;
  uint32_t length;
};

namespace SocketSystem {

// A socket handle widened to 64 bits (a SOCKET on Windows, a descriptor on the host).
using Handle = int64_t;
constexpr Handle kInvalidHandle = -1;

// Which side `Shutdown` closes; the values of SD_RECEIVE, SD_SEND, SD_BOTH.
enum ShutdownHow { kShutdownReceive = 0, kShutdownSend = 1, kShutdownBoth = 2 };

// Starts the socket library asking for version 2.2: 0, or the start-up error number.
// *major / *minor receive the version granted.
int Startup(uint8_t* major, uint8_t* minor);
void Cleanup();
// Starts the socket library once for the whole process, on the first call from any thread
// (the first call on Windows also loads the socket DLL), and keeps it started until the
// process ends. True when version 2.2 is running; later calls give the first one's answer.
bool StartForProcess();
// Starts the socket library for the process and calls each function of this seam once (on no
// socket at all, or on a datagram socket made for it), so that a program that loads the
// socket DLL on first use has every entry bound: a later caller that must not enter the
// system's loader (a crash handler) then loads nothing. Leaves the last error as it was.
void BindCalls();

int GetLastError();
void SetLastError(int code);

// A new IPv4 socket of `type` (1 = stream) able to do overlapped I/O on Windows.
Handle Create(int type);
// Each returns 0, or -1 with the last error set.
int SetNoDelay(Handle handle);
int SetReuseAddress(Handle handle);
int SetNonBlocking(Handle handle, bool nonBlocking);
// The send (or receive) time-out option in milliseconds; 0 = none.
int SetTimeoutOption(Handle handle, bool send, uint32_t ms);
int Bind(Handle handle, const SocketAddressIPv4& address);
int Listen(Handle handle, int backlog);
int Connect(Handle handle, const SocketAddressIPv4& address);
int Shutdown(Handle handle, ShutdownHow how);
int Close(Handle handle);
// Makes every thread blocked on `handle` return and every later call on it fail. On Windows
// the handle is closed; on the host its descriptor is shut down and replaced by an inert one,
// so the number stays reserved (and unusable) until Close.
int Abort(Handle handle);
// True where Abort gives the handle's number back to the system (Windows): the owner must
// then forget the number instead of closing it.
extern const bool kAbortReleasesHandle;
// The accepted handle, or kInvalidHandle; *peer receives the peer's address.
Handle Accept(Handle handle, SocketAddressIPv4* peer);

// Each returns a byte count (0 = end of stream for Receive), or -1 with the last error set.
int64_t Send(Handle handle, const void* data, uint32_t length);
int64_t SendGather(Handle handle, const SendBuffer* pieces, uint32_t count);
int64_t Receive(Handle handle, void* data, uint32_t length);

// Waits until `handle` is readable (or writable when `write`), or in the exception set, or
// `timeoutMs` passed. Returns 1 when something is ready, 0 on time-out, -1 on failure (last
// error set when the system gave one).
int Wait(Handle handle, bool write, uint32_t timeoutMs, bool* ready, bool* exception);

// Bytes waiting to be read (FIONREAD): 0 or -1.
int BytesAvailable(Handle handle, uint32_t* count);
// The socket's pending error (SO_ERROR) as a WinSock number; the pending error is cleared.
int PendingError(Handle handle);
int LocalAddress(Handle handle, SocketAddressIPv4* address);

// Numeric IPv4 text as inet_addr reads it; false when it is not one (or is 255.255.255.255).
// *address is in host byte order.
bool ParseIPv4(const char* text, uint32_t* address);
// Dotted text of an address in host byte order, as inet_ntoa writes it.
CCString FormatIPv4(uint32_t address);
// The first IPv4 address of `host` for sockets of `type`, through getaddrinfo: 0, or -1 with
// the resolver's error as the last error (11001 for an unknown name).
int Resolve(const char* host, uint16_t port, int type, uint32_t* address);

// Milliseconds of the system clock (calendar time).
uint64_t NowMs();

}  // namespace SocketSystem
}  // namespace cc
