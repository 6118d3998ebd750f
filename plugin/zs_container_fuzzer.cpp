// Feeds arbitrary bytes to the ".zs" decompression: every input must end, with the output or
// an empty result, without touching memory it does not own.
#include <cstddef>
#include <cstdint>

#include "plugin/cc_lzma.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CCLZMA lzma;
  CCCompression::Run(lzma, CCString(reinterpret_cast<const char*>(data), size));
  return 0;
}
