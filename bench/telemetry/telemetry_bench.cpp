// Round trip of numbered telemetry messages: the client sends them to the collection service
// and waits until the receipt of the last one arrived (messages per second). The peer
// figure, measured in the same run, sends the same kind of framed messages through a plain
// socket to a TCP echo and reads every byte back.
//
//   telemetry_bench SERVICE_PORT ECHO_PORT [COUNT]

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "libs/ccutility/binxml/binxml_writer.h"
#include "libs/ccutility/net/socket_system.h"
#include "libs/tovik/tovik.h"
#include "libs/tovik/tovik_clock.h"

namespace {

namespace sys = cc::SocketSystem;

double Seconds(uint64_t startMs) {
  return double(sys::NowMs() - startMs) / 1000.0;
}

std::string Text(int i) {
  return "benchmark line " + std::to_string(i) + " from the launcher's telemetry client";
}

// Sends `count` numbered messages through the client; the rate, or 0 when a receipt is missing.
double ClientRate(uint16_t port, int count) {
  Vorq::Tovik tovik;
  auto* connection = new Vorq::TovikSimpleConnection("127.0.0.1", port);
  tovik.SetConnection(connection, true);
  if (!connection->Open(false) || !tovik.StartSession("TelemetryBench", "1", 0, 0) ||
      tovik.GetSessionId() == 0) {
    fprintf(stderr, "telemetry_bench: no session from the service on port %u\n", port);
    return 0;
  }
  uint64_t start = sys::NowMs();
  for (int i = 0; i < count; ++i) {
    std::string text = Text(i);
    BinXML::String body(text.c_str());
    tovik.Send(Vorq::Tovik::CallerValues(), 2, true, "telemetry_bench.cpp", uint32_t(i), &body,
               nullptr, nullptr);
  }
  uint32_t last = tovik.GetSequence();
  uint32_t got = tovik.WaitForReceipt(last, 120000);
  double seconds = Seconds(start);
  tovik.Shutdown(1000);
  if (got != last) {
    fprintf(stderr, "telemetry_bench: receipt %u of %u\n", got, last);
    return 0;
  }
  return count / seconds;
}

// The same framed messages through a plain blocking socket to the echo, read back whole.
double EchoRate(uint16_t port, int count) {
  std::string stream;
  char buffer[1024];
  for (int i = 0; i < count; ++i) {
    BinXML::Writer w(buffer + 4, sizeof buffer - 4, 0, true);
    std::string text = Text(i);
    w.BeginRecord(1);
    w.SetToken(1);
    w.Write(uint32_t(i + 2));
    w.SetToken(2);
    w.Write(uint8_t(2));
    w.SetToken(3);
    w.Write("telemetry_bench.cpp");
    w.SetToken(4);
    w.Write(uint32_t(i));
    w.SetToken(11);
    w.Write(uint64_t(Vorq::TovikClock::Current().NowSeconds()));
    w.SetToken(15);
    w.Write(true);
    w.EndRecord();
    w.BeginRecord(2);
    w.SetToken(6);
    w.Write(text.c_str());
    w.EndRecord();
    uint32_t n = w.GetBufferSize();
    buffer[0] = char(n >> 24), buffer[1] = char(n >> 16), buffer[2] = char(n >> 8);
    buffer[3] = char(n);
    stream.append(buffer, n + 4);
  }
  sys::Handle s = sys::Create(1);
  cc::SocketAddressIPv4 to;
  to.SetAddress(0x7F000001);
  to.SetPort(port);
  if (sys::Connect(s, to) != 0) {
    fprintf(stderr, "telemetry_bench: no echo on port %u\n", port);
    return 0;
  }
  sys::SetNoDelay(s);
  uint64_t start = sys::NowMs();
  size_t received = 0;
  std::thread reader([&] {
    std::vector<char> in(65536);
    while (received < stream.size()) {
      int64_t n = sys::Receive(s, in.data(), uint32_t(in.size()));
      if (n <= 0)
        break;
      received += size_t(n);
    }
  });
  // Message by message, as the client hands them to its connection.
  for (size_t at = 0; at < stream.size();) {
    const uint8_t* prefix = reinterpret_cast<const uint8_t*>(stream.data() + at);
    size_t end = at + 4 +
                 (uint32_t(prefix[0]) << 24 | uint32_t(prefix[1]) << 16 | uint32_t(prefix[2]) << 8 |
                  prefix[3]);
    while (at < end) {
      int64_t n = sys::Send(s, stream.data() + at, uint32_t(end - at));
      if (n <= 0)
        break;
      at += size_t(n);
    }
    if (at < end) {
      sys::Shutdown(s, sys::kShutdownBoth);  // wakes the reader
      break;
    }
  }
  reader.join();
  double seconds = Seconds(start);
  sys::Close(s);
  return received == stream.size() ? count / seconds : 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: telemetry_bench SERVICE_PORT ECHO_PORT [COUNT]\n");
    return 2;
  }
  uint16_t service = uint16_t(atoi(argv[1]));
  uint16_t echo = uint16_t(atoi(argv[2]));
  int count = argc > 3 ? atoi(argv[3]) : 10000;
  double ours = ClientRate(service, count);
  double peer = EchoRate(echo, count);
  if (ours <= 0 || peer <= 0)
    return 1;
  printf(
      "  %d numbered messages with receipts  %10.0f messages/s   peer %10.0f messages/s"
      "  ratio %.2fx  (peer: Python TCP echo of the same bytes)\n",
      count, ours, peer, ours / peer);
  return 0;
}
