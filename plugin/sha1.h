#pragma once

#include <cstddef>
#include <cstdint>

#include "launcher/text/cc_string.h"

// SHA-1 of the signed downloads. The byte count is kept in 32 bits: the length field of the
// last block holds count * 8 modulo 2^32 in its low four bytes and zeros above, so inputs
// below 512 MiB give the standard digest and longer ones the digest the publisher's old
// tools computed. Uses the processor's SHA instructions when it has them.
class Sha1 {
 public:
  static constexpr size_t kDigestSize = 20;
  static constexpr size_t kBlockSize = 64;

  Sha1() { Reset(); }
  void Reset();
  void Update(const void* data, size_t length);
  // Writes the digest and leaves the object to be Reset before further use.
  void Final(uint8_t digest[kDigestSize]);

  // The digest of `length` bytes in one call.
  static void Digest(const void* data, size_t length, uint8_t digest[kDigestSize]);
  // 40 lower-case hexadecimal digits.
  static CCString Hex(const uint8_t digest[kDigestSize]);

  // Turns the SHA instructions off for this process (benchmarks and tests of the plain code).
  static void DisableShaInstructions();

 private:
  void Blocks(const uint8_t* data, size_t count);

  uint32_t m_state[5];
  uint32_t m_byteCount;  // modulo 2^32, see above
  uint32_t m_fill;       // bytes waiting in m_block
  uint8_t m_block[kBlockSize];
};
