#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "launcher/text/cc_shared_ptr.h"
#include "launcher/text/cc_string.h"
#include "libs/ccutility/http/cancel_group.h"
#include "libs/ccutility/http/http.h"
#include "libs/ccutility/net/buffered_tcp_socket.h"

namespace cc {

// The program's HTTP/1.1 client over plain "http" URLs: one persistent connection reused
// while the server stays the same, requests queued on it (and held back while corked, then
// sent in one write), responses read in order with retries on a fresh connection, bodies
// resumed by range after a lost connection, a fetch-only-if-changed operation and the
// current user's proxy. Created per download task by its user, driven by one thread; only
// Kill may come from another thread. Every failure is thrown (HTTP::Exception or a socket
// exception); non-2xx statuses are thrown too unless throwOnUnhandled is cleared.
class HTTPClient : public HTTP {
 public:
  // What FetchIfModified writes about a failed attempt (the last one wins).
  struct FetchError {
    CCString url;            // the address of the failed attempt, as sent
    CCString description;    // the exception's description; empty while no attempt failed
    int32_t statusCode = 0;  // the status of the failed attempt's response; 0 when none
    int32_t failures = 0;    // failed attempts so far
  };

  // Receives a note for each failed connect and each failed read that is retried or thrown
  // on: the request's URL, "HTTP.cpp(line) - " and what went wrong.
  using FailureHook = void (*)(void* context, const CCString& note);

  // Attempts of ReceiveResponse, Receive and ReceivePiece; a first "Retry" error grants
  // kExtraRetryAttempts more.
  static constexpr int32_t kAttempts = 3;
  static constexpr int32_t kExtraRetryAttempts = 10;
  // A body left unread before the next response is read and thrown away up to this size;
  // a longer one is abandoned and the connection made again.
  static constexpr int32_t kDrainLimit = 65536;
  // Waits after a 5xx answer: ReceiveResponse waits failures x kServerErrorWaitMs before
  // asking again, FetchIfModified attempt x kFetchRetryWaitMs.
  static constexpr uint32_t kServerErrorWaitMs = 2000;
  static constexpr uint32_t kFetchRetryWaitMs = 1000;

  // With a connection of its own. Either constructor joins the calling thread's current
  // CancelGroup, when it has one (and is killed at once when that group was cancelled).
  HTTPClient();
  // Over `socket` (a socket fed from memory, in tests).
  explicit HTTPClient(const CCSharedPtr<BufferedTCPSocket>& socket);
  ~HTTPClient() override;

  // Queues a `method` request for `url`, an escaped absolute "http" URL, and sends it at
  // once unless corked. Connects (or reuses the connection) first. A `body`, when given, is
  // sent as the request's counted body. The request options (ifModifiedSince,
  // ifUnmodifiedSince, the range) apply to this request only and are cleared.
  // Throws BadURL "Bad URL", UnsupportedProtocol "Unsupported protocol" (before any
  // connection), HTTP::Exception "Stacked requests can only be made to the same server"
  // when requests for another server are still waiting for their answers, and
  // SocketError::Exception::Timeout "HTTPClient::Timeout in connect".
  // (Hides HTTP::SendRequest, which writes a request without queuing it.)
  void SendRequest(const CCString& method, const CCString& url, const CCString& body = CCString());
  // Clears corked and sends every request held back, in one gathered write.
  void Uncork();

  // GETs `url` (escaped here) and returns its body, in up to retries + 1 attempts (none when
  // retries is negative). With a non-zero *lastModified, a HEAD comes first and an unchanged
  // Last-Modified returns an empty string; otherwise *lastModified receives the response's.
  // Returns an empty string when every attempt failed, and at once on a 3xx or 4xx answer.
  // A 5xx answer is asked again after attempt x 1 s, another unhandled status with a
  // cache-busting query ("cb=" and letters "A".."P"), anything else at once. Each failure
  // writes the address and the exception's description into *errorRecord when given.
  // Never throws the network's exceptions.
  CCString FetchIfModified(const CCString& url,
                           int64_t* lastModified,
                           int32_t retries,
                           FetchError* errorRecord);

  // Requests sent or held whose responses have not been read to their end.
  size_t QueuedRequests() const { return m_queue.size() + m_held.size(); }

  // --- Overrides of the message layer ---

  // Also clears the request options: ifModifiedSince, ifUnmodifiedSince and the range.
  void ResetOutgoing() override;
  // Also forgets location, date and lastModified of the last response.
  void ResetIncoming() override;
  // "Host", "From", "User-Agent", "If-Modified-Since", "If-Unmodified-Since".
  void WriteRequestHeaders(CCString& text) override;
  // Takes "Location", "Server", "Date" and "Last-Modified".
  bool OnHeader(const CCString& name, const CCString& value) override;
  // Reads the next response's head while none is being read and requests wait, so that
  // consecutive calls walk through the answers to queued requests in order. An answer whose
  // status was thrown on and whose body was left unread is passed over once another
  // request has been sent.
  int32_t GetState() override;
  // Also retires the oldest queued request.
  void EndBody() override;
  // Drops the connection, the queue and the held requests; uncorks.
  void Reset() override;
  // Reads the status line and header block of the oldest queued request's answer, in up to
  // kAttempts attempts, each after the first on a fresh connection with the queue sent again.
  // Throws "No request sent" without a queued request, BadResponse "Unknown protocol in
  // response: " / "Unknown response code: ", the UnhandledResponse classes (when
  // throwOnUnhandled), LostConnection when the connection keeps closing.
  void ReceiveResponse() override;
  // The body reads, resumed from the first missing byte with a ranged request when the
  // connection is lost, so the caller sees one continuous body. Throws ClientError "Unable to
  // Resume" when the resumed answer's length does not fit, LostConnection when attempts run
  // out. With further requests queued, a read after the end of a body moves on to the next
  // answer (see GetState): stop reading at the end of each body, or use Body.
  CCString ReceivePiece() override;
  uint32_t Receive(void* data, uint32_t length) override;

  // --- Options and the description of the last request ---

  FailureHook failureHook = nullptr;  // none in the program
  void* failureContext = nullptr;
  const CCString* scheme = nullptr;  // HTTPScheme() once a URL was parsed
  CCString urlHost;                  // of the last request's URL
  CCString urlPath;                  // path and query of the last request's URL
  int32_t urlPort = 0;
  CCString connHost;  // where the connection goes (the proxy when one is used)
  CCString proxyHost;
  int32_t connPort = -1;
  int32_t proxyPort = 0;  // 0: the proxy settings were not read yet
  uint32_t connectTimeoutMs = 30000;
  int32_t statusCode = 0;  // of the last status line
  bool corked = false;     // hold requests back (Uncork sends them in one write)
  bool throwOnUnhandled = true;
  bool useProxy = true;  // use the current user's proxy, when one is set up

 protected:
  bool IsCorked() const override { return corked; }
  // Every wait between attempts goes through here; a real sleep of `ms`, cut short by Kill.
  virtual void Pause(uint32_t ms);
  // The current user's proxy as "host[:port]" when one is enabled; false means a direct
  // connection. Windows reads the Internet Settings of the registry; the host build has none.
  virtual bool LookUpProxyServer(CCString& server);

 private:
  // One request as queued: what goes on the wire, and what a resume needs.
  struct QueuedRequest {
    CCString method;
    CCString target;
    CCString line;
    CCString headers;
    CCString range;
    CCString body;
    int32_t rangeStart = -1;
    int32_t rangeLength = 0;
    bool ifUnmodifiedSince = false;
    bool expectsNoBody = false;
  };

  CancelGroup* m_group = nullptr;  // the group joined at construction, if any

  // Reads the proxy settings once: useProxy stays set only when a proxy is configured.
  void ReadProxySettings();
  // Makes sure the connection goes to the request's server (or the proxy).
  void PrepareConnection();
  // Closes and connects to connHost:connPort; throws Timeout "HTTPClient::Timeout in connect".
  void Connect();
  // Closes, connects again and sends every queued request (and any held one) in one write.
  void SendQueuedAgain();
  // Sends the held requests in one write; they join the queue.
  void SendHeld();
  // Adds the pieces of `request` to a gathered write; `range` replaces its Range header.
  static void AddPieces(const QueuedRequest& request,
                        const CCString& range,
                        std::vector<SendBuffer>& pieces);
  void SendPieces(const std::vector<SendBuffer>& pieces);
  // One attempt of ReceiveResponse: status lines up to the final one, its headers, the body
  // set up, the status judged.
  void ReadResponseHead();
  void ThrowForUnhandledStatus();
  // Statuses ReceiveResponse asks again for: 5xx and informational ones other than 100.
  static bool IsAskedAgain(int32_t code);
  // After the head: ends a body that cannot come, or starts reading it.
  void SetUpBody();
  // The same for an answer thrown on after its last attempt; a lost connection is ignored.
  void SetUpBodyQuietly();
  // Runs one body read with the retry-and-resume rules.
  template <class Result, class Read>
  Result ReadResuming(Read&& read);
  // Asks again for the rest of the current body and checks that the answer continues it.
  void Resume();
  // Hands failureHook a note, when one is installed.
  void Note(int line, const CCString& what) const;
  void Note(int line, const SocketError::Exception& e) const;
  // Throws `e` on as an HTTP::Exception (itself when it is one).
  [[noreturn]] void ThrowAsHTTPException(const SocketError::Exception& e) const;
  // "A".."P", one at a time, from the client's own generator.
  char CacheBustingLetter();

  std::deque<QueuedRequest> m_queue;  // sent, answers not read to their end; oldest first
  std::deque<QueuedRequest> m_held;   // held back while corked, not sent yet
  // While a body is resumed: the first missing byte, asked for by the first queued request.
  int32_t m_resumeFrom = -1;
  // The current answer's status was thrown on as an exception.
  bool m_answerThrown = false;
  uint32_t m_random;
};

}  // namespace cc
