#pragma once

#include <cstdint>

#include "libs/ccutility/net/socket_system.h"

// The socket calls the telemetry connections need beyond the cc library's seam: datagrams,
// broadcast, a three-way readiness poll and the machine's host name. One implementation per
// platform (tovik_socket_system_win.cpp over WinSock 2, tovik_socket_system_posix.cpp over
// BSD sockets). Like the cc seam, a failing call leaves a WinSock error number as the
// thread's last socket error (cc::SocketSystem::GetLastError).
namespace Vorq::TovikSystem {

using Handle = cc::SocketSystem::Handle;

// Readiness bits of Poll.
constexpr int kReadable = 1;
constexpr int kWritable = 2;
constexpr int kError = 4;

constexpr int kStreamType = 1;    // SOCK_STREAM on every platform
constexpr int kDatagramType = 2;  // SOCK_DGRAM on every platform

// SO_BROADCAST on: 0, or -1 with the last error set.
int SetBroadcast(Handle handle);
// One datagram to `address`; bytes sent or -1.
int64_t SendTo(Handle handle,
               const void* data,
               uint32_t length,
               const cc::SocketAddressIPv4& address);
// One datagram of at most `length` bytes (a longer one is cut); bytes or -1. *from gets the
// sender's address.
int64_t ReceiveFrom(Handle handle, void* data, uint32_t length, cc::SocketAddressIPv4* from);
// Readiness right now (no waiting): kReadable, kWritable and kError bits, or -1 on failure.
int Poll(Handle handle);
// The machine's host name cut to `size` - 1 bytes, NUL-terminated; "" when it is unknown.
void HostName(char* out, uint32_t size);
// The same as cc::SocketSystem::BindCalls for these calls too.
void BindCalls();

}  // namespace Vorq::TovikSystem
