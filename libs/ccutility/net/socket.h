#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "launcher/text/cc_shared_ptr.h"
#include "launcher/text/cc_string.h"
#include "libs/ccutility/net/selector.h"
#include "libs/ccutility/net/socket_error.h"
#include "libs/ccutility/net/socket_system.h"

namespace cc {

// A TCP/IPv4 socket with a connect time limit and a receive time limit. Every failure is
// recorded in the socket's own SocketError and thrown as the exception of its category; no
// operation returns an error code. Reference-counted: hold it with CCSharedPtr. Used by one
// thread at a time, except CloseHandleOnly, which another thread may call to abort.
//
// Feeding a socket from memory: Receive, the gathered and plain sends and ReceiveAvailable
// reach the system only through the protected ReceiveRaw, SendRaw and AvailableRaw; a
// subclass that overrides them and calls AssumeConnected (see tests/support/memory_socket.h)
// runs every algorithm of this class and of BufferedTCPSocket over scripted bytes.
class Socket : public CCSharedPtr_Base, public Selector::Item, private SocketError {
 public:
  enum State : int32_t {
    kClosed = 0,
    kConnecting = 1,
    kConnected = 2,
    kBound = 3,
    kSendClosed = 5,  // connected, our sending side shut down
  };
  // Time limit meaning "no limit" (Connect blocks in the system call; waits never end).
  static constexpr uint32_t kNoTimeLimit = 0xFFFFFFFFu;
  static constexpr int32_t kStreamType = 1;  // SOCK_STREAM

  ~Socket() override;

  // Closes any open handle, zeroes the byte counters, starts the socket library on first use
  // and creates the socket (TCP_NODELAY on; non-blocking when SetBlocking(false) was asked).
  // Throws NetworkNotAvailable when the library cannot start.
  virtual void Create();
  // Create, then bind to `port` on `addressText` (dotted IPv4), or on every address when it
  // is null. State becomes kBound.
  virtual void Bind(uint16_t port, const char* addressText = nullptr);
  virtual int32_t GetState() const;
  // Resolves `host` (dotted text is never looked up; names under ".invalid" fail as "Host
  // Not Found" without asking the resolver) and connects. With kNoTimeLimit the system call
  // blocks; otherwise the attempt runs non-blocking through WaitForConnect(timeoutMs).
  // True when connected; false when the attempt was still in progress after the limit.
  virtual bool Connect(const CCString& host, uint16_t port, uint32_t timeoutMs);
  // Finishes a connect in progress; true when connected. A socket that does not become
  // writable is waited on again with the same time left, so the attempt ends when it
  // completes, when the system reports its failure (thrown), or when a repeated connect
  // still reports "in progress" after the limit (false).
  virtual bool WaitForConnect(uint32_t timeoutMs);
  virtual bool IsConnecting();
  // Closes the handle; state kClosed, error cleared, peer address forgotten.
  virtual void Close();
  // Closes the system handle only, nothing else changes. Safe from another thread: a thread
  // blocked in a wait or a receive on this socket wakes up and its call fails.
  virtual void CloseHandleOnly();

  // Sends everything in the pieces in one gathered call (repeated for what is left after a
  // partial send). Throws "Not Connected" unless connected with the sending side open.
  virtual Socket& SendBuffers(const std::vector<SendBuffer>& list);
  virtual Socket& SendGather(const SendBuffer* pieces, uint32_t count);
  virtual Socket& Send(const CCString& bytes);
  virtual Socket& Send(const char* text);
  virtual Socket& Send(const void* data, uint32_t length);

  // Receives what is waiting (after waiting for something when blocking).
  virtual CCString ReceiveAvailable();
  // One receive of at most `length` bytes; 0 at end of stream. With a receive time-out set,
  // throws Timeout ("Connection Timed-out") when nothing arrives in time.
  virtual uint32_t Receive(void* data, uint32_t length);
  // Dotted IPv4 text of our end; its port goes to *port when given.
  virtual CCString GetLocalAddress(uint16_t* port = nullptr);
  // Dotted IPv4 text of the peer connected to (or accepted from).
  virtual CCString GetPeerAddress(uint16_t* port = nullptr);
  // True when data (or the end of the stream) can be read within timeoutMs.
  virtual bool WaitReadable(uint32_t timeoutMs);
  virtual bool WaitWritable(uint32_t timeoutMs);
  virtual void SetBlocking(bool blocking);
  // Socket options; a failure is only recorded.
  virtual void SetSendTimeout(uint32_t ms);
  virtual void SetReceiveTimeout(uint32_t ms);

  uint64_t GetBytesReceived() const { return m_bytesReceived; }
  uint64_t GetBytesSent() const { return m_bytesSent; }
  bool IsReadClosed() const { return m_readClosed; }
  bool IsBlocking() const { return m_blocking; }
  // The socket's last error, for exceptions that carry a copy of it.
  const SocketError& GetError() const { return *this; }

  // The socket's pending error becomes its recorded error.
  void OnException() override;

 protected:
  Socket() = default;

  // The socket's error record (a private base) for derived classes.
  SocketError& Error() { return *this; }
  // FetchLastError also closes the state for errors that end the connection.
  int32_t FetchLastError() override;
  // FetchLastError and Throw (with whatever was recorded).
  [[noreturn]] void FailWithLastError();
  // Sets a category without a native code and throws it.
  [[noreturn]] void FailWith(int32_t category);

  void SetState(int32_t state) { m_state = state; }
  void SetReadClosed() { m_readClosed = true; }
  // Shuts down one side when there is a handle; failures are ignored.
  void ShutdownQuietly(SocketSystem::ShutdownHow how);
  // Takes over an accepted handle and its peer address: state kConnected.
  void Adopt(SocketSystem::Handle handle, std::unique_ptr<SocketAddressIPv4> peer);
  // For sockets fed from memory: closes, zeroes the counters and marks the socket connected
  // without any handle.
  void AssumeConnected();

  // The system calls behind Receive, the sends and ReceiveAvailable. They return what the
  // system returns (bytes, 0 at end of stream, -1 with the thread's last socket error set;
  // AvailableRaw true on success) and throw nothing.
  virtual int64_t ReceiveRaw(void* data, uint32_t length);
  virtual int64_t SendRaw(const SendBuffer* pieces, uint32_t count);
  virtual bool AvailableRaw(uint32_t* count);

 private:
  // One wait in the read or write set plus the exception set.
  bool WaitFor(bool write, uint32_t timeoutMs);
  void ResolveInto(const CCString& host, uint16_t port, SocketAddressIPv4* address);

  std::unique_ptr<SocketAddressIPv4> m_peer;
  uint64_t m_bytesReceived = 0;
  uint64_t m_bytesSent = 0;
  int32_t m_socketType = kStreamType;
  uint32_t m_receiveTimeoutMs = 0;
  int32_t m_state = kClosed;
  bool m_blocking = true;
  bool m_readClosed = false;
  // CloseHandleOnly gave the handle's number back to the system (Windows): Close and the
  // destructor must not close it again, since it may name another socket by then.
  std::atomic<bool> m_handleReleased{false};
};

}  // namespace cc
