#include "libs/tovik/tovik_answer.h"

#include "libs/ccutility/binxml/binxml_reader.h"

namespace Vorq {

namespace {
// The body record of a message (the header record, token 1, says nothing an answer needs).
constexpr uint8_t kBodyRecord = 2;
// Body tokens of an answer.
constexpr uint8_t kType = 1, kIdentifier = 2, kReceiptNumber = 3, kSecond = 4, kFurther = 5,
                  kText = 6;
}  // namespace

TovikAnswer ParseTovikAnswer(const void* data, uint32_t length) {
  BinXML::ReaderInput_Memory input(data, length);
  BinXML::Reader reader(input, length);
  TovikAnswer answer;
  while (!reader.AtEnd()) {
    if (reader.ReadHeader() != kBodyRecord)
      continue;  // the header record and anything unknown are skipped by the next read
    answer.hasBody = true;
    uint64_t outer = reader.EnterRecord();
    while (!reader.AtEnd()) {
      switch (reader.ReadHeader()) {
        case kType:
          answer.type = reader.ReadUInt8();
          break;
        case kIdentifier:
          answer.identifier = reader.ReadUInt32();
          break;
        case kReceiptNumber:
          answer.receipt = reader.ReadUInt32();
          break;
        case kSecond:
          answer.second = reader.ReadUInt32();
          break;
        case kFurther:
          answer.further = reader.ReadUInt32();
          break;
        case kText:
          answer.text = reader.ReadText();
          break;
        default:
          break;
      }
    }
    reader.LeaveRecord(outer);
  }
  return answer;
}

}  // namespace Vorq
