#include "plugin/cc_compression.h"

#include <array>
#include <exception>
#include <memory>
#include <new>

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
  // Output comes in chunks of at most the input's size per step.
  std::unique_ptr<uint8_t[]> scratch(new (std::nothrow) uint8_t[length ? length : 1]);
  if (!scratch)
    return CCString();
  tracker.SetNextOutput(scratch.get());
  tracker.SetOutputRoom(length);
  CCString result;

  if (!compression.BeginDecompression())
    return CCString();
  int32_t answer = kGoOn;
  bool failed = false;
  try {
    for (;;) {
      const uint32_t inputBefore = tracker.GetInputLeft();
      answer = compression.DecompressionStep();
      const uint32_t produced = uint32_t(tracker.GetNextOutput() - scratch.get());
      if (produced > kMaxOutput - result.Length()) {
        failed = true;
        break;
      }
      result.Append(reinterpret_cast<const char*>(scratch.get()), produced);
      const uint32_t consumed = inputBefore - tracker.GetInputLeft();
      if (compression.progress && consumed)
        compression.progress->OnInputConsumed(consumed);
      if (compression.crcOut) {
        compression.crc = UpdateCRC32(compression.crc, scratch.get(), produced);
        *compression.crcOut = compression.crc;
      }
      tracker.SetNextOutput(scratch.get());
      tracker.SetOutputRoom(length);
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
  compression.state = kFinished;
  return result;
}
