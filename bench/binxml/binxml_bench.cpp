// Rates of the BinXML writer and reader on the two messages the telemetry client sends most:
// a log line (header and body records, omit-defaults, in the client's 5120-byte area) and a
// crash upload whose 10 MB attachment is streamed from its source. Each has a peer that moves
// the same bytes with memcpy alone, the floor under any encoding.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "libs/ccutility/binxml/binxml.h"

namespace {

constexpr uint32_t kAreaSize = 5120;
constexpr uint32_t kAttachmentSize = 10 * 1000 * 1000;
constexpr const char* kLogText =
    "Preferences: updateURL=http://downloads.galvorand.example/plugin/npwoxact.dll.ver "
    "tovik=tovik.galvorand.example loggingLevel=2";

void EncodeLogLine(BinXML::Writer& w, uint32_t sequence) {
  w.Reset();
  w.BeginRecord(1);
  w.SetToken(1), w.Write(sequence);
  w.SetToken(2), w.Write(uint8_t(3));
  w.SetToken(3), w.Write("preferences.cpp");
  w.SetToken(4), w.Write(uint32_t(214));
  w.SetToken(11), w.Write(uint64_t(1764990000));
  w.SetToken(15), w.Write(true);
  w.EndRecord();
  w.BeginRecord(2);
  w.SetToken(6), w.Write(kLogText);
  w.EndRecord();
}

std::vector<char> LogLineBytes() {
  std::vector<char> area(kAreaSize);
  BinXML::Writer w(area.data(), kAreaSize, 0, true);
  EncodeLogLine(w, 7);
  area.resize(w.GetBufferSize());
  return area;
}

void EncodeLog(benchmark::State& state) {
  std::vector<char> area(kAreaSize);
  BinXML::Writer w(area.data(), kAreaSize, 0, true);
  uint32_t sequence = 0;
  for (auto _ : state) {
    EncodeLogLine(w, ++sequence);
    benchmark::DoNotOptimize(area.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(EncodeLog);

void DecodeLog(benchmark::State& state) {
  std::vector<char> bytes = LogLineBytes();
  char text[1024];
  for (auto _ : state) {
    BinXML::ReaderInput_Memory input(bytes.data(), bytes.size());
    BinXML::Reader r(input, bytes.size());
    uint64_t sum = 0;
    while (!r.AtEnd()) {
      uint8_t record = r.ReadHeader();
      uint64_t outer = r.EnterRecord();
      while (!r.AtEnd()) {
        uint8_t token = r.ReadHeader();
        if (record == 1 && token == 11)
          sum += r.ReadUInt64();
        else if (record == 1 && token == 15)
          sum += r.ReadBool();
        else if (record == 1 && token == 2)
          sum += r.ReadUInt8();
        else if (record == 1 && token != 3)
          sum += r.ReadUInt32();
        else
          sum += r.ReadBinary(text, sizeof text);
      }
      r.LeaveRecord(outer);
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(DecodeLog);

// The peer of both: the encoded log line copied whole, once per message.
void CopyLog(benchmark::State& state) {
  std::vector<char> bytes = LogLineBytes();
  std::vector<char> area(kAreaSize);
  for (auto _ : state) {
    std::memcpy(area.data(), bytes.data(), bytes.size());
    benchmark::DoNotOptimize(area.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(CopyLog);

// A sink that lands the message in memory, as a socket's send buffer would take it.
class CopyOutput : public BinXML::StreamingOutput {
 public:
  explicit CopyOutput(std::vector<char>& target) : m_target(target) {}
  bool Write(const void* data, uint32_t length) override {
    if (length > m_target.size() - m_used)
      return false;
    std::memcpy(m_target.data() + m_used, data, length);
    m_used += length;
    return true;
  }
  void Restart() { m_used = 0; }

 private:
  std::vector<char>& m_target;
  size_t m_used = 0;
};

// A crash upload: header record, the attachment streamed from its source through the sink.
void EncodeAttachment(benchmark::State& state) {
  std::vector<char> content(kAttachmentSize, 'm');
  BinXML::Binary attachment(content.data(), kAttachmentSize);
  std::vector<char> area(kAreaSize);
  std::vector<char> wire(kAttachmentSize + kAreaSize);
  CopyOutput out(wire);
  for (auto _ : state) {
    BinXML::Writer w(area.data(), kAreaSize, 4096, true);
    w.BeginRecord(1);
    w.SetToken(2), w.Write(uint8_t(8));
    w.SetToken(17), w.Write("crash.dmp");
    w.EndRecord();
    w.BeginRecord(2);
    w.SetToken(6), w.Write(attachment);
    w.EndRecord();
    out.Restart();
    if (!w.Send(out))
      state.SkipWithError("send failed");
    benchmark::DoNotOptimize(wire.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kAttachmentSize);
}
BENCHMARK(EncodeAttachment)->Unit(benchmark::kMillisecond);

void DecodeAttachment(benchmark::State& state) {
  std::vector<char> content(kAttachmentSize, 'm');
  std::vector<char> wire(kAttachmentSize + 64);
  BinXML::Writer w(wire.data(), uint32_t(wire.size()), 0, true);
  w.BeginRecord(2);
  w.SetToken(6), w.WriteBinary(content.data(), kAttachmentSize);
  w.EndRecord();
  uint32_t size = w.GetBufferSize();
  std::vector<char> target(kAttachmentSize);
  for (auto _ : state) {
    BinXML::ReaderInput_Memory input(wire.data(), size);
    BinXML::Reader r(input, size);
    r.ReadHeader();
    uint64_t outer = r.EnterRecord();
    r.ReadHeader();
    benchmark::DoNotOptimize(r.ReadBinary(target.data(), uint32_t(target.size())));
    r.LeaveRecord(outer);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kAttachmentSize);
}
BENCHMARK(DecodeAttachment)->Unit(benchmark::kMillisecond);

// The peer of both: the 10 MB copied once.
void CopyAttachment(benchmark::State& state) {
  std::vector<char> content(kAttachmentSize, 'm');
  std::vector<char> target(kAttachmentSize);
  for (auto _ : state) {
    std::memcpy(target.data(), content.data(), kAttachmentSize);
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kAttachmentSize);
}
BENCHMARK(CopyAttachment)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
