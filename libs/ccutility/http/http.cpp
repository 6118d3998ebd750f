#include "libs/ccutility/http/http.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace cc {

namespace {

using ClosedError = SocketError::Exception::ConnectionClosedError;

const char kCRLF[] = "\r\n";

const char kReceiveClosed[] = "cc::HTTP::Receive got unexpected close during block read";
const char kBodyClosed[] = "cc::HTTP::Body got unexpected close during read";
const char kBodySizeOff[] =
    "Body size seems to be off. You must use the same string to retrieve the entire body "
    "when using ContinueReceivingBody().";

// Status codes the response reader treats specially, and the range it accepts.
constexpr int32_t kContinue = 100;
constexpr int32_t kNoContent = 204;
constexpr int32_t kNotModified = 304;
constexpr int32_t kPreconditionFailed = 412;
constexpr int32_t kLowestStatus = 100;
constexpr int32_t kHighestStatus = 599;

enum class Number { kOk, kNotANumber, kTooLarge };

// Reads `text` as digits of `base` (10 or 16) only, at least one, into a value that fits a
// signed 32-bit field.
Number ReadNumber(const CCString& text, int base, int32_t* value) {
  if (text.IsEmpty())
    return Number::kNotANumber;
  int64_t v = 0;
  bool tooLarge = false;
  for (uint32_t i = 0; i < text.Length(); ++i) {
    char c = text[i];
    int digit;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F')
      digit = c - 'A' + 10;
    else
      return Number::kNotANumber;
    v = v * base + digit;
    if (v > INT32_MAX) {
      tooLarge = true;
      v = INT32_MAX;  // keep scanning: a later non-digit still makes it no number
    }
  }
  if (tooLarge)
    return Number::kTooLarge;
  *value = int32_t(v);
  return Number::kOk;
}

// True when the `length` bytes at `text` spell `name` in any case (ASCII).
template <size_t N>
bool SameName(const char* text, uint32_t length, const char (&name)[N]) {
  if (length != N - 1)
    return false;
  for (uint32_t i = 0; i < length; ++i) {
    char a = text[i], b = name[i];
    if (a >= 'A' && a <= 'Z')
      a = char(a - 'A' + 'a');
    if (b >= 'A' && b <= 'Z')
      b = char(b - 'A' + 'a');
    if (a != b)
      return false;
  }
  return true;
}

template <size_t N>
bool SameName(const CCString& text, const char (&name)[N]) {
  return SameName(text.c_str(), text.Length(), name);
}

// The code word of a status line: one to three digits, else -1.
int32_t StatusCodeOf(const CCString& word) {
  if (word.IsEmpty() || word.Length() > 3)
    return -1;
  int32_t code = 0;
  for (uint32_t i = 0; i < word.Length(); ++i) {
    if (word[i] < '0' || word[i] > '9')
      return -1;
    code = code * 10 + (word[i] - '0');
  }
  return code;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The last coding of a Transfer-Encoding list decides how the body is framed.
bool EndsWithChunked(const CCString& codings) {
  int comma = codings.FindLastOf(",");
  CCString last = comma == CCString::kNotFound ? codings : codings.Substring(comma + 1);
  return SameName(last.Trim(), "chunked");
}

void AppendFurtherHeaders(const HTTP::MessageBlock& block, CCString& text) {
  for (const auto& [name, value] : block.headers)
    text.Append(name).Append(": ").Append(value).Append(kCRLF);
}

SendBuffer Piece(const CCString& bytes) {
  return SendBuffer{bytes.c_str(), bytes.Length()};
}

}  // namespace

HTTP::HTTP(const CCSharedPtr<BufferedTCPSocket>& connection) : socket(connection) {}

HTTP::~HTTP() = default;

template <class F>
auto HTTP::Guarded(F&& call) -> decltype(call()) {
  try {
    return call();
  } catch (const SocketError::Exception&) {
    // The handle was closed under the call by Kill: report that, not the symptom.
    ThrowIfKilled();
    throw;
  }
}

void HTTP::ThrowIfKilled() const {
  if (IsKilled())
    Fail<Exception::ConnectionKilled>("Connection killed");
}

CCString HTTP::ReadLine(bool unfold) {
  ThrowIfKilled();
  return Guarded([&] { return socket->ReadLine(unfold); });
}

// ---- Reading -------------------------------------------------------------------------

int32_t HTTP::ReadStatusLine() {
  // "HTTP/1.1 200 OK"
  const CCString line = ReadLine(false);
  CCString rest(line);
  CCString protocol = rest.SplitOff(" \t");
  if (!protocol.StartsWith("HTTP/"))
    Fail<Exception::UnexpectedResponse::BadResponse>(
        CCString("Unknown protocol in response: ").Append(line));
  rest.Trim();
  CCString codeText = rest.SplitOff(" \t");
  int32_t code = StatusCodeOf(codeText);
  if (code < kLowestStatus || code > kHighestStatus)
    Fail<Exception::UnexpectedResponse::BadResponse>(
        CCString("Unknown response code: ").Append(codeText));
  reasonPhrase = rest.Trim();
  return code;
}

void HTTP::ReadStatusAndHeaders(int32_t& statusCode) {
  int32_t interimAnswers = 0;
  while (state == kAwaitingStatus) {
    statusCode = ReadStatusLine();
    ReadHeaders(false);
    if (statusCode == kContinue) {
      // The final status line follows; a server that only ever says "go on" is cut off.
      if (++interimAnswers > kMaxInterimAnswers)
        Fail<Exception::UnexpectedResponse::BadResponse>("Too many interim responses");
      state = kAwaitingStatus;
      continue;
    }
    if (statusCode == kNoContent || statusCode == kNotModified || statusCode == kPreconditionFailed)
      EndBody();
  }
}

void HTTP::ReadHeaders(bool continuing) {
  ThrowIfKilled();
  if (!continuing) {
    ResetIncoming();
    state = kReadingHeaders;
  }
  // Trailers arrive in state kReadingBody, so the block's end is the empty line alone.
  uint32_t blockBytes = 0;
  for (;;) {
    CCString line = ReadLine(true);
    if (line.IsEmpty())
      break;
    // A block may hold no more than one line may: an endless stream of header lines must
    // not become an endless map.
    blockBytes += line.Length();
    if (blockBytes > BufferedTCPSocket::kBufferSize)
      Fail<Exception::UnexpectedResponse>("Header block is too large");
    // Name and value are cut out of the line directly: this runs for every header line.
    const char* text = line.c_str();
    uint32_t length = line.Length();
    const char* colon = static_cast<const char*>(memchr(text, ':', length));
    uint32_t nameEnd = colon ? uint32_t(colon - text) : length;
    uint32_t valueStart = colon ? nameEnd + 1 : length;
    while (nameEnd > 0 && IsBlank(text[nameEnd - 1]))
      --nameEnd;
    while (valueStart < length && IsBlank(text[valueStart]))
      ++valueStart;
    TakeHeader(text, nameEnd, CCString(text + valueStart, length - valueStart));
  }
  state = kReadingBody;
}

void HTTP::TakeHeader(const char* name, uint32_t nameLength, const CCString& value) {
  if (SameName(name, nameLength, "Content-Encoding")) {
    incoming.contentEncoding = value;
  } else if (SameName(name, nameLength, "Content-Type")) {
    incoming.contentType = value;
  } else if (SameName(name, nameLength, "Content-Length")) {
    bool negative = value.StartsWith("-");
    int32_t length = 0;
    Number n = ReadNumber(negative ? value.Substring(1) : value, 10, &length);
    if (negative && (n == Number::kTooLarge || (n == Number::kOk && length != 0)))
      Fail<Exception::UnexpectedResponse>("Content-Length is negative");
    if (n == Number::kTooLarge)
      Fail<Exception::UnexpectedResponse>("Content-Length is too large");
    if (n != Number::kOk)
      Fail<Exception::UnexpectedResponse>("Content-Length is not a number");
    incoming.contentLength = length;
    incoming.lengthGiven = true;
  } else if (SameName(name, nameLength, "Content-Range")) {
    CCString rest(value);
    CCString unit = rest.SplitOff(" \t");
    if (!SameName(unit, "bytes"))
      return;  // other units say nothing about our bytes
    rest.Trim();
    int32_t first = 0, last = -1, total = -1;
    bool good;
    if (rest.StartsWith("*")) {
      // "*/total": the range asked for lies outside the resource.
      rest.SplitOff("/");
      good = rest == "*" || ReadNumber(rest, 10, &total) == Number::kOk;
    } else {
      CCString firstText = rest.SplitOff("-");
      CCString lastText = rest.SplitOff("/");
      good = ReadNumber(firstText.Trim(), 10, &first) == Number::kOk &&
             ReadNumber(lastText.Trim(), 10, &last) == Number::kOk &&
             (rest.Trim() == "*" || ReadNumber(rest, 10, &total) == Number::kOk);
      if (good && last < first)
        Fail<Exception::UnexpectedResponse>("Range end >= range start");
    }
    if (!good)
      Fail<Exception::UnexpectedResponse>("Content-Range is not readable");
    incoming.rangeFirst = first;
    incoming.rangeLast = last;
    incoming.rangeTotal = total;
  } else if (SameName(name, nameLength, "Transfer-Encoding")) {
    if (EndsWithChunked(value))
      incoming.chunked = true;
  } else {
    OnHeader(CCString(name, nameLength), value);
  }
}

void HTTP::ResetOutgoing() {
  outgoing = MessageBlock();
}

void HTTP::ResetIncoming() {
  incoming = MessageBlock();
  bodyToClose = false;
  bodyRead = 0;
  chunkSize = 0;
  chunkRead = 0;
  remaining = 0;
  lastPiece = 0;
  state = kAwaitingStatus;
}

int32_t HTTP::GetState() {
  ThrowIfKilled();
  if (state < kReadingBody)
    ReceiveResponse();
  return state;
}

int32_t HTTP::OnBodyBytes(int32_t count) {
  ThrowIfKilled();
  if (state != kReadingBody)
    return state;
  if (count < 0 || count > INT32_MAX - bodyRead)
    Fail<Exception::UnexpectedResponse>("Body is too large");
  bodyRead += count;
  remaining -= count;
  lastPiece = count;
  if (!incoming.chunked) {
    if (!bodyToClose && bodyRead >= incoming.contentLength)
      EndBody();
    return state;
  }
  chunkRead += uint32_t(count);
  if (chunkRead > chunkSize)
    Fail<Exception>("Received too many bytes for chunk");
  if (chunkRead == chunkSize) {
    // The chunk's data ends with its line end; anything before it is data beyond the size
    // the chunk declared.
    if (!ReadLine(false).IsEmpty())
      Fail<Exception>("Received too many bytes for chunk");
    BeginBody();
  }
  return state;
}

void HTTP::EndBody() {
  state = kComplete;
}

void HTTP::EndBodyAtClose() {
  EndBody();
  // The peer has closed: the next message needs a new connection.
  socket->Close();
}

void HTTP::BeginBody() {
  if (state != kReadingBody) {
    chunkSize = 0;
    chunkRead = 0;
    remaining = 0;
    return;
  }
  if (incoming.chunked)
    BeginChunk();
  else if (bodyToClose)
    remaining = INT32_MAX - bodyRead;  // up to what the counters can hold
  else
    remaining = incoming.contentLength - bodyRead;
  if (remaining == 0)
    EndBody();
}

void HTTP::BeginChunk() {
  // "1a3;name=value": the size in hexadecimal; extensions mean nothing to us.
  CCString line = ReadLine(false);
  CCString size = line.SplitOff(";");
  int32_t value = 0;
  Number n = ReadNumber(size.Trim(), 16, &value);
  if (n == Number::kTooLarge)
    Fail<Exception::UnexpectedResponse>("Chunk is too large");
  if (n != Number::kOk)
    Fail<Exception::UnexpectedResponse>("Chunk size is not a number");
  chunkSize = uint32_t(value);
  chunkRead = 0;
  remaining = value;
  if (value == 0)
    ReadHeaders(true);  // the trailers
}

void HTTP::Reset() {
  socket->Close();
  state = kNoConnection;
  outgoingLength = 0;
  outgoingSent = 0;
  killed.store(false, std::memory_order_release);
}

uint32_t HTTP::ReceiveSome(void* data, uint32_t length) {
  uint32_t want = std::min(length, uint32_t(remaining));
  uint32_t got = Guarded([&] { return socket->Receive(data, want); });
  if (got == 0) {
    ThrowIfKilled();
    if (bodyToClose)
      EndBodyAtClose();
    return 0;
  }
  OnBodyBytes(int32_t(got));
  return got;
}

uint32_t HTTP::Receive(void* data, uint32_t length) {
  if (GetState() != kReadingBody || length == 0)
    return 0;
  uint32_t got = ReceiveSome(data, length);
  if (got == 0 && state == kReadingBody)
    Fail<ClosedError>(kReceiveClosed);
  return got;
}

CCString HTTP::ReceivePiece() {
  if (GetState() != kReadingBody)
    return CCString();
  // Served from the socket's buffer after at most one read into it, and cut at the end of
  // the counted body or chunk, so a piece never runs into a pipelined response behind it.
  uint32_t held = socket->BufferedBytes();
  if (held == 0) {
    held = Guarded([&] {
      try {
        return socket->FillBuffer(false);
      } catch (const SocketError::Exception::ConnectionClosed&) {
        if (!socket->IsReadClosed())
          throw;
        return 0u;  // the end of the stream, reported below
      }
    });
  }
  if (held == 0) {
    ThrowIfKilled();
    if (bodyToClose) {
      EndBodyAtClose();
      return CCString();
    }
    Fail<ClosedError>(kReceiveClosed);
  }
  uint32_t n = std::min(held, uint32_t(remaining));
  CCString piece = Guarded([&] { return socket->ReceiveString(n, false); });
  OnBodyBytes(int32_t(n));
  return piece;
}

CCString HTTP::Body() {
  GetState();
  if (bodyRead != 0) {
    CCString message("Already read ");
    message.AppendNumber(bodyRead).Append(" bytes of the body");
    Fail<Exception>(message);
  }
  CCString body;
  uint64_t capacity = 0;
  while (state == kReadingBody) {
    uint32_t have = body.Length();
    uint32_t want = uint32_t(remaining);
    if (bodyToClose) {
      // No length to size the string by: fill the room there is, then double it.
      uint32_t room = capacity > have ? uint32_t(capacity - have) : std::max(kDrainPieceSize, have);
      want = std::min(want, room);
    }
    if (have + uint64_t(want) > capacity) {
      // A counted body is one step; chunks grow the string geometrically.
      capacity = std::max<uint64_t>(have + uint64_t(want), capacity * 2);
      capacity = std::min<uint64_t>(capacity, INT32_MAX);
      body.Reserve(uint32_t(capacity));
    }
    char* p = body.Resize(have + want);
    // Through the virtual Receive, so a client that resumes cut bodies does so here too.
    uint32_t got = 0;
    try {
      got = Receive(p + have, want);
    } catch (const ClosedError&) {
      got = 0;  // reported below as the whole body's failure
    }
    body.Resize(have + got);
    if (got == 0 && state == kReadingBody)
      Fail<ClosedError>(kBodyClosed);
  }
  return body;
}

bool HTTP::ContinueReceivingBody(CCString& body) {
  GetState();
  if (bodyRead == 0) {
    body.Clear();
    if (incoming.contentLength > 0 && !incoming.chunked)
      body.Reserve(uint32_t(incoming.contentLength));
  }
  if (incoming.chunked) {
    CCString piece = ReceivePiece();
    body.Append(piece);
    return !piece.IsEmpty();
  }
  if (body.Length() < uint32_t(bodyRead))
    Fail<Exception>(kBodySizeOff);
  if (state == kReadingBody && bodyToClose) {
    // Appended piece by piece, so the string grows geometrically.
    char piece[kDrainPieceSize];
    uint32_t got = Receive(piece, sizeof piece);
    body.Append(piece, got);
  } else if (state == kReadingBody) {
    uint32_t have = body.Length();
    uint32_t want = uint32_t(remaining);
    char* p = body.Resize(have + want);
    uint32_t got = 0;
    try {
      got = Receive(p + have, want);
    } catch (...) {
      body.Resize(have);  // the caller keeps what had arrived before
      throw;
    }
    body.Resize(have + got);
  }
  // By the state rather than by the counters: a response without a body (HEAD, 304) may
  // still announce a length.
  return state == kReadingBody;
}

bool HTTP::WaitReadable(uint32_t timeoutMs) {
  ThrowIfKilled();
  return Guarded([&] { return socket->WaitReadable(timeoutMs); });
}

void HTTP::Kill() {
  killed.store(true, std::memory_order_release);
  socket->CloseHandleOnly();
}

bool HTTP::DrainBody(int32_t limit) {
  ThrowIfKilled();
  if (state != kReadingBody)
    return true;
  if (incoming.chunked || bodyToClose || incoming.contentLength - bodyRead > limit) {
    EndBody();
    return false;
  }
  char piece[kDrainPieceSize];
  while (state == kReadingBody)
    Receive(piece, sizeof piece);
  return true;
}

// ---- Writing -------------------------------------------------------------------------

CCString HTTP::RequestLine(const CCString& method, const CCString& target) {
  CCString line(method);
  line.Append(' ').Append(target).Append(" HTTP/1.1\r\n");
  return line;
}

bool HTTP::ExpectsNoBody(const CCString& method) {
  return SameName(method, "HEAD");
}

void HTTP::AppendRangeHeader(int32_t start, int32_t length, CCString& text) {
  if (length == 0)
    return;
  text.Append("Range: bytes=");
  if (start >= 0) {
    text.AppendNumber(start).Append('-');
    if (length != -1)
      text.AppendNumber(int64_t(start) + length - 1);
  } else {
    text.Append('-').AppendNumber(length);  // the last `length` bytes
  }
  text.Append(kCRLF);
}

void HTTP::WriteEntityHeaders(CCString& text) const {
  if (outgoing.contentLength == 0 && !outgoing.chunked)
    return;
  if (!outgoing.contentEncoding.IsEmpty())
    text.Append("Content-Encoding: ").Append(outgoing.contentEncoding).Append(kCRLF);
  text.Append("Content-Type: ")
      .Append(outgoing.contentType.IsEmpty() ? CCString("text/plain") : outgoing.contentType)
      .Append(kCRLF);
  if (outgoing.chunked)
    text.Append("Transfer-Encoding: chunked\r\n");
  else
    text.Append("Content-Length: ").AppendNumber(outgoing.contentLength).Append(kCRLF);
  if (outgoing.rangeLast != -1) {
    text.Append("Content-Range: bytes ").AppendNumber(outgoing.rangeFirst).Append('-');
    text.AppendNumber(outgoing.rangeLast).Append('/').AppendNumber(outgoing.rangeTotal);
    text.Append(kCRLF);
  }
}

void HTTP::CheckOutgoing() const {
  if (outgoingSent < outgoingLength)
    Fail<Exception>("Cannot send new response until body is complete");
  if (outgoing.chunked && outgoing.contentLength != 0)
    Fail<Exception>("Cannot have a Content-Length with Chunked");
}

HTTP::RequestHead HTTP::BuildRequestHead(const CCString& method, const CCString& target) {
  CheckOutgoing();
  RequestHead head;
  head.line = RequestLine(method, target);
  head.expectsNoBody = ExpectsNoBody(method);
  WriteRequestHeaders(head.headers);
  AppendFurtherHeaders(outgoing, head.headers);
  WriteEntityHeaders(head.headers);
  AppendRangeHeader(rangeStart, rangeLength, head.range);
  outgoingLength = outgoing.chunked ? -1 : outgoing.contentLength;
  outgoingSent = 0;
  ResetOutgoing();
  return head;
}

void HTTP::SendHead(const RequestHead& head) {
  ThrowIfKilled();
  const SendBuffer pieces[4] = {Piece(head.line), Piece(head.headers), Piece(head.range),
                                SendBuffer{kCRLF, 2}};
  Guarded([&] { socket->SendGather(pieces, 4); });
}

void HTTP::SendRequest(const CCString& method, const CCString& target) {
  SendHead(BuildRequestHead(method, target));
  if (state == kNoConnection || state == kComplete)
    state = kAwaitingStatus;
}

void HTTP::SendResponseHead(int32_t statusCode, const CCString& reason) {
  ThrowIfKilled();
  CheckOutgoing();
  CCString line("HTTP/1.1 ");
  line.AppendNumber(statusCode).Append(' ').Append(reason).Append(kCRLF);
  CCString headers;
  AppendFurtherHeaders(outgoing, headers);
  WriteEntityHeaders(headers);
  outgoingLength = outgoing.chunked ? -1 : outgoing.contentLength;
  outgoingSent = 0;
  ResetOutgoing();
  const SendBuffer pieces[3] = {Piece(line), Piece(headers), SendBuffer{kCRLF, 2}};
  Guarded([&] { socket->SendGather(pieces, 3); });
}

void HTTP::SendBody(const void* data, uint32_t length) {
  ThrowIfKilled();
  if (outgoingLength < 0)
    Fail<Exception>("SendBody() is only legal for counted bodies");
  if (int64_t(outgoingSent) + length > outgoingLength)
    Fail<Exception>("Body is longer than its Content-Length");
  Guarded([&] { socket->Send(data, length); });
  outgoingSent += int32_t(length);
}

void HTTP::SendChunk(const CCString& data) {
  ThrowIfKilled();
  if (outgoingLength != -1)
    Fail<Exception>("SendChunk() is only legal for chunked");
  if (IsCorked())
    Fail<Exception>("Cannot send chunk while corked");
  if (data.IsEmpty()) {
    Guarded([&] { socket->Send("0\r\n\r\n"); });
    outgoingLength = 0;  // the body is complete
    return;
  }
  CCString size;
  size.AppendNumber(data.Length(), 16).Append(kCRLF);
  const SendBuffer pieces[3] = {Piece(size), Piece(data), SendBuffer{kCRLF, 2}};
  Guarded([&] { socket->SendGather(pieces, 3); });
}

void HTTP::AddHeader(const CCString& name, const CCString& value) {
  CCString key(name);
  key.SetFlags(CCString::kIgnoreCase);
  outgoing.headers.erase(key);  // the new spelling of the name replaces the old one
  outgoing.headers.emplace(key, value);
}

}  // namespace cc
