#pragma once

#include <cstdint>

#include "launcher/text/cc_string.h"

namespace Vorq {

// What the collection service answers, from the body record of an answer message.
struct TovikAnswer {
  // Answer types (body token 1).
  static constexpr uint8_t kSessionAccepted = 0;
  static constexpr uint8_t kReceipt = 1;
  static constexpr uint8_t kDetailedReceipt = 2;

  bool hasBody = false;  // an answer without a body record carries nothing
  uint8_t type = 0;
  uint32_t identifier = 0;  // the session identifier, or the details' identifier
  uint32_t receipt = 0;     // the sequence number the answer confirms
  uint32_t second = 0;
  uint32_t further = 0;
  CCString text;
};

// Decodes one answer (the bytes after its length prefix): a header record (token 1, not
// looked into) and a body record (token 2); unknown tokens are passed over. Throws
// BinXML::BadStream when the bytes do not decode.
TovikAnswer ParseTovikAnswer(const void* data, uint32_t length);

}  // namespace Vorq
