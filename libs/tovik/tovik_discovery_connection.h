#pragma once

#include <cstdint>
#include <memory>

#include "libs/tovik/tovik_connection.h"

namespace Vorq {

// Finds the server on the local network: broadcasts "tovikClient" and takes the first
// machine that answers "tovikServer" as the host. When nobody answers within two seconds
// it waits, and broadcasts again two minutes after the last start.
class TovikAutoDiscoveryConnection : public TovikSimpleConnection {
 public:
  static constexpr uint64_t kAnswerWaitMs = 2000;
  static constexpr uint64_t kRetryAfterMs = 120000;
  static constexpr uint32_t kAnswerSize = 32;  // longer datagrams are cut, so never match
  // The datagrams of discovery, each sent with its terminating zero.
  static constexpr char kClientHello[] = "tovikClient";
  static constexpr char kServerAnswer[] = "tovikServer";

  TovikAutoDiscoveryConnection();
  ~TovikAutoDiscoveryConnection() override;

  // Opens as a simple connection, then starts discovery.
  bool Open(bool deferred) override;
  bool IsOpen() override;
  bool Connect() override;
  void NextServer() override { DiscoveryFailed(); }
  bool DiscoveryStep() override;

  // Nobody answered, or the server found cannot be reached: wait for a later attempt (a
  // connection that never connected) or close.
  virtual void DiscoveryFailed();
  // Opens the socket that receives the answers and broadcasts the question. False when
  // either socket failed (discovery then times out as unanswered).
  virtual bool Broadcast();
  // One datagram from the answer socket: bytes, or a negative value when none waits.
  virtual int32_t ReceiveFrom(void* buffer, uint32_t length, uint32_t* address);
  virtual void StartDiscovery();
  // Starts discovery again when an attempt failed at least two minutes after it started.
  virtual void CheckDiscovery();
  // Reads the answers that arrived. A server's answer makes its address the host and
  // starts connecting; past two seconds without one, DiscoveryFailed. With `block` it
  // polls every 10 ms until one of those happens. True when a server was found.
  virtual bool WaitForServer(bool block = false);

  bool IsDiscovering() const { return m_discovering; }
  // Datagrams read while discovering that were not a server's answer (our own question
  // comes back among them), since the connection was made.
  uint32_t GetStrayDatagrams() const { return m_strayDatagrams; }
  bool IsWaitingToRetry() const { return m_waiting; }

  // True when a datagram is the server's answer: its text (up to a zero, if any) is
  // exactly kServerAnswer.
  static bool IsServerAnswer(const char* datagram, int32_t length);

 protected:
  std::unique_ptr<UDPSocket> m_listener;
  bool m_discovering = false;
  bool m_found = false;
  bool m_waiting = false;  // an attempt failed; CheckDiscovery retries later
  bool m_everConnected = false;
  uint64_t m_discoveryStartMs = 0;
  uint32_t m_strayDatagrams = 0;
  uint16_t m_discoveryPort = kTovikDefaultPort;
  char m_answer[kAnswerSize] = {};
};

// Discovery on the local network, then the publisher's public server.
class TovikAutoDiscoveryOrPublicConnection : public TovikAutoDiscoveryConnection {
 public:
  enum Mode : uint8_t { kModeList = 0, kModeDiscovery = 1, kModePublic = 2 };

  TovikAutoDiscoveryOrPublicConnection() = default;
  bool Open(bool deferred) override;
  void NextServer() override;
  // Switches to the public server.
  void DiscoveryFailed() override;

 protected:
  Mode m_mode = kModeDiscovery;
};

// The hosts of a list in order, then discovery, then the public server; each stage only
// forwards, and a new Open starts from the list again.
class TovikFromListAutoAndPublicConnection : public TovikAutoDiscoveryOrPublicConnection {
 public:
  explicit TovikFromListAutoAndPublicConnection(const char* list);
  bool Open(bool deferred) override;
  void NextServer() override;

 private:
  TovikHostList m_list;
  uint32_t m_cursor = 0;
};

}  // namespace Vorq
