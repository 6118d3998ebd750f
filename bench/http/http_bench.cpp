// Response parsing rates of the HTTP message layer, fed from memory through the socket seam.
// Each figure has a peer measured on the same bytes: the socket layer alone (line reads and
// counted reads, no HTTP) for header blocks and whole responses, memcpy for a large body.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "libs/ccutility/http/http.h"
#include "tests/support/memory_socket.h"

namespace {

// The message layer's status-line reader, with the body set up as the client does.
class BenchHTTP : public cc::HTTP {
 public:
  using HTTP::HTTP;
  void WriteRequestHeaders(CCString&) override {}
  bool OnHeader(const CCString& name, const CCString&) override { return !name.IsEmpty(); }
  void ReceiveResponse() override {
    int32_t code = 0;
    ReadStatusAndHeaders(code);
    if (state == kReadingBody)
      BeginBody();
  }
  void Next() { state = kAwaitingStatus; }
};

// What the test web server sends for a small file on a kept-alive connection.
const char kHead[] =
    "HTTP/1.1 200 OK\r\n"
    "Server: web.example\r\n"
    "Date: Tue, 14 Nov 2023 22:13:20 GMT\r\n"
    "Content-Type: text/plain\r\n"
    "Content-Length: 25\r\n"
    "Last-Modified: Sun, 06 Nov 1994 08:49:37 GMT\r\n"
    "Connection: keep-alive\r\n"
    "ETag: \"2ebc3a21-19\"\r\n"
    "X-Connection: 17\r\n"
    "Accept-Ranges: bytes\r\n"
    "\r\n";
const char kSmallBody[] = "hello from the publisher\n";
constexpr int kResponses = 1000;  // per memory socket

CCString Repeated(const std::string& one, int count) {
  std::string all;
  for (int i = 0; i < count; ++i)
    all += one;
  return CCString(all.data(), all.size());
}

CCSharedPtr<cc::MemorySocket> Feed(const CCString& input) {
  CCSharedPtr<cc::MemorySocket> s(new cc::MemorySocket);
  s->AddInput(input);
  return s;
}

CCString SmallStream() {
  return Repeated(std::string(kHead) + kSmallBody, kResponses);
}

// Two chunks (one with an extension) and the last one.
CCString ChunkedStream() {
  return Repeated(
      "HTTP/1.1 200 OK\r\nServer: web.example\r\nTransfer-Encoding: chunked\r\n\r\n"
      "10;ext=1\r\nhello from the p\r\n9\r\nublisher\n\r\n0\r\n\r\n",
      kResponses);
}

// Peer: the socket alone reading the same bytes as lines, without looking into them.
void LinesOnly(benchmark::State& state, CCString (*stream)()) {
  CCString input = stream();
  for (auto _ : state) {
    auto s = Feed(input);
    while (s->InputLeft() > 0 || s->BufferedBytes() > 0)
      benchmark::DoNotOptimize(s->ReadLine(false).c_str());
  }
  state.SetItemsProcessed(state.iterations() * kResponses);
}
BENCHMARK_CAPTURE(LinesOnly, small, SmallStream);
BENCHMARK_CAPTURE(LinesOnly, chunked, ChunkedStream);

// Header blocks (status line included) read by the message layer; the small bodies are
// taken by a counted socket read.
void HeaderBlock(benchmark::State& state) {
  CCString input = SmallStream();
  for (auto _ : state) {
    auto s = Feed(input);
    BenchHTTP h(s);
    for (int i = 0; i < kResponses; ++i) {
      h.Next();
      h.ReceiveResponse();
      s->ReceiveString(25, false);
    }
  }
  state.SetItemsProcessed(state.iterations() * kResponses);
}
BENCHMARK(HeaderBlock);

// Whole responses, as a client reads them: lazily through GetState, then Body.
void Responses(benchmark::State& state, CCString (*stream)()) {
  CCString input = stream();
  for (auto _ : state) {
    auto s = Feed(input);
    BenchHTTP h(s);
    for (int i = 0; i < kResponses; ++i) {
      h.Next();
      benchmark::DoNotOptimize(h.Body().c_str());
    }
  }
  state.SetItemsProcessed(state.iterations() * kResponses);
}
BENCHMARK_CAPTURE(Responses, small, SmallStream);
BENCHMARK_CAPTURE(Responses, chunked, ChunkedStream);

// A 1 MiB counted body received into the caller's string, as a plug-in download is.
void LargeBody(benchmark::State& state) {
  const uint32_t size = 1 << 20;
  std::string one = "HTTP/1.1 200 OK\r\nContent-Length: 1048576\r\n\r\n" + std::string(size, 'x');
  CCString input(one.data(), one.size());
  for (auto _ : state) {
    auto s = Feed(input);
    BenchHTTP h(s);
    h.Next();
    benchmark::DoNotOptimize(h.Body().c_str());
  }
  state.SetBytesProcessed(state.iterations() * int64_t(size));
}
BENCHMARK(LargeBody);

// Peer: copying the same bytes once into a new string.
void LargeBodyMemcpy(benchmark::State& state) {
  const uint32_t size = 1 << 20;
  std::string source(size, 'x');
  for (auto _ : state) {
    CCString copy;
    memcpy(copy.Resize(size), source.data(), size);
    benchmark::DoNotOptimize(copy.c_str());
  }
  state.SetBytesProcessed(state.iterations() * int64_t(size));
}
BENCHMARK(LargeBodyMemcpy);

}  // namespace

BENCHMARK_MAIN();
