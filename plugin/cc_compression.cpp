#include "plugin/cc_compression.h"

#include <array>
#include <exception>

namespace {

constexpr std::array<uint32_t, 256> MakeCRC32Table() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k)
      c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[i] = c;
  }
  return table;
}

constexpr std::array<uint32_t, 256> kCRC32Table = MakeCRC32Table();

}  // namespace

uint32_t CCCompression::UpdateCRC32(uint32_t crc, const uint8_t* data, size_t length) {
  crc = ~crc;
  for (size_t i = 0; i < length; ++i)
    crc = kCRC32Table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

CCString CCCompression::Run(CCCompression& compression, const CCString& input) {
  if (*compression.cancelFlag) {
    compression.state = kCancelled;
    return CCString();
  }
  compression.state = kRunning;
  Tracker& tracker = *compression.tracker;
  const uint32_t length = input.Length();
  tracker.SetNextInput(reinterpret_cast<const uint8_t*>(input.c_str()));
  tracker.SetInputLeft(length);
  // Each step writes at most the input's size (and at most kMaxChunk), straight into the
  // result's spare room: the output is never copied again.
  const uint32_t room = length < kMaxChunk ? length : kMaxChunk;
  CCString result;
  uint32_t have = 0;      // output so far
  uint64_t capacity = 0;  // reserved in result

  if (!compression.BeginDecompression())
    return CCString();
  int32_t answer = kGoOn;
  bool failed = false;
  try {
    for (;;) {
      if (capacity - have < room) {
        capacity = capacity * 2 > have + uint64_t(room) ? capacity * 2 : have + uint64_t(room);
        if (capacity > uint64_t(kMaxOutput) + room)
          capacity = uint64_t(kMaxOutput) + room;
        result.Reserve(uint32_t(capacity));
      }
      uint8_t* start =
          have + room ? reinterpret_cast<uint8_t*>(result.Resize(have + room)) + have : nullptr;
      tracker.SetNextOutput(start);
      tracker.SetOutputRoom(room);
      const uint32_t inputBefore = tracker.GetInputLeft();
      answer = compression.DecompressionStep();
      const uint32_t produced = uint32_t(tracker.GetNextOutput() - start);
      const uint32_t consumed = inputBefore - tracker.GetInputLeft();
      have += produced;
      if (compression.progress && consumed)
        compression.progress->OnInputConsumed(consumed);
      if (compression.crcOut) {
        compression.crc = UpdateCRC32(compression.crc, start, produced);
        *compression.crcOut = compression.crc;
      }
      if (have > kMaxOutput) {
        failed = true;
        break;
      }
      if (answer != kGoOn || *compression.cancelFlag)
        break;
      // All the input is here at once: a step that neither consumed nor produced anything
      // waits for input that will never come (a truncated container or stream).
      if (consumed == 0 && produced == 0) {
        failed = true;
        break;
      }
    }
  } catch (const std::exception&) {  // the result could not grow
    failed = true;
  }
  compression.EndDecompression();

  if (*compression.cancelFlag) {
    compression.state = kCancelled;
    return CCString();
  }
  if (failed || answer != kStreamFinished)
    return CCString();
  result.Resize(have);
  compression.state = kFinished;
  return result;
}
