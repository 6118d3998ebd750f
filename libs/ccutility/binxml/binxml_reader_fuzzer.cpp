// Fuzz target: the reader over hostile bytes. The first byte chooses how each value is read
// (as which kind, or skipped, or entered as a record); the rest is the message, read bounded
// by its length as the telemetry client reads an answer. BadStream is a fine outcome;
// crashes, sanitizer reports, hangs and reads past the message are not.

#include <cstddef>
#include <cstdint>

#include "libs/ccutility/binxml/binxml_reader.h"

namespace {

// Reads every item of the current record, choosing per token how to read it.
void ReadItems(BinXML::Reader& reader, uint8_t mode, int depth) {
  while (!reader.AtEnd()) {
    uint8_t token = reader.ReadHeader();
    switch ((token + mode) % 9) {
      case 0:
        reader.ReadBool();
        break;
      case 1:
        reader.ReadUInt32();
        break;
      case 2:
        reader.ReadUInt64();
        break;
      case 3:
        reader.ReadText();
        break;
      case 4: {
        char buffer[64];
        if (reader.ReadBinary(buffer, sizeof buffer) > sizeof buffer)
          __builtin_trap();
        break;
      }
      case 5:
        if (reader.Peek() != reader.GetToken())
          __builtin_trap();
        break;
      case 6:
      case 7:
        if (depth < 32) {
          uint64_t outer = reader.EnterRecord();
          ReadItems(reader, uint8_t(mode >> 1 | mode << 7), depth + 1);
          reader.LeaveRecord(outer);
        }
        break;
      default:
        break;  // unknown: skipped by the next header
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1)
    return 0;
  BinXML::ReaderInput_Memory input(data + 1, size - 1);
  BinXML::Reader reader(input, size - 1);
  try {
    ReadItems(reader, data[0], 0);
    // At the end at most the last value is left unread; the reader counts what it consumed.
    if (reader.GetPosition() > size - 1 || input.Consumed() != reader.GetPosition())
      __builtin_trap();
  } catch (const BinXML::BadStream& e) {
    (void)e.what();
  }
  if (input.Consumed() > size - 1)
    __builtin_trap();
  return 0;
}
