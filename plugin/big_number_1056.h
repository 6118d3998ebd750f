#pragma once

#include <cstddef>
#include <cstdint>

// An unsigned integer of 33 32-bit words (1,056 bits), word 0 the most significant, with a
// reference to the modulus it is reduced by: the arithmetic of the RSA signature check.
class BigNumber1056 {
 public:
  static constexpr int kWords = 33;
  static constexpr size_t kMaxBytes = kWords * 4;  // 132
  static constexpr size_t kOutputBytes = 128;

  BigNumber1056() = default;
  // Zero, reduced by `modulus` (which must outlive this value).
  explicit BigNumber1056(const BigNumber1056* reducer) : modulus(reducer) {}
  // The big-endian bytes, right-aligned (at most 132; more keeps the last 132).
  BigNumber1056(const uint8_t* bytes, size_t count, const BigNumber1056* modulus = nullptr);

  // Zero-fills the value and places `count` big-endian bytes right-aligned.
  void Load(const uint8_t* bytes, size_t count);
  // The low 128 bytes, big-endian.
  void Store(uint8_t out[kOutputBytes]) const;

  // Word-by-word comparison from word 0: negative, 0 or positive.
  int Compare(const BigNumber1056& other) const;
  bool operator<(const BigNumber1056& other) const { return Compare(other) < 0; }
  bool operator==(const BigNumber1056& other) const { return Compare(other) == 0; }

  // a * b mod n by shift and add: the operand with fewer significant bits drives the loop over
  // its set bits while the other is doubled modulo n between them, each partial sum reduced
  // modulo n. Requires a < n, b < n, 0 < n < 2^1055 (the keys have 1,024 bits); out may
  // alias either operand.
  static void MultiplyModulo(const BigNumber1056& a,
                             const BigNumber1056& b,
                             const BigNumber1056& n,
                             BigNumber1056& out);

  // The RSA public operation with exponent 3 over `modulus`: a value not below the modulus
  // is left as it is; otherwise it becomes its cube modulo the modulus.
  void PublicOperation();

  uint32_t words[kWords] = {};
  const BigNumber1056* modulus = nullptr;
};
