#pragma once

#include <cstdint>

#include "libs/ccutility/binxml/binxml_streamable.h"
#include "libs/tovik/tovik_socket.h"

namespace BinXML {

// Sends a message through a connected telemetry socket: every byte it is given goes out
// before Write returns. A full send buffer (a non-blocking socket saying "would block") is
// waited out; the first real send error fails the write, as does a socket that accepts
// nothing for kStallLimitMs. The socket belongs to the caller.
class StreamingSocket : public StreamingOutput {
 public:
  static constexpr uint32_t kStallLimitMs = 20000;

  explicit StreamingSocket(Vorq::Socket& socket) : m_socket(socket) {}
  bool Write(const void* data, uint32_t length) override;

  // The WinSock error of the failed write, 0 after success.
  int GetLastSocketError() const { return m_error; }
  uint64_t GetBytesSent() const { return m_sent; }

 private:
  Vorq::Socket& m_socket;
  int m_error = 0;
  uint64_t m_sent = 0;
};

}  // namespace BinXML
