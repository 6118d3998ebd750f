// Fuzz target: the response reader (status lines, header block, counted and chunked bodies)
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
  // The message layer's own status-line reader; the body is set up as the client does.
  void ReceiveResponse() override {
    int32_t code = 0;
    ReadStatusAndHeaders(code);
    if (state == kReadingBody)
      BeginBody();
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
