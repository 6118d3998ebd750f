#include "plugin/big_number_1056.h"

#include <cstring>

namespace {

// The multiplication works on 64-bit limbs, least significant first: 17 of them hold any
// value of 1,056 bits and a doubled one of up to 1,025.
constexpr int kLimbs = 17;
using Limbs = uint64_t[kLimbs];

void ToLimbs(const BigNumber1056& value, Limbs out) {
  // Word 32 is the least significant; word 0 alone fills the top limb's low half.
  for (int i = 0; i < kLimbs; ++i) {
    const int low = BigNumber1056::kWords - 1 - 2 * i;
    const int high = low - 1;
    out[i] = uint64_t(value.words[low]) | (high >= 0 ? uint64_t(value.words[high]) << 32 : 0);
  }
}

void FromLimbs(const Limbs in, BigNumber1056& value) {
  for (int i = 0; i < kLimbs; ++i) {
    const int low = BigNumber1056::kWords - 1 - 2 * i;
    value.words[low] = uint32_t(in[i]);
    if (low - 1 >= 0)
      value.words[low - 1] = uint32_t(in[i] >> 32);
  }
}

int CompareLimbs(const Limbs a, const Limbs b, int count) {
  for (int i = count - 1; i >= 0; --i) {
    if (a[i] != b[i])
      return a[i] < b[i] ? -1 : 1;
  }
  return 0;
}

// x -= n, for x >= n.
void SubtractLimbs(Limbs x, const Limbs n, int count) {
  uint64_t borrow = 0;
  for (int i = 0; i < count; ++i) {
    const uint64_t d = x[i] - n[i];
    const uint64_t borrowOut = (x[i] < n[i]) | (d < borrow);
    x[i] = d - borrow;
    borrow = borrowOut;
  }
}

// x = 2x mod n, for x < n.
void DoubleModulo(Limbs x, const Limbs n, int count) {
  for (int i = count - 1; i > 0; --i)
    x[i] = (x[i] << 1) | (x[i - 1] >> 63);
  x[0] <<= 1;
  if (CompareLimbs(x, n, count) >= 0)
    SubtractLimbs(x, n, count);
}

// acc = (acc + x) mod n, for acc, x < n.
void AddModulo(Limbs acc, const Limbs x, const Limbs n, int count) {
  uint64_t carry = 0;
  for (int i = 0; i < count; ++i) {
    const uint64_t s = acc[i] + carry;
    carry = s < carry;
    acc[i] = s + x[i];
    carry += acc[i] < x[i];
  }
  if (CompareLimbs(acc, n, count) >= 0)
    SubtractLimbs(acc, n, count);
}

int LimbBitLength(const Limbs x) {
  for (int i = kLimbs - 1; i >= 0; --i) {
    if (x[i])
      return 64 * i + 64 - __builtin_clzll(x[i]);
  }
  return 0;
}

}  // namespace

BigNumber1056::BigNumber1056(const uint8_t* bytes, size_t count, const BigNumber1056* modulus)
    : modulus(modulus) {
  Load(bytes, count);
}

void BigNumber1056::Load(const uint8_t* bytes, size_t count) {
  std::memset(words, 0, sizeof words);
  if (count > kMaxBytes) {
    bytes += count - kMaxBytes;
    count = kMaxBytes;
  }
  // Byte j from the end goes to word 32 - j / 4, at bit 8 * (j % 4).
  for (size_t j = 0; j < count; ++j)
    words[kWords - 1 - j / 4] |= uint32_t(bytes[count - 1 - j]) << (8 * (j % 4));
}

void BigNumber1056::Store(uint8_t out[kOutputBytes]) const {
  for (size_t j = 0; j < kOutputBytes; ++j)
    out[kOutputBytes - 1 - j] = uint8_t(words[kWords - 1 - j / 4] >> (8 * (j % 4)));
}

int BigNumber1056::Compare(const BigNumber1056& other) const {
  for (int i = 0; i < kWords; ++i) {
    if (words[i] != other.words[i])
      return words[i] < other.words[i] ? -1 : 1;
  }
  return 0;
}

int BigNumber1056::BitLength() const {
  for (int i = 0; i < kWords; ++i) {
    if (words[i])
      return 32 * (kWords - i) - __builtin_clz(words[i]);
  }
  return 0;
}

void BigNumber1056::MultiplyModulo(const BigNumber1056& a,
                                   const BigNumber1056& b,
                                   const BigNumber1056& n,
                                   BigNumber1056& out) {
  Limbs driver, doubled, modulusLimbs, sum = {};
  // The operand with fewer significant bits decides how many rounds there are.
  const bool aDrives = a.BitLength() <= b.BitLength();
  ToLimbs(aDrives ? a : b, driver);
  ToLimbs(aDrives ? b : a, doubled);
  ToLimbs(n, modulusLimbs);
  // Room for n and the carry of a doubling or a sum below 2n.
  const int count = LimbBitLength(modulusLimbs) / 64 + 1;
  const int bits = LimbBitLength(driver);
  for (int bit = 0; bit < bits; ++bit) {
    if ((driver[bit / 64] >> (bit % 64)) & 1)
      AddModulo(sum, doubled, modulusLimbs, count);
    if (bit + 1 < bits)
      DoubleModulo(doubled, modulusLimbs, count);
  }
  const BigNumber1056* keep = out.modulus;
  FromLimbs(sum, out);
  out.modulus = keep;
}

void BigNumber1056::PublicOperation() {
  if (!modulus || !(*this < *modulus))
    return;
  BigNumber1056 square(modulus);
  MultiplyModulo(*this, *this, *modulus, square);
  MultiplyModulo(square, *this, *modulus, *this);
}
