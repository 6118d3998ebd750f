// Fuzz target: the response reader (status line, header block, counted and chunked bodies)
// fed from memory through the socket seam. The first byte chooses how many bytes each
// system read returns, the second how the bodies are read; the rest is what the server
// sent, read as a run of up to eight responses on one connection. Any exception of the
// network tree is a fine outcome; crashes, sanitizer reports and hangs are not.

#include <cstddef>
#include <cstdint>

#include "libs/ccutility/http/http.h"
#include "tests/support/memory_socket.h"

namespace {

class FuzzHTTP : public cc::HTTP {
 public:
  using HTTP::HTTP;

  void WriteRequestHeaders(CCString& text) override { text.Append("Host: fuzz.example\r\n"); }
  bool OnHeader(const CCString& name, const CCString& value) override {
    return name.Length() + value.Length() > 0;
  }
  // A status line: "HTTP/x.y code reason"; 100 is followed by the real one.
  void ReceiveResponse() override {
    while (state < kReadingBody) {
      CCString line = ReadLine(false);
      if (!line.SplitOff(" \t").StartsWith("HTTP/"))
        Fail<Exception::UnexpectedResponse::BadResponse>("Unknown protocol in response");
      int64_t code = line.SplitOff(" \t").ToInteger(10);
      if (code < 100 || code > 599)
        Fail<Exception::UnexpectedResponse::BadResponse>("Unknown response code");
      reasonPhrase = line.Trim();
      ReadHeaders(false);
      if (code == 100)
        state = kAwaitingStatus;
      else if (code == 204 || code == 304 || code == 412)
        EndBody();
      else
        BeginBody();
    }
  }

  void Next() { state = kAwaitingStatus; }
  int32_t State() const { return state; }
};

void ReadOne(FuzzHTTP& h, uint8_t mode) {
  switch (mode % 5) {
    case 0:
      h.Body();
      break;
    case 1: {
      CCString body;
      while (h.ContinueReceivingBody(body)) {
      }
      break;
    }
    case 2:
      while (!h.ReceivePiece().IsEmpty()) {
      }
      break;
    case 3: {
      char buffer[13];
      while (h.Receive(buffer, sizeof buffer) != 0) {
      }
      break;
    }
    case 4:
      h.GetState();
      h.DrainBody(mode * 8);
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2)
    return 0;
  uint32_t piece = data[0] % 17;  // 0: no limit
  uint8_t mode = data[1];
  CCSharedPtr<cc::MemorySocket> socket(new cc::MemorySocket);
  socket->AddInput(reinterpret_cast<const char*>(data + 2), uint32_t(size - 2));
  socket->SetPieceSize(piece);
  FuzzHTTP h(socket);
  try {
    for (int i = 0; i < 8; ++i) {
      ReadOne(h, uint8_t(mode + i));
      if (h.State() != cc::HTTP::kComplete)
        __builtin_trap();  // every way of reading must finish the body or throw
      h.Next();
    }
  } catch (const cc::SocketError::Exception& e) {
    (void)e.what();
    (void)e.GetDescription();
  }
  return 0;
}
