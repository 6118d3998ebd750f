#pragma once

// A buffered socket fed from memory, for tests, benchmarks and fuzz targets of code that
// reads from a BufferedTCPSocket (line reading, counted reads, HTTP parsing, the client)
// without a network. Two ways to use it:
//
//   auto s = cc::Scripted("HTTP/1.1 200 OK\r\n\r\n", 3);  // connected; reads give <= 3 bytes
//   CCString line = s->ReadLine(false);
//
//   CCSharedPtr<cc::MemorySocket> s(new cc::MemorySocket({"answer 0", "answer 1"}));
//   // a scripted server: connection i (counted from 0) answers with answer i, the last one
//   // again for later connections, and then closes; what was sent is kept per connection.
//
// Every algorithm of BufferedTCPSocket runs unchanged; only the system reads, sends and the
// count of waiting bytes come from here. After the input the peer closes (reads give 0), or
// fails with a chosen WinSock error (SetEndError).

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "libs/ccutility/net/buffered_tcp_socket.h"

namespace cc {

class MemorySocket : public BufferedTCPSocket {
 public:
  // Starts connected, with no input.
  MemorySocket() : m_sent(1) { AssumeConnected(); }
  // Starts unconnected; each Connect opens the next scripted connection.
  explicit MemorySocket(std::vector<std::string> answers) : m_answers(std::move(answers)) {}

  void AddInput(const char* bytes, uint32_t length) { m_input.append(bytes, length); }
  void AddInput(const CCString& bytes) { AddInput(bytes.c_str(), bytes.Length()); }
  // Largest count one system read returns (0 = no limit).
  void SetPieceSize(uint32_t bytes) { m_pieceSize = bytes; }
  // Once the input is used up, reads fail with this WinSock error instead of giving 0.
  void SetEndError(int32_t native) { m_endError = native; }

  // What was sent on the current connection, and on connection i.
  const std::string& Sent() const { return m_sent.back(); }
  const std::string& SentOn(size_t i) const { return m_sent.at(i); }
  int Connects() const { return m_answers.empty() ? 0 : int(m_sent.size()); }
  int Writes() const { return m_writes; }
  uint32_t InputLeft() const { return uint32_t(m_input.size() - m_inputPos); }
  uint32_t ReadCalls() const { return m_readCalls; }

  // Without a script, connecting only marks the socket connected again (the input
  // position is kept).
  bool Connect(const CCString&, uint16_t, uint32_t) override {
    AssumeConnected();
    if (!m_answers.empty()) {
      m_input = m_answers[std::min(m_sent.size(), m_answers.size() - 1)];
      m_inputPos = 0;
      m_sent.emplace_back();
    }
    return true;
  }
  bool WaitReadable(uint32_t) override { return true; }
  bool WaitWritable(uint32_t) override { return true; }

 protected:
  int64_t ReceiveRaw(void* data, uint32_t length) override {
    ++m_readCalls;
    uint32_t left = InputLeft();
    if (left == 0 && m_endError != 0) {
      SocketSystem::SetLastError(m_endError);
      return -1;
    }
    uint32_t n = std::min(length, left);
    if (m_pieceSize)
      n = std::min(n, m_pieceSize);
    if (n)
      memcpy(data, m_input.data() + m_inputPos, n);
    m_inputPos += n;
    return n;
  }

  int64_t SendRaw(const SendBuffer* pieces, uint32_t count) override {
    ++m_writes;
    int64_t total = 0;
    for (uint32_t i = 0; i < count; ++i) {
      m_sent.back().append(static_cast<const char*>(pieces[i].data), pieces[i].length);
      total += pieces[i].length;
    }
    return total;
  }

  bool AvailableRaw(uint32_t* count) override {
    uint32_t left = InputLeft();
    *count = m_pieceSize ? std::min(left, m_pieceSize) : left;
    return true;
  }

 private:
  std::vector<std::string> m_answers;
  std::string m_input;
  size_t m_inputPos = 0;
  uint32_t m_pieceSize = 0;
  int32_t m_endError = 0;
  uint32_t m_readCalls = 0;
  int m_writes = 0;
  std::vector<std::string> m_sent;
};

// A connected memory socket holding `input`, whose system reads return at most `pieceSize`
// bytes (0 = no limit): stream parsers are fed their input in pieces of every size through it.
inline CCSharedPtr<MemorySocket> Scripted(const std::string& input, uint32_t pieceSize) {
  CCSharedPtr<MemorySocket> s(new MemorySocket);
  s->AddInput(input.data(), uint32_t(input.size()));
  s->SetPieceSize(pieceSize);
  return s;
}

}  // namespace cc
