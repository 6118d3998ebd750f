#pragma once

#include <atomic>
#include <cstdint>
#include <map>

#include "launcher/text/cc_shared_ptr.h"
#include "launcher/text/cc_string.h"
#include "libs/ccutility/net/buffered_tcp_socket.h"
#include "libs/ccutility/net/socket_error.h"

namespace cc {

// The HTTP/1.1 message engine over one shared BufferedTCPSocket: writes request lines,
// header blocks and bodies (counted or chunked), reads status lines and header blocks and
// delivers response bodies whole or in pieces, with a small state machine per connection.
// Which server to talk to, and when a response is read, belong to the derived client, which
// implements the abstract operations. Every failure is thrown as an HTTP::Exception or a socket
// exception. One thread drives an object; only Kill may be called from another thread.
class HTTP {
 public:
  class Exception;

  // Where the current message stands.
  enum MessageState : int32_t {
    kNoConnection = 0,
    kAwaitingStatus = 1,  // request sent, status line not read yet
    kReadingHeaders = 2,
    kReadingBody = 3,
    kComplete = 4,  // body finished, none expected, or abandoned
  };

  // What one direction's message declares about its body.
  struct MessageBlock {
    CCString contentEncoding;
    CCString contentType;
    int32_t contentLength = 0;
    int32_t rangeFirst = 0;
    int32_t rangeLast = -1;   // -1: no Content-Range
    int32_t rangeTotal = -1;  // -1: not given or unknown ("*")
    // Further headers, name to value; names compare without regard to case.
    std::map<CCString, CCString, CCStringLess> headers;
    bool chunked = false;
    bool lengthGiven = false;  // a Content-Length header was read
  };

  // The pieces of one request head, built once and sent (possibly again) as one gathered
  // write: line, header text, Range header (empty when none) and the blank line.
  struct RequestHead {
    CCString line;
    CCString headers;
    CCString range;
    bool expectsNoBody = false;  // a "HEAD" request: its response carries no body
  };

  // Size of the pieces a drained body is read and discarded in.
  static constexpr uint32_t kDrainPieceSize = 32768;
  // "100 Continue" answers taken before one final answer.
  static constexpr int32_t kMaxInterimAnswers = 20;

  // Takes a reference to `socket` for the object's life.
  explicit HTTP(const CCSharedPtr<BufferedTCPSocket>& socket);
  HTTP(const HTTP&) = delete;
  HTTP& operator=(const HTTP&) = delete;

  // Reads a header block into `incoming`. Unless `continuing` (the trailers after a chunked
  // body), the incoming block is reset first. Ends at the empty line: state kReadingBody.
  // Throws UnexpectedResponse for a negative or unreadable Content-Length and for a
  // Content-Range whose last byte lies before its first.
  virtual void ReadHeaders(bool continuing);
  // The outgoing block back to its defaults.
  virtual void ResetOutgoing();
  // The incoming block and the body counters back to their defaults; state
  // kAwaitingStatus.
  virtual void ResetIncoming();
  // Appends the request headers ("Host: ...\r\n" and so on) of the next request.
  virtual void WriteRequestHeaders(CCString& text) = 0;
  // Offers a header this layer does not read itself; returns whether it was taken.
  virtual bool OnHeader(const CCString& name, const CCString& value) = 0;
  // Reads the status line and headers first (ReceiveResponse) while the state is below
  // kReadingBody; returns the state.
  virtual int32_t GetState();
  // Accounts for `count` body bytes just delivered: ends a counted body at its length,
  // moves on to the next chunk of a chunked one. Returns the state. Throws
  // "Received too many bytes for chunk" when a chunk is longer than its size line said.
  virtual int32_t OnBodyBytes(int32_t count);
  // The body is over (read, not expected, or abandoned): state kComplete.
  virtual void EndBody();
  // In state kReadingBody sets up the first (or next) piece of the body: the length of a
  // counted body, or the size line of the next chunk (and the trailers after the last).
  virtual void BeginBody();
  virtual ~HTTP();
  // Closes the connection; state kNoConnection; forgets an unfinished outgoing body and a
  // Kill.
  virtual void Reset();
  // Reads the status line and the header block of the next response.
  virtual void ReceiveResponse() = 0;
  // The next piece of the body: at most what one read brought in, never past the current
  // counted body or chunk. Empty once the body is complete. Throws ConnectionClosedError
  // when the peer closes inside the body.
  virtual CCString ReceivePiece();
  // At most `length` bytes of the body with one socket read; 0 once the body is complete.
  // Throws ConnectionClosedError when the peer closes inside the body.
  virtual uint32_t Receive(void* data, uint32_t length);
  // The whole body. Throws when a part of it has already been delivered, and
  // ConnectionClosedError when the peer closes inside it.
  virtual CCString Body();
  // Appends the next piece of the body to `body`, which the caller keeps between calls (it
  // is emptied when nothing has been read yet). Returns whether more is to come.
  virtual bool ContinueReceivingBody(CCString& body);
  // The socket's WaitReadable.
  virtual bool WaitReadable(uint32_t timeoutMs);
  // Aborts the connection from any thread: a call blocked on the socket fails and every
  // later operation throws ConnectionKilled until Reset.
  virtual void Kill();

  // --- The message writer ---

  // "GET /path HTTP/1.1\r\n".
  static CCString RequestLine(const CCString& method, const CCString& target);
  // True for "HEAD" in any case.
  static bool ExpectsNoBody(const CCString& method);
  // Appends the Range header asking for `length` bytes from `start` (-1 as length: to the
  // end; -1 as start: the last `length` bytes); nothing when `length` is 0.
  static void AppendRangeHeader(int32_t start, int32_t length, CCString& text);
  // Appends the entity headers of the outgoing block when it declares a body.
  void WriteEntityHeaders(CCString& text) const;
  // Throws unless a new outgoing message may start: the last counted body is complete and
  // the outgoing block is not chunked with a length.
  void CheckOutgoing() const;
  // Builds the head of a request from the request headers, the outgoing block and the
  // range options, starts counting its outgoing body and ends with ResetOutgoing, so the
  // outgoing block applies to this request only. Throws as CheckOutgoing does.
  RequestHead BuildRequestHead(const CCString& method, const CCString& target);
  // Sends a head built by BuildRequestHead as one gathered write.
  void SendHead(const RequestHead& head);
  // BuildRequestHead and SendHead; a connection that was idle or done now awaits the
  // status line.
  void SendRequest(const CCString& method, const CCString& target);
  // Sends a status line with the further and entity headers of the outgoing block.
  void SendResponseHead(int32_t statusCode, const CCString& reason);
  // Sends bytes of a counted outgoing body; throws when they exceed its declared length.
  void SendBody(const void* data, uint32_t length);
  // Sends one chunk of a chunked outgoing body; an empty one ends the body. Throws unless
  // the outgoing body is chunked, and while requests are held back.
  void SendChunk(const CCString& data);
  // Adds (or replaces) a further header of the next outgoing message.
  void AddHeader(const CCString& name, const CCString& value);

  // --- Reading a response ---

  // Reads what is left of the current body and discards it when that is at most `limit`
  // bytes; otherwise (and always for a chunked body) abandons it. True when the connection
  // is positioned at the next response, false when the body was abandoned and the
  // connection must be made again. A limit of -1 never reads.
  bool DrainBody(int32_t limit);

  int32_t GetBodyRead() const { return bodyRead; }
  bool IsKilled() const { return killed.load(std::memory_order_acquire); }

  // Request options and the description of the last response.
  CCString from;       // "From" request header, when not empty
  CCString userAgent;  // "User-Agent" request header, when not empty
  CCString server;     // "Server" of the last response
  MessageBlock incoming;
  MessageBlock outgoing;
  CCString reasonPhrase;
  int64_t ifModifiedSince = 0;    // seconds since 1970 UTC; 0 = not sent
  int64_t ifUnmodifiedSince = 0;  // 0 = not sent
  int32_t rangeStart = -1;        // -1: the last rangeLength bytes
  int32_t rangeLength = 0;        // 0: no Range header; -1: to the end
  CCString location;              // "Location" of the last response
  int64_t date = 0;               // "Date" of the last response
  int64_t lastModified = 0;       // "Last-Modified" of the last response

 protected:
  // Whether the derived client holds requests back instead of sending them (a chunk may
  // not go out then).
  virtual bool IsCorked() const { return false; }

  // Throws ConnectionKilled after a Kill.
  void ThrowIfKilled() const;
  // A socket line read (see BufferedTCPSocket::ReadLine); a failure after a Kill comes out
  // as ConnectionKilled.
  CCString ReadLine(bool unfold);
  // Throws an HTTP::Exception of class E with `message` and the socket's error record.
  template <class E>
  [[noreturn]] void Fail(const CCString& message) const;
  // Reads the head of the next response while the state is kAwaitingStatus: status lines,
  // each with its header block, up to the first that is not "100 Continue"; `statusCode`
  // receives each line's code as it is read, reasonPhrase its text. A 204, 304 or 412 answer
  // has no body (EndBody); after any other the state is kReadingBody and the caller sets the
  // body up. Throws BadResponse "Unknown protocol in response: " and the line when the first
  // word does not begin with "HTTP/", "Unknown response code: " and the word when the code is
  // not one to three digits from 100 to 599, "Too many interim responses" after
  // kMaxInterimAnswers "100 Continue" answers; the header block throws as ReadHeaders does.
  void ReadStatusAndHeaders(int32_t& statusCode);

  CCSharedPtr<BufferedTCPSocket> socket;
  int32_t state = kAwaitingStatus;
  int32_t bodyRead = 0;  // body bytes delivered so far
  uint32_t chunkSize = 0;
  uint32_t chunkRead = 0;
  int32_t remaining = 0;  // bytes still expected in the counted body or the current chunk
  // The body has neither a length nor chunks: it ends where the peer closes the connection
  // (set by a reader of responses before the body begins; a request body never does).
  bool bodyToClose = false;
  int32_t lastPiece = 0;       // size of the last piece delivered
  int32_t outgoingLength = 0;  // declared length of the body being sent; -1 chunked
  int32_t outgoingSent = 0;

 public:
  uint32_t sendTimeoutMs = 30000;     // applied to the socket on connect
  uint32_t receiveTimeoutMs = 30000;  // applied to the socket on connect

 protected:
  std::atomic<bool> killed{false};

 private:
  // One socket read of at most `length` body bytes, accounted for; 0 at the end of the
  // stream (left to the caller to report).
  uint32_t ReceiveSome(void* data, uint32_t length);
  // Runs a socket call; a failure after a Kill comes out as ConnectionKilled.
  template <class F>
  auto Guarded(F&& call) -> decltype(call());
  // Reads one status line: sets reasonPhrase and returns the code.
  int32_t ReadStatusLine();
  // Reads the size line of the next chunk.
  void BeginChunk();
  // Ends a body that lasts until the peer closes, and the connection with it.
  void EndBodyAtClose();
  // Reads one header into the incoming block or offers it to OnHeader.
  void TakeHeader(const char* name, uint32_t nameLength, const CCString& value);
};

// The root of the HTTP exceptions. Its text: "HTTP::Exception: " and the message, then the
// peer's address in parentheses when it is known; the description stops before the
// parenthesis.
class HTTP::Exception : public SocketError::Exception {
 public:
  class BadURL;
  class UnsupportedProtocol;
  class LostConnection;
  class ConnectionKilled;
  class UnexpectedResponse;
  class UnhandledResponse;

  Exception(const SocketError& error, const CCString& message);
  ~Exception() override;

 protected:
  void BuildText(CCString& description, CCString& whatText) const override;
};

class HTTP::Exception::BadURL : public HTTP::Exception {
 public:
  using HTTP::Exception::Exception;
};

class HTTP::Exception::UnsupportedProtocol : public HTTP::Exception {
 public:
  using HTTP::Exception::Exception;
};

class HTTP::Exception::LostConnection : public HTTP::Exception {
 public:
  using HTTP::Exception::Exception;
};

class HTTP::Exception::ConnectionKilled : public HTTP::Exception {
 public:
  using HTTP::Exception::Exception;
};

// A response this layer cannot read.
class HTTP::Exception::UnexpectedResponse : public HTTP::Exception {
 public:
  class BadResponse;
  using HTTP::Exception::Exception;
};

class HTTP::Exception::UnexpectedResponse::BadResponse
    : public HTTP::Exception::UnexpectedResponse {
 public:
  using UnexpectedResponse::UnexpectedResponse;
};

// A well-formed response the caller did not ask to handle (a status outside 2xx). Its text:
// "HTTP::Exception::UnhandledResponse: " and the reason phrase, then, when the status code
// is not 0, the code (and " - " and the peer's address when known) in parentheses.
class HTTP::Exception::UnhandledResponse : public HTTP::Exception {
 public:
  class Redirection;
  class ClientError;
  class ServerError;

  UnhandledResponse(const SocketError& error, const CCString& message, int32_t statusCode);

  int32_t GetStatusCode() const { return m_statusCode; }

 protected:
  void BuildText(CCString& description, CCString& whatText) const override;

 private:
  int32_t m_statusCode;
};

class HTTP::Exception::UnhandledResponse::Redirection : public HTTP::Exception::UnhandledResponse {
 public:
  using UnhandledResponse::UnhandledResponse;
};

class HTTP::Exception::UnhandledResponse::ClientError : public HTTP::Exception::UnhandledResponse {
 public:
  using UnhandledResponse::UnhandledResponse;
};

class HTTP::Exception::UnhandledResponse::ServerError : public HTTP::Exception::UnhandledResponse {
 public:
  using UnhandledResponse::UnhandledResponse;
};

template <class E>
void HTTP::Fail(const CCString& message) const {
  throw E(socket->GetError(), message);
}

}  // namespace cc
