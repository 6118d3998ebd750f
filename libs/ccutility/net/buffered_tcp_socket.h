#pragma once

#include <cstdint>

#include "launcher/text/cc_string.h"
#include "libs/ccutility/net/tcp_socket.h"

namespace cc {

// The stream socket the HTTP layer reads from: a 1 MiB read buffer (allocated on the first
// fill, never grown) behind line reads and counted reads, plus listen/accept and orderly
// shutdown. Hold it with CCSharedPtr<BufferedTCPSocket>.
//
// Classes derived from this one name the error type as ::cc::SocketError (the socket's own
// error record is a private base, which hides the unqualified name).
class BufferedTCPSocket : public TCPSocket {
 public:
  // The read buffer's fixed size; one line must fit in it.
  static constexpr uint32_t kBufferSize = 0x100000;

  BufferedTCPSocket() = default;
  // Takes over an accepted connection: connected, with the seed's peer address.
  explicit BufferedTCPSocket(Seed&& seed);

  // Also empties the buffer.
  void Create() override;
  // Orderly close: shuts down what is still open, closes, empties the buffer.
  void Close() override;
  BufferedTCPSocket& SendBuffers(const std::vector<SendBuffer>& list) override;
  BufferedTCPSocket& SendGather(const SendBuffer* pieces, uint32_t count) override;
  BufferedTCPSocket& Send(const CCString& bytes) override;
  BufferedTCPSocket& Send(const char* text) override;
  BufferedTCPSocket& Send(const void* data, uint32_t length) override;
  // Unread buffered bytes when there are any, else what the system has waiting.
  CCString ReceiveAvailable() override;
  // Served from the buffer when it holds bytes; see the .cpp for the exact rules.
  uint32_t Receive(void* data, uint32_t length) override;
  // True at once when the buffer holds unread bytes.
  bool WaitReadable(uint32_t timeoutMs) override;

  // Bind, then listen with the largest backlog.
  virtual void Listen(uint16_t port, const char* addressText = nullptr);
  // Accepts one connection.
  virtual Seed Accept();
  // Half-closes the sending side of a connected socket (state kSendClosed); closes the
  // socket when the peer had already closed its side.
  virtual void ShutdownSend();
  // Half-closes, reads and discards until the peer closes or nothing comes for timeoutMs,
  // then closes.
  virtual void CloseGracefully(uint32_t timeoutMs);
  // ReceiveN into a new string, cut back to what was read.
  virtual CCString ReceiveString(uint32_t length, bool partialOk);
  // Exactly `length` bytes, the buffered ones first. A close before the end: with partialOk
  // the count so far; without it ConnectionClosedError "cc::BufferedTCPSocket::ReceiveN got
  // unexpected close during block read" (0 when nothing had been read).
  uint32_t ReceiveN(void* data, uint32_t length, bool partialOk) override;
  // One line up to its line feed, with leading and trailing white space removed. With
  // `unfold`, following lines that begin with a blank or a tab are joined to it with one
  // blank; an empty line is returned empty and never joined. A line longer than the buffer
  // throws "Message Too Long"; the end of the stream throws ConnectionClosed ("Peer Is
  // Shutting Down").
  virtual CCString ReadLine(bool unfold);

  // Unread bytes held in the buffer.
  uint32_t BufferedBytes() const { return m_end - m_readPos; }
  // One receive into the buffer's free space (unread bytes first moved to its front), or
  // nothing when `skipWhenUnread` and unread bytes remain; returns BufferedBytes. Throws
  // "Message Too Long" when the buffer is full and ConnectionClosed ("Peer Is Shutting
  // Down") at the end of the stream.
  uint32_t FillBuffer(bool skipWhenUnread);

 private:
  // Moves unread bytes to the front, allocates the buffer on first use (or throws "Message
  // Too Long" when it is full) and receives once into the free space. Returns the bytes
  // received; 0 means the peer closed (readClosed set, receiving side shut down).
  uint32_t FillOnce();
  // FillOnce, throwing ConnectionClosed ("Peer Is Shutting Down") at the end of the stream.
  void Fill();
  // Copies up to `length` unread bytes out of the buffer.
  uint32_t TakeBuffered(void* data, uint32_t length);
  // The plain socket receive, marking the end of the stream when it gives 0 bytes.
  uint32_t ReceiveFromSocket(void* data, uint32_t length);
  void EmptyBuffer();

  CCString m_storage;  // owns the buffer's bytes
  char* m_buffer = nullptr;
  uint32_t m_capacity = 0;
  uint32_t m_end = 0;
  uint32_t m_readPos = 0;
  bool m_endOfStream = false;
};

}  // namespace cc
