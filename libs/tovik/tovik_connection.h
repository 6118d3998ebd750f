#pragma once

#include <cstdint>
#include <memory>

#include "libs/tovik/tovik_host_list.h"
#include "libs/tovik/tovik_socket.h"

namespace BinXML {
class Writer;
}

namespace Vorq {

// The port of the telemetry service, for TCP and for the discovery datagrams.
constexpr uint16_t kTovikDefaultPort = 443;
// The publisher's own telemetry server, reached when nothing else is configured or found.
constexpr const char* kTovikPublicServer = "tovik.galvorand.example";

// The server the public connections and the fallbacks use; kTovikPublicServer unless
// replaced (a test points it at a local service). The text may end in ":port".
const char* TovikPublicServer();
void SetTovikPublicServer(const char* hostAndPort);  // null: back to kTovikPublicServer

// WinSock error numbers the connections act on (the same on every platform).
namespace TovikError {
constexpr int kInvalid = 10022;       // WSAEINVAL: some stacks while connecting
constexpr int kWouldBlock = 10035;    // WSAEWOULDBLOCK
constexpr int kInProgress = 10036;    // WSAEINPROGRESS
constexpr int kAlready = 10037;       // WSAEALREADY
constexpr int kAborted = 10053;       // WSAECONNABORTED
constexpr int kReset = 10054;         // WSAECONNRESET
constexpr int kIsConnected = 10056;   // WSAEISCONN
constexpr int kNotConnected = 10057;  // WSAENOTCONN
constexpr int kHostNotFound = 11001;  // WSAHOST_NOT_FOUND
}  // namespace TovikError

// A connection to the telemetry collection service: which server to use, the non-blocking
// TCP socket to it and an output buffer of queued messages. Driven by polling from one thread
// at a time (the telemetry client serialises its use); time-outs are in milliseconds.
class ITovikConnection {
 public:
  // Creates the socket. Not deferred: open and connecting at once; deferred: the connection
  // is made by the first Flush. False when no socket could be made.
  virtual bool Open(bool deferred) = 0;
  virtual int GetLastSocketError() = 0;
  // Bytes read, or a negative value (see GetLastSocketError).
  virtual int32_t Receive(void* buffer, uint32_t length) = 0;
  // Sends an encoded message whole, its large values straight from their sources. Waits
  // while the socket's send buffer is full; false on the first send error.
  virtual bool SendMessage(BinXML::Writer& message) = 0;
  // Queues bytes. When they do not fit, flushes without waiting and answers false: the
  // caller flushes and tries again.
  virtual bool Append(const void* data, uint32_t length) = 0;
  // Sends what is queued, connecting first when needed (a deferred connection starts
  // connecting here, once something is queued). `timeoutMs` -1 waits for ever, 0 not at all.
  // True when everything went (or nothing was queued); *elapsedMs (when given) gets the time
  // taken, capped at the time-out. A connection lost on the way is closed.
  virtual bool Flush(int32_t timeoutMs, uint32_t* elapsedMs) = 0;
  virtual void Close() = 0;
  virtual const char* GetHost() = 0;
  virtual void SetHost(const char* host) = 0;
  virtual uint16_t GetPort() = 0;
  virtual void SetPort(uint16_t port) = 0;
  // Bytes waiting to be read, or a negative value.
  virtual int32_t BytesAvailable() = 0;
  // Open and connected, from the state alone (no connection step).
  virtual bool IsConnectedFlag() = 0;
  // One connection step; true when open and connected.
  virtual bool Connect() = 0;
  // Readiness now: 1 readable, 2 writable, 4 error; 0 without a socket.
  virtual int Poll() = 0;
  virtual bool IsOpen() = 0;
  virtual bool IsConnecting() = 0;
  virtual bool IsBlocking() = 0;
  // Queued bytes wait and the connection is not deferred.
  virtual bool HasPendingOutput() = 0;
  virtual ~ITovikConnection() = default;
  // Closes, then takes `host` (cut to kMaxHost characters; may end in ":port") and `port`.
  virtual void SetServer(const char* host, uint16_t port) = 0;
  // Resolves `host` and makes one connect call: 0 or the WinSock error.
  virtual int ConnectTo(const char* host, uint16_t port) = 0;
  // The current server cannot be reached: try the next one, or close.
  virtual void NextServer() = 0;
  // Discovery connections: one look for an answer; true while discovery is still under way.
  virtual bool DiscoveryStep() = 0;
  // The connection was lost or its stream is out of step: closes it, and the next Connect
  // step after a short pause opens it again to the same server. Bytes of a message that was
  // sent in part are dropped; whole queued messages stay.
  virtual void Drop() = 0;
  // A framed message sent first on every connection made again after a Drop (the session
  // message that continues the session), replacing the previous one; null or 0: none.
  // Longer than kMaxGreeting bytes: none.
  virtual void SetGreeting(const void* data, uint32_t length) = 0;
};

// A connection to one fixed server. The base of every other connection; also what the
// telemetry log sink uses with the configured server.
class TovikSimpleConnection : public ITovikConnection {
 public:
  static constexpr uint32_t kHostField = 128;
  static constexpr uint32_t kMaxHost = 126;
  static constexpr uint32_t kOutputSize = 4096;
  // A server that has not accepted the connection after this long is given up.
  static constexpr uint64_t kConnectTimeLimitMs = 20000;
  // After a Drop the next attempt waits this long, so a service that is down is not
  // hammered with connection attempts.
  static constexpr uint64_t kReconnectPauseMs = 500;
  static constexpr uint32_t kMaxGreeting = 512;

  // State bits.
  static constexpr uint8_t kOpen = 1;
  static constexpr uint8_t kConnecting = 2;
  static constexpr uint8_t kBlocking = 4;  // deferred: the first Flush connects

  explicit TovikSimpleConnection(const char* host = "", uint16_t port = kTovikDefaultPort);
  ~TovikSimpleConnection() override;

  bool Open(bool deferred) override;
  int GetLastSocketError() override { return m_lastError; }
  int32_t Receive(void* buffer, uint32_t length) override;
  bool SendMessage(BinXML::Writer& message) override;
  bool Append(const void* data, uint32_t length) override;
  bool Flush(int32_t timeoutMs, uint32_t* elapsedMs) override;
  void Close() override;
  const char* GetHost() override { return m_hostText; }
  void SetHost(const char* host) override { SetServer(host, GetPort()); }
  uint16_t GetPort() override { return m_port; }
  void SetPort(uint16_t port) override;
  int32_t BytesAvailable() override;
  bool IsConnectedFlag() override { return (m_state & (kOpen | kConnecting)) == kOpen; }
  bool Connect() override;
  int Poll() override;
  bool IsOpen() override { return (m_state & kOpen) != 0; }
  bool IsConnecting() override { return (m_state & kConnecting) != 0; }
  bool IsBlocking() override { return (m_state & kBlocking) != 0; }
  bool HasPendingOutput() override { return m_outputLength > 0 && !IsBlocking(); }
  void SetServer(const char* host, uint16_t port) override;
  int ConnectTo(const char* host, uint16_t port) override;
  // A fixed server that cannot be reached is tried again after a pause.
  void NextServer() override { Drop(); }
  bool DiscoveryStep() override { return false; }
  void Drop() override;
  void SetGreeting(const void* data, uint32_t length) override;

  // The port a Connect step uses for the host in use: its ":port" suffix, else the
  // default port (also for ":0" and for a suffix that is not a port number).
  uint16_t PortOfHost(const char* host) const;
  uint32_t PendingOutput() const { return m_outputLength; }
  // Whole queued messages given up to make room for the greeting, since construction.
  uint32_t DroppedMessages() const { return m_droppedMessages; }

 protected:
  // A fresh socket for a new attempt at the host in use: open and connecting, timed anew.
  // False when no socket could be made (the connection is then closed).
  bool Reopen();
  // One wait of Flush's loop: 10 ms for ever, nothing for 0, else the rest (at most 10 ms).
  void WaitStep(int32_t timeoutMs, uint64_t elapsedMs);
  // Notes that `sent` bytes left the front of the output (before they are removed), keeping
  // count of the part of a message whose beginning already went.
  void NoteSent(uint32_t sent);
  // Removes the unsent rest of a message that went out in part.
  void DropPartialMessage();
  // Puts the greeting in front of the queued messages, giving up the oldest ones when it
  // would not fit otherwise.
  void QueueGreeting();

  char m_hostText[kHostField] = {};
  const char* m_host = m_hostText;
  uint16_t m_defaultPort;
  uint16_t m_port;
  std::unique_ptr<TCPSocket> m_socket;
  int m_lastError = 0;
  uint8_t m_state = 0;
  bool m_firstAttempt = false;
  uint64_t m_firstAttemptMs = 0;
  // The address of the attempt under way, resolved once per attempt.
  bool m_resolved = false;
  uint32_t m_address = 0;
  char m_output[kOutputSize];
  uint32_t m_outputLength = 0;
  // The queued bytes are whole framed messages (a 4-byte big-endian length, then the
  // message), except that the first m_partialRest bytes finish one sent in part.
  uint32_t m_partialRest = 0;
  // Set by Drop: the next Connect step after m_droppedAtMs + kReconnectPauseMs reopens.
  bool m_reconnect = false;
  uint64_t m_droppedAtMs = 0;
  char m_greeting[kMaxGreeting];
  uint32_t m_greetingLength = 0;
  uint32_t m_droppedMessages = 0;
};

// The publisher's own server.
class TovikPublicConnection : public TovikSimpleConnection {
 public:
  TovikPublicConnection();
};

// The hosts of a list in order; keywords in the list are passed over.
class TovikOneFromListConnection : public TovikSimpleConnection {
 public:
  // `list`: entries separated by "," or ";" (see TovikHostList).
  explicit TovikOneFromListConnection(const char* list);
  bool Open(bool deferred) override;
  void NextServer() override;

 private:
  TovikHostList m_list;
  uint32_t m_cursor = 0;
};

}  // namespace Vorq
