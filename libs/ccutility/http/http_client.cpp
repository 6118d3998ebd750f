#include "libs/ccutility/http/http_client.h"

#include <chrono>
#include <cstdint>
#include <utility>

#include "libs/ccutility/http/http_date.h"
#include "libs/ccutility/http/url.h"
#include "libs/ccutility/thread/cc_thread.h"

namespace cc {

namespace {

using Unhandled = HTTP::Exception::UnhandledResponse;

const char kCRLF[] = "\r\n";

// Line numbers of the notes handed to failureHook; they name the place that failed.
constexpr int kNoteConnect = 214;
constexpr int kNoteClientError = 402;
constexpr int kNoteServerError = 411;
constexpr int kNoteClosed = 420;
constexpr int kNoteSocketError = 428;
constexpr int kNoteUnknown = 436;
constexpr int kNoteResume = 507;
constexpr int kNoteBodyClosed = 516;
constexpr int kNoteBodyError = 525;
constexpr int kNoteBodyUnknown = 533;

// Status codes the client treats specially.
constexpr int32_t kContinue = 100;
constexpr int32_t kPreconditionFailed = 412;

bool SameHost(const CCString& a, const CCString& b) {
  CCString folded(a);
  folded.SetFlags(CCString::kIgnoreCase);
  return folded == b;
}

bool NameIs(const CCString& name, const char* expected) {
  CCString folded(name);
  folded.SetFlags(CCString::kIgnoreCase);
  return folded == expected;
}

SendBuffer Piece(const CCString& bytes) {
  return SendBuffer{bytes.c_str(), bytes.Length()};
}

}  // namespace

HTTPClient::HTTPClient() : HTTPClient(CCSharedPtr<BufferedTCPSocket>(new BufferedTCPSocket)) {}

HTTPClient::HTTPClient(const CCSharedPtr<BufferedTCPSocket>& connection) : HTTP(connection) {
  // Cache-busting letters only need to differ between clients and runs.
  uint64_t seed = uint64_t(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                  uint64_t(reinterpret_cast<uintptr_t>(this));
  m_random = uint32_t(seed ^ (seed >> 32));
  m_group = CancelGroup::Current();
  if (m_group)
    m_group->Join(this);
}

HTTPClient::~HTTPClient() {
  if (m_group)
    m_group->Leave(this);
}

// ---- Requests ---------------------------------------------------------------------------

void HTTPClient::SendRequest(const CCString& method, const CCString& url, const CCString& body) {
  URL parsed;
  if (!ParseURL(url, parsed) || parsed.port <= 0 || parsed.port > 0xFFFF)
    Fail<Exception::BadURL>("Bad URL");
  if (parsed.scheme != &HTTPScheme())
    Fail<Exception::UnsupportedProtocol>("Unsupported protocol");
  scheme = parsed.scheme;
  urlHost = parsed.host;
  urlPort = parsed.port;
  urlPath = parsed.path;

  if (m_group)
    m_group->NoteRequest(url);
  CheckOutgoing();
  PrepareConnection();
  if (!body.IsEmpty())
    outgoing.contentLength = int32_t(body.Length());

  QueuedRequest request;
  request.method = method;
  // A proxy is given the whole URL; a server only the path.
  request.target = useProxy ? url : urlPath;
  request.rangeStart = rangeStart;
  request.rangeLength = rangeLength;
  request.ifUnmodifiedSince = ifUnmodifiedSince != 0;
  RequestHead head = BuildRequestHead(method, request.target);
  request.line = head.line;
  request.headers = head.headers;
  request.range = head.range;
  request.expectsNoBody = head.expectsNoBody;
  request.body = body;
  if (!body.IsEmpty())
    outgoingSent = outgoingLength;  // the body goes out with the head

  if (corked) {
    m_held.push_back(std::move(request));
  } else {
    m_queue.push_back(std::move(request));
    std::vector<SendBuffer> pieces;
    AddPieces(m_queue.back(), m_queue.back().range, pieces);
    SendPieces(pieces);
  }
  if (state == kNoConnection || state == kComplete)
    state = kAwaitingStatus;
}

void HTTPClient::Uncork() {
  corked = false;
  SendHeld();
}

void HTTPClient::SendHeld() {
  if (m_held.empty())
    return;
  size_t first = m_queue.size();
  while (!m_held.empty()) {
    m_queue.push_back(std::move(m_held.front()));
    m_held.pop_front();
  }
  std::vector<SendBuffer> pieces;
  for (size_t i = first; i < m_queue.size(); ++i)
    AddPieces(m_queue[i], m_queue[i].range, pieces);
  SendPieces(pieces);
}

void HTTPClient::AddPieces(const QueuedRequest& request,
                           const CCString& range,
                           std::vector<SendBuffer>& pieces) {
  pieces.push_back(Piece(request.line));
  pieces.push_back(Piece(request.headers));
  pieces.push_back(Piece(range));
  pieces.push_back(SendBuffer{kCRLF, 2});
  pieces.push_back(Piece(request.body));
}

void HTTPClient::SendPieces(const std::vector<SendBuffer>& pieces) {
  ThrowIfKilled();
  try {
    socket->SendBuffers(pieces);
  } catch (const SocketError::Exception&) {
    ThrowIfKilled();  // the handle was closed under the send by Kill
    throw;
  }
}

void HTTPClient::WriteRequestHeaders(CCString& text) {
  text.Append("Host: ").Append(urlHost);
  if (urlPort != 80)
    text.Append(':').AppendNumber(urlPort);
  text.Append(kCRLF);
  if (!from.IsEmpty())
    text.Append("From: ").Append(from).Append(kCRLF);
  if (!userAgent.IsEmpty())
    text.Append("User-Agent: ").Append(userAgent).Append(kCRLF);
  if (ifModifiedSince != 0) {
    text.Append("If-Modified-Since: ");
    FormatHTTPDate(ifModifiedSince, text);
    text.Append(kCRLF);
  }
  if (ifUnmodifiedSince != 0) {
    text.Append("If-Unmodified-Since: ");
    FormatHTTPDate(ifUnmodifiedSince, text);
    text.Append(kCRLF);
  }
}

void HTTPClient::ResetOutgoing() {
  HTTP::ResetOutgoing();
  ifModifiedSince = 0;
  ifUnmodifiedSince = 0;
  rangeStart = -1;
  rangeLength = 0;
}

// ---- The connection ---------------------------------------------------------------------

void HTTPClient::ReadProxySettings() {
  useProxy = false;
  CCString proxyServer;
  if (!LookUpProxyServer(proxyServer))
    return;
  // "host[:port]"
  CCString host = proxyServer.SplitOff(":");
  host.Trim();
  int64_t port = CCString::ParseInteger(proxyServer.c_str(), int(proxyServer.Length()), 10);
  if (host.IsEmpty())
    return;
  if (port <= 0 || port > 0xFFFF)
    port = 80;
  proxyHost = host;
  proxyPort = int32_t(port);
  useProxy = true;
}

void HTTPClient::PrepareConnection() {
  if (useProxy && proxyPort == 0)
    ReadProxySettings();
  ThrowIfKilled();
  const CCString& host = useProxy ? proxyHost : urlHost;
  const int32_t port = useProxy ? proxyPort : urlPort;
  const bool sameServer = port == connPort && SameHost(host, connHost);

  if (!useProxy && !sameServer && QueuedRequests() > 0) {
    if (m_queue.size() > 1 || !m_held.empty())
      Fail<Exception>("Stacked requests can only be made to the same server");
    // The one answer still coming from the old server is given up.
    if (state == kReadingBody)
      DrainBody(-1);
    m_queue.clear();
  }
  if (sameServer && socket->WaitForConnect(0))
    return;

  // Answers to requests sent on the old connection can no longer come.
  m_queue.clear();
  state = kAwaitingStatus;
  connHost = host;
  connPort = port;
  Connect();
}

void HTTPClient::Connect() {
  ThrowIfKilled();
  socket->Close();
  bool connected = false;
  try {
    connected = socket->Connect(connHost, uint16_t(connPort), connectTimeoutMs);
  } catch (const SocketError::Exception&) {
    ThrowIfKilled();
  }
  if (connected) {
    socket->SetSendTimeout(sendTimeoutMs);
    socket->SetReceiveTimeout(receiveTimeoutMs);
    return;
  }
  socket->Close();
  state = kAwaitingStatus;
  Note(kNoteConnect, "Cannot connect");
  throw SocketError::Exception::Timeout(socket->GetError(), "HTTPClient::Timeout in connect");
}

void HTTPClient::SendQueuedAgain() {
  ThrowIfKilled();
  Connect();
  while (!m_held.empty()) {
    m_queue.push_back(std::move(m_held.front()));
    m_held.pop_front();
  }
  std::vector<SendBuffer> pieces;
  CCString resumedRange;
  for (size_t i = 0; i < m_queue.size(); ++i) {
    const QueuedRequest& request = m_queue[i];
    if (i > 0 || m_resumeFrom < 0) {
      AddPieces(request, request.range, pieces);
      continue;
    }
    // The body being resumed: only what is missing, counted from the first byte asked for.
    int32_t start = request.rangeStart;
    int32_t length = request.rangeLength;
    if (length == 0) {
      start = m_resumeFrom;
      length = -1;
    } else if (start >= 0) {
      start += m_resumeFrom;
      if (length > 0)
        length -= m_resumeFrom;
    } else {
      length -= m_resumeFrom;  // the last `length` bytes of the resource
    }
    AppendRangeHeader(start, length, resumedRange);
    AddPieces(request, resumedRange, pieces);
  }
  SendPieces(pieces);
}

void HTTPClient::Reset() {
  HTTP::Reset();
  connPort = -1;
  connHost.Clear();
  m_queue.clear();
  m_held.clear();
  corked = false;
  m_resumeFrom = -1;
  m_answerThrown = false;
  // A reset client of a cancelled group stays cut.
  if (m_group && m_group->IsCancelled())
    Kill();
}

// ---- Responses --------------------------------------------------------------------------

void HTTPClient::ResetIncoming() {
  HTTP::ResetIncoming();
  location.Clear();
  date = 0;
  lastModified = 0;
}

bool HTTPClient::OnHeader(const CCString& name, const CCString& value) {
  if (NameIs(name, "Location")) {
    location = value;
  } else if (NameIs(name, "Server")) {
    server = value;
  } else if (NameIs(name, "Date")) {
    date = ParseDate(value);
  } else if (NameIs(name, "Last-Modified")) {
    lastModified = ParseDate(value);
  } else {
    return false;
  }
  return true;
}

int32_t HTTPClient::GetState() {
  ThrowIfKilled();
  // An answer thrown on and left unread is passed over once another request follows it.
  bool passOver = state == kReadingBody && m_answerThrown && bodyRead == 0 && QueuedRequests() > 1;
  if (state < kReadingBody || (state == kComplete && QueuedRequests() > 0) || passOver)
    ReceiveResponse();
  return state;
}

void HTTPClient::EndBody() {
  if (state != kComplete && !m_queue.empty())
    m_queue.pop_front();
  HTTP::EndBody();
}

void HTTPClient::ReceiveResponse() {
  if (QueuedRequests() == 0)
    Fail<Exception>("No request sent");
  // An answer cannot come before its request.
  SendHeld();
  m_answerThrown = false;  // an answer left unread is drained or given up below

  // Where the connection stands decides whether the queue must go out again first.
  bool resend = state == kReadingHeaders;
  if (state == kReadingBody) {
    bool positioned = false;
    try {
      positioned = DrainBody(kDrainLimit);
    } catch (const SocketError::Exception&) {
      ThrowIfKilled();
      if (state == kReadingBody)
        EndBody();  // the old body is given up; its request is retired
    }
    resend = !positioned;
    if (QueuedRequests() == 0)
      Fail<Exception>("No request sent");
  }
  if (state == kComplete)
    state = kAwaitingStatus;

  int32_t attemptsLeft = kAttempts;
  int32_t failures = 0;
  bool extraGranted = false;
  for (;;) {
    try {
      if (resend) {
        resend = false;
        SendQueuedAgain();
        state = kAwaitingStatus;
      }
      ReadResponseHead();
      return;
    } catch (const Unhandled::ClientError& e) {
      ThrowIfKilled();
      if (e.GetStatusCode() != kPreconditionFailed)
        Note(kNoteClientError, e);
      throw;
    } catch (const Unhandled::Redirection&) {
      ThrowIfKilled();
      throw;
    } catch (const Unhandled::ServerError& e) {
      ThrowIfKilled();
      Note(kNoteServerError, e);
      ++failures;
      if (--attemptsLeft <= 0) {
        SetUpBodyQuietly();  // the caller may read the last answer's body
        throw;
      }
      Pause(uint32_t(failures) * kServerErrorWaitMs);
    } catch (const SocketError::Exception::ConnectionClosed& e) {
      ThrowIfKilled();
      Note(kNoteClosed, e);
      ++failures;
      if (--attemptsLeft <= 0) {
        CCString message("Lost connection - ");
        throw Exception::LostConnection(e.GetError(), message.Append(e.GetMessage()));
      }
    } catch (const SocketError::Exception& e) {
      ThrowIfKilled();
      Note(kNoteSocketError, e);
      ++failures;
      if (!extraGranted && e.GetCategory() == SocketError::kRetry) {
        extraGranted = true;
        attemptsLeft += kExtraRetryAttempts;
      }
      if (--attemptsLeft <= 0) {
        if (dynamic_cast<const Unhandled*>(&e))
          SetUpBodyQuietly();
        ThrowAsHTTPException(e);
      }
    } catch (...) {
      Note(kNoteUnknown, "Unknown exception");
      throw;
    }
    resend = true;
  }
}

void HTTPClient::ReadResponseHead() {
  m_answerThrown = false;
  ReadStatusAndHeaders(statusCode);
  // A status that is asked again keeps its request queued (a body that ends at once would
  // retire it). Any other's body is set up before it is thrown, so that the caller can
  // still read it and the next answer can be reached past it.
  if (throwOnUnhandled && IsAskedAgain(statusCode))
    ThrowForUnhandledStatus();
  SetUpBody();
  if (throwOnUnhandled)
    ThrowForUnhandledStatus();
}

bool HTTPClient::IsAskedAgain(int32_t code) {
  return (code >= 500 && code <= 599) || (code > kContinue && code <= 199);
}

void HTTPClient::SetUpBody() {
  if (state != kReadingBody)
    return;
  if (m_queue.front().expectsNoBody) {
    EndBody();
    return;
  }
  // Neither a length nor chunks: the body is whatever comes until the server closes.
  bodyToClose = !incoming.chunked && !incoming.lengthGiven;
  BeginBody();
}

void HTTPClient::SetUpBodyQuietly() {
  try {
    SetUpBody();
  } catch (const SocketError::Exception&) {
    // The connection is lost in the body's first line; the next request starts afresh.
  }
}

void HTTPClient::ThrowForUnhandledStatus() {
  const int32_t code = statusCode;
  if ((code >= 200 && code <= 299) || code == kContinue)
    return;
  m_answerThrown = true;
  const SocketError& error = socket->GetError();
  if (code >= 300 && code <= 399)
    throw Unhandled::Redirection(error, reasonPhrase, code);
  if (code >= 400 && code <= 499)
    throw Unhandled::ClientError(error, reasonPhrase, code);
  if (code >= 500 && code <= 599)
    throw Unhandled::ServerError(error, reasonPhrase, code);
  throw Unhandled(error, reasonPhrase, code);
}

// ---- Bodies with resume -----------------------------------------------------------------

CCString HTTPClient::ReceivePiece() {
  if (GetState() != kReadingBody)
    return CCString();
  return ReadResuming<CCString>([this] { return HTTP::ReceivePiece(); });
}

uint32_t HTTPClient::Receive(void* data, uint32_t length) {
  if (GetState() != kReadingBody || length == 0)
    return 0;
  return ReadResuming<uint32_t>([&] { return HTTP::Receive(data, length); });
}

template <class Result, class Read>
Result HTTPClient::ReadResuming(Read&& read) {
  int32_t attemptsLeft = kAttempts;
  bool extraGranted = false;
  bool resume = false;
  for (;;) {
    bool resuming = false;
    try {
      if (resume) {
        resuming = true;
        Resume();
        resuming = false;
        resume = false;
      }
      // Counts only what this read delivers: a piece lost with a failed read is asked for
      // again by the resume.
      lastPiece = 0;
      return read();
    } catch (const Unhandled::ClientError& e) {
      ThrowIfKilled();
      if (!resuming || e.GetStatusCode() == kPreconditionFailed)
        throw;
      Note(kNoteResume, e);
      if (--attemptsLeft <= 0)
        throw;
    } catch (const SocketError::Exception::ConnectionClosed& e) {
      ThrowIfKilled();
      if (bodyToClose)
        throw;  // a body without a length has no byte to resume from
      Note(kNoteBodyClosed, e);
      if (--attemptsLeft <= 0) {
        CCString message("Lost connection - ");
        throw Exception::LostConnection(e.GetError(), message.Append(e.GetMessage()));
      }
    } catch (const SocketError::Exception& e) {
      ThrowIfKilled();
      if (bodyToClose)
        throw;
      Note(kNoteBodyError, e);
      if (!extraGranted && e.GetCategory() == SocketError::kRetry) {
        extraGranted = true;
        attemptsLeft += kExtraRetryAttempts;
      }
      if (--attemptsLeft <= 0)
        ThrowAsHTTPException(e);
    } catch (...) {
      Note(kNoteBodyUnknown, "Unknown exception");
      throw;
    }
    resume = true;
  }
}

void HTTPClient::Resume() {
  // Bytes of a piece that never reached the caller are asked for again.
  const bool counted = !incoming.chunked;
  bodyRead -= lastPiece;
  if (counted)
    remaining += lastPiece;
  lastPiece = 0;
  const int32_t keptRead = bodyRead;
  const int32_t keptRemaining = remaining;

  // On any failure the counters stay those of the interrupted body, and its request stays
  // first in the queue (an answer without a body retires it), so that a later resume starts
  // from the same byte.
  struct Restore {
    HTTPClient& client;
    int32_t read, left;
    bool counted;
    size_t queued;
    QueuedRequest request;
    bool armed = true;
    ~Restore() {
      client.m_resumeFrom = -1;
      if (!armed)
        return;
      if (client.m_queue.size() < queued)
        client.m_queue.push_front(request);
      client.bodyRead = read;
      client.remaining = left;
      client.incoming.chunked = !counted;
      if (counted)
        client.incoming.contentLength = read + left;
      client.lastPiece = 0;
      client.state = kReadingBody;
    }
  } restore{*this, keptRead, keptRemaining, counted, m_queue.size(), m_queue.front()};

  m_resumeFrom = keptRead;
  SendQueuedAgain();
  state = kAwaitingStatus;
  ReceiveResponse();
  if (counted && (incoming.chunked || incoming.contentLength != keptRemaining))
    throw Unhandled::ClientError(socket->GetError(), "Unable to Resume", statusCode);
  if (counted)
    incoming.contentLength += keptRead;
  bodyRead = keptRead;
  restore.armed = false;
}

// ---- Fetch if modified ------------------------------------------------------------------

CCString HTTPClient::FetchIfModified(const CCString& url,
                                     int64_t* lastModifiedInOut,
                                     int32_t retries,
                                     FetchError* errorRecord) {
  CCString address = EscapeURL(url);
  bool cacheBusted = false;
  auto record = [&](const CCString& description, int32_t code) {
    if (!errorRecord)
      return;
    errorRecord->url = address;
    errorRecord->description = description;
    errorRecord->statusCode = code;
    ++errorRecord->failures;
  };
  for (int32_t attempt = 0; attempt <= retries; ++attempt) {
    if (attempt > 0) {
      if (IsKilled())
        break;  // a Kill ends the attempts; Reset would forget it
      Reset();
    } else if (QueuedRequests() > 0) {
      Reset();  // an earlier answer still in the way would be taken for this one
    }
    try {
      if (lastModifiedInOut && *lastModifiedInOut != 0) {
        SendRequest("HEAD", address);
        GetState();
        if (lastModified == *lastModifiedInOut)
          return CCString();
      }
      SendRequest("GET", address);
      CCString body = Body();
      if (lastModifiedInOut)
        *lastModifiedInOut = lastModified;
      return body;
    } catch (const Unhandled::Redirection& e) {
      record(e.GetDescription(), e.GetStatusCode());
      break;
    } catch (const Unhandled::ClientError& e) {
      record(e.GetDescription(), e.GetStatusCode());
      break;
    } catch (const Unhandled::ServerError& e) {
      record(e.GetDescription(), e.GetStatusCode());
      if (attempt > 0 && attempt < retries)
        Pause(uint32_t(attempt) * kFetchRetryWaitMs);
    } catch (const Unhandled& e) {
      record(e.GetDescription(), e.GetStatusCode());
      // An odd status may come from a cache between us and the server: ask for an address
      // no cache has seen.
      if (!cacheBusted)
        address.Append(address.Find("?") == CCString::kNotFound ? "?cb=" : "&cb=");
      cacheBusted = true;
      address.Append(CacheBustingLetter());
    } catch (const Exception::ConnectionKilled& e) {
      record(e.GetDescription(), 0);
      break;
    } catch (const SocketError::Exception& e) {
      record(e.GetDescription(), 0);
    } catch (const std::exception& e) {
      record(e.what(), 0);
    }
  }
  return CCString();
}

char HTTPClient::CacheBustingLetter() {
  m_random = m_random * 1103515245u + 12345u;
  return char('A' + (m_random >> 16) % 16);
}

// ---- Helpers ----------------------------------------------------------------------------

void HTTPClient::Pause(uint32_t ms) {
  // In short steps, so that a Kill from another thread also ends a wait between attempts.
  constexpr uint32_t kStepMs = 20;
  for (uint32_t waited = 0; waited < ms && !IsKilled(); waited += kStepMs)
    SleepMs(std::min(kStepMs, ms - waited));
}

void HTTPClient::Note(int line, const CCString& what) const {
  if (!failureHook)
    return;
  URL target;
  target.scheme = scheme ? scheme : &HTTPScheme();
  target.host = urlHost;
  target.port = urlPort;
  target.path = urlPath;
  CCString note = ComposeURL(target);
  note.Append(" HTTP.cpp(").AppendNumber(line).Append(") - ").Append(what);
  failureHook(failureContext, note);
}

void HTTPClient::Note(int line, const SocketError::Exception& e) const {
  if (failureHook)
    Note(line, e.GetDescription());
}

void HTTPClient::ThrowAsHTTPException(const SocketError::Exception& e) const {
  if (dynamic_cast<const Exception*>(&e))
    throw;
  throw Exception(e.GetError(), e.GetMessage());
}

}  // namespace cc
