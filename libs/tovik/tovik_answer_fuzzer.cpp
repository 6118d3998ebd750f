// Fuzz target: the decoding of the service's answers over hostile bytes, bounded by their
// length as the client reads them. BadStream is a fine outcome; crashes, sanitizer reports
// and reads past the answer are not.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "libs/ccutility/binxml/binxml_error.h"
#include "libs/tovik/tovik_answer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1024)  // longer answers are passed over unread
    return 0;
  // A copy of exactly the answer's size, so any read past it shows.
  std::vector<uint8_t> answer(data, data + size);
  try {
    Vorq::ParseTovikAnswer(answer.data(), uint32_t(answer.size()));
  } catch (const BinXML::BadStream&) {
  }
  return 0;
}
