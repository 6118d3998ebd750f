#pragma once

// A buffered socket fed from memory, for tests and fuzz targets of code that reads from a
// BufferedTCPSocket (line reading, counted reads, HTTP parsing) without a network.
//
//   CCSharedPtr<cc::MemorySocket> s(new cc::MemorySocket);
//   s->AddInput("HTTP/1.1 200 OK\r\n\r\n");
//   s->SetPieceSize(3);          // every system read returns at most 3 bytes
//   s->Connect("ignored", 80, 0);  // or AssumeConnected through the constructor
//   CCString line = s->ReadLine(false);
//
// Every algorithm of BufferedTCPSocket runs unchanged; only the system reads, sends and the
// count of waiting bytes come from here. After the scripted input the peer closes (reads
// give 0), or fails with a chosen WinSock error (SetEndError). Sent bytes are kept in Sent().

#include <algorithm>
#include <cstring>
#include <string>

#include "libs/ccutility/net/buffered_tcp_socket.h"

namespace cc {

class MemorySocket : public BufferedTCPSocket {
 public:
  // Starts connected, with no input.
  MemorySocket() { AssumeConnected(); }

  void AddInput(const char* bytes, uint32_t length) { m_input.Append(bytes, length); }
  void AddInput(const CCString& bytes) { m_input.Append(bytes); }
  // Largest count one system read returns (0 = no limit).
  void SetPieceSize(uint32_t bytes) { m_pieceSize = bytes; }
  // Once the input is used up, reads fail with this WinSock error instead of giving 0.
  void SetEndError(int32_t native) { m_endError = native; }

  const CCString& Sent() const { return m_sent; }
  uint32_t InputLeft() const { return m_input.Length() - m_inputPos; }
  uint32_t ReadCalls() const { return m_readCalls; }

  // Connecting only marks the socket connected again (the input position is kept).
  bool Connect(const CCString&, uint16_t, uint32_t) override {
    AssumeConnected();
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
      memcpy(data, m_input.c_str() + m_inputPos, n);
    m_inputPos += n;
    return n;
  }

  int64_t SendRaw(const SendBuffer* pieces, uint32_t count) override {
    int64_t total = 0;
    for (uint32_t i = 0; i < count; ++i) {
      m_sent.Append(static_cast<const char*>(pieces[i].data), pieces[i].length);
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
  CCString m_input;
  uint32_t m_inputPos = 0;
  uint32_t m_pieceSize = 0;
  int32_t m_endError = 0;
  uint32_t m_readCalls = 0;
  CCString m_sent;
};

// A memory socket holding `input`, whose system reads return at most `pieceSize` bytes
// (0 = no limit): stream parsers are fed their input in pieces of every size through it.
inline CCSharedPtr<MemorySocket> Scripted(const std::string& input, uint32_t pieceSize) {
  CCSharedPtr<MemorySocket> s(new MemorySocket);
  s->AddInput(input.data(), uint32_t(input.size()));
  s->SetPieceSize(pieceSize);
  return s;
}

}  // namespace cc
