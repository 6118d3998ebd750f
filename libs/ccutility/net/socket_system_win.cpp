// WinSock 2 behind the socket classes: the product's implementation.

// winsock2.h must come before windows.h.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "libs/ccutility/net/socket_system.h"

namespace cc {
namespace SocketSystem {

namespace {

SOCKET Sock(Handle handle) {
  return handle == kInvalidHandle ? INVALID_SOCKET : SOCKET(handle);
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

int Check(int rc) {
  return rc == SOCKET_ERROR ? -1 : 0;
}

}  // namespace

int Startup(uint8_t* major, uint8_t* minor) {
  WSADATA data;
  int rc = WSAStartup(MAKEWORD(2, 2), &data);
  if (rc != 0)
    return rc;
  *major = LOBYTE(data.wVersion);
  *minor = HIBYTE(data.wVersion);
  return 0;
}

bool StartForProcess() {
  static const bool started = [] {
    uint8_t major = 0, minor = 0;
    return Startup(&major, &minor) == 0 && major == 2 && minor == 2;
  }();
  return started;
}

void Cleanup() {
  WSACleanup();
}

int GetLastError() {
  return WSAGetLastError();
}

void SetLastError(int code) {
  WSASetLastError(code);
}

Handle Create(int type) {
  SOCKET s = WSASocketA(AF_INET, type, 0, nullptr, 0, WSA_FLAG_OVERLAPPED);
  if (s == INVALID_SOCKET)
    return kInvalidHandle;
  return Handle(s);
}

int SetNoDelay(Handle handle) {
  BOOL on = TRUE;
  return Check(setsockopt(Sock(handle), IPPROTO_TCP, TCP_NODELAY,
                          reinterpret_cast<const char*>(&on), sizeof on));
}

int SetReuseAddress(Handle handle) {
  char on = 1;  // a one-byte value
  return Check(setsockopt(Sock(handle), SOL_SOCKET, SO_REUSEADDR, &on, 1));
}

int SetNonBlocking(Handle handle, bool nonBlocking) {
  u_long on = nonBlocking ? 1 : 0;
  return Check(ioctlsocket(Sock(handle), FIONBIO, &on));
}

int SetTimeoutOption(Handle handle, bool send, uint32_t ms) {
  DWORD limit = ms;
  return Check(setsockopt(Sock(handle), SOL_SOCKET, send ? SO_SNDTIMEO : SO_RCVTIMEO,
                          reinterpret_cast<const char*>(&limit), sizeof limit));
}

int Bind(Handle handle, const SocketAddressIPv4& address) {
  sockaddr_in in;
  ToSystem(address, &in);
  return Check(bind(Sock(handle), reinterpret_cast<const sockaddr*>(&in), sizeof in));
}

int Listen(Handle handle, int backlog) {
  return Check(listen(Sock(handle), backlog));
}

int Connect(Handle handle, const SocketAddressIPv4& address) {
  sockaddr_in in;
  ToSystem(address, &in);
  return Check(connect(Sock(handle), reinterpret_cast<const sockaddr*>(&in), sizeof in));
}

int Shutdown(Handle handle, ShutdownHow how) {
  return Check(shutdown(Sock(handle), int(how)));
}

int Close(Handle handle) {
  return Check(closesocket(Sock(handle)));
}

const bool kAbortReleasesHandle = true;

int Abort(Handle handle) {
  // closesocket wakes a thread blocked in select or recv on the handle.
  return Close(handle);
}

Handle Accept(Handle handle, SocketAddressIPv4* peer) {
  sockaddr_in in;
  int length = sizeof in;
  SOCKET s = accept(Sock(handle), reinterpret_cast<sockaddr*>(&in), &length);
  if (s == INVALID_SOCKET)
    return kInvalidHandle;
  FromSystem(in, peer);
  return Handle(s);
}

int64_t Send(Handle handle, const void* data, uint32_t length) {
  // send takes an int: larger requests go in pieces, the caller sends the rest.
  int n = length > 0x40000000u ? 0x40000000 : int(length);
  int sent = send(Sock(handle), static_cast<const char*>(data), n, 0);
  return sent == SOCKET_ERROR ? -1 : int64_t(sent);
}

int64_t SendGather(Handle handle, const SendBuffer* pieces, uint32_t count) {
  // Wine hands a WSASend to the host's sendmsg, which refuses more than 1024 pieces
  // (WSAEMSGSIZE); one call carries at most that many, the caller sends the rest.
  constexpr uint32_t kMostPieces = 1024;
  if (count > kMostPieces)
    count = kMostPieces;
  std::vector<WSABUF> buffers(count);
  for (uint32_t i = 0; i < count; ++i) {
    buffers[i].len = pieces[i].length;
    buffers[i].buf = const_cast<char*>(static_cast<const char*>(pieces[i].data));
  }
  DWORD sent = 0;
  if (WSASend(Sock(handle), buffers.data(), count, &sent, 0, nullptr, nullptr) == SOCKET_ERROR)
    return -1;
  return int64_t(sent);
}

int64_t Receive(Handle handle, void* data, uint32_t length) {
  int n = length > 0x40000000u ? 0x40000000 : int(length);
  int received = recv(Sock(handle), static_cast<char*>(data), n, 0);
  return received == SOCKET_ERROR ? -1 : int64_t(received);
}

int Wait(Handle handle, bool write, uint32_t timeoutMs, bool* ready, bool* exception) {
  *ready = false;
  *exception = false;
  SOCKET s = Sock(handle);
  fd_set set;
  fd_set errors;
  FD_ZERO(&set);
  FD_ZERO(&errors);
  FD_SET(s, &set);
  FD_SET(s, &errors);
  timeval limit;
  limit.tv_sec = long(timeoutMs / 1000);
  limit.tv_usec = long((timeoutMs % 1000) * 1000);
  int rc = select(0, write ? nullptr : &set, write ? &set : nullptr, &errors, &limit);
  if (rc == SOCKET_ERROR)
    return -1;
  if (rc == 0)
    return 0;
  *ready = FD_ISSET(s, &set) != 0;
  *exception = FD_ISSET(s, &errors) != 0;
  return 1;
}

int BytesAvailable(Handle handle, uint32_t* count) {
  u_long n = 0;
  DWORD returned = 0;
  if (WSAIoctl(Sock(handle), FIONREAD, nullptr, 0, &n, sizeof n, &returned, nullptr, nullptr) ==
      SOCKET_ERROR)
    return -1;
  *count = uint32_t(n);
  return 0;
}

int PendingError(Handle handle) {
  int error = 0;
  int length = sizeof error;
  if (getsockopt(Sock(handle), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) ==
      SOCKET_ERROR)
    return WSAGetLastError();
  return error;
}

int LocalAddress(Handle handle, SocketAddressIPv4* address) {
  sockaddr_in in;
  int length = sizeof in;
  if (getsockname(Sock(handle), reinterpret_cast<sockaddr*>(&in), &length) == SOCKET_ERROR)
    return -1;
  FromSystem(in, address);
  return 0;
}

bool ParseIPv4(const char* text, uint32_t* address) {
  unsigned long value = inet_addr(text ? text : "");
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
    // getaddrinfo answers with the error; make it the thread's last error for the caller.
    WSASetLastError(rc);
    return -1;
  }
  if (!results || results->ai_addrlen < sizeof(sockaddr_in)) {
    if (results)
      freeaddrinfo(results);
    WSASetLastError(WSANO_DATA);
    return -1;
  }
  sockaddr_in in;
  memcpy(&in, results->ai_addr, sizeof in);
  freeaddrinfo(results);
  *address = ntohl(in.sin_addr.s_addr);
  return 0;
}

uint64_t NowMs() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  uint64_t ticks = uint64_t(now.dwHighDateTime) << 32 | now.dwLowDateTime;
  return ticks / 10000;  // 100 ns ticks to milliseconds
}

}  // namespace SocketSystem
}  // namespace cc
