#include "plugin/big_number_1056.h"

#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

// The multiplication works on machine-word limbs, least significant first, with the double
// width type for carries: 64-bit limbs where the compiler has a 128-bit type, else 32-bit.
#if defined(__SIZEOF_INT128__)
using Limb = uint64_t;
using DoubleLimb = unsigned __int128;
#else
using Limb = uint32_t;
using DoubleLimb = uint64_t;
#endif
constexpr int kLimbBits = int(sizeof(Limb) * 8);
// Enough limbs for 1,056 bits; a doubled value or a sum below 2n of a 1,024-bit n fits too.
constexpr int kLimbs = (BigNumber1056::kWords * 32 + kLimbBits - 1) / kLimbBits;

struct Limbs {
  Limb v[kLimbs];
};

Limbs ToLimbs(const BigNumber1056& value) {
  Limbs out = {};
  // Word 32 is the least significant 32 bits.
  for (int w = 0; w < BigNumber1056::kWords; ++w) {
    const int bit = 32 * (BigNumber1056::kWords - 1 - w);
    out.v[bit / kLimbBits] |= Limb(value.words[w]) << (bit % kLimbBits);
  }
  return out;
}

void FromLimbs(const Limbs& in, BigNumber1056& value) {
  for (int w = 0; w < BigNumber1056::kWords; ++w) {
    const int bit = 32 * (BigNumber1056::kWords - 1 - w);
    value.words[w] = uint32_t(in.v[bit / kLimbBits] >> (bit % kLimbBits));
  }
}

// One limb of an add with carry and of a subtract with borrow (carry and borrow are 0 or 1),
// with the processor's carry flag where the compiler offers it.
#if defined(__x86_64__) && defined(__SIZEOF_INT128__)
inline Limb AddCarry(Limb a, Limb b, Limb& carry) {
  unsigned long long out;
  carry = _addcarry_u64((unsigned char)carry, a, b, &out);
  return out;
}
inline Limb SubtractBorrow(Limb a, Limb b, Limb& borrow) {
  unsigned long long out;
  borrow = _subborrow_u64((unsigned char)borrow, a, b, &out);
  return out;
}
#else
inline Limb AddCarry(Limb a, Limb b, Limb& carry) {
  const DoubleLimb s = DoubleLimb(a) + b + carry;
  carry = Limb(s >> kLimbBits);
  return Limb(s);
}
inline Limb SubtractBorrow(Limb a, Limb b, Limb& borrow) {
  const DoubleLimb d = DoubleLimb(a) - b - borrow;
  borrow = Limb(d >> kLimbBits) & 1;
  return Limb(d);
}
#endif

// The two steps of the loop below each write their raw result and that result minus n in
// one pass, then keep whichever is below n by picking a pointer, not by a branch: which way
// it goes is a coin toss for the processor's predictor.

// x = 2x mod n, for x < n; the three buffers change roles.
inline void DoubleModulo(const Limbs*& x, Limbs*& spare, Limbs*& scratch, const Limbs& n) {
  Limb borrow = 0;
  Limb previous = 0;
  for (int i = 0; i < kLimbs; ++i) {
    const Limb doubled = (x->v[i] << 1) | (previous >> (kLimbBits - 1));
    previous = x->v[i];
    spare->v[i] = doubled;
    scratch->v[i] = SubtractBorrow(doubled, n.v[i], borrow);
  }
  // No borrow: 2x >= n, the reduced value is the one.
  Limbs* chosen = borrow ? spare : scratch;
  Limbs* other = borrow ? scratch : spare;
  Limbs* old = const_cast<Limbs*>(x);
  x = chosen;
  spare = other;
  scratch = old;
}

// acc = (acc + x) mod n, for acc, x < n.
inline void AddModulo(Limbs*& acc, Limbs*& spare, Limbs*& scratch, const Limbs& x, const Limbs& n) {
  Limb carry = 0, borrow = 0;
  for (int i = 0; i < kLimbs; ++i) {
    const Limb sum = AddCarry(acc->v[i], x.v[i], carry);
    spare->v[i] = sum;
    scratch->v[i] = SubtractBorrow(sum, n.v[i], borrow);
  }
  Limbs* chosen = borrow ? spare : scratch;
  Limbs* other = borrow ? scratch : spare;
  Limbs* old = acc;
  acc = chosen;
  spare = other;
  scratch = old;
}

int BitLength(const Limbs& x) {
  for (int i = kLimbs - 1; i >= 0; --i) {
    if (x.v[i]) {
      int bits = kLimbBits;
      while (!(x.v[i] >> (bits - 1)))
        --bits;
      return kLimbBits * i + bits;
    }
  }
  return 0;
}

// a * b mod n: the operand with fewer significant bits drives the loop over its bits, from
// the lowest; the other is doubled modulo n between them and added in at each set bit.
Limbs MultiplyModulo(const Limbs& a, const Limbs& b, const Limbs& n) {
  const bool aDrives = BitLength(a) <= BitLength(b);
  const Limbs& driver = aDrives ? a : b;
  Limbs buffers[6] = {aDrives ? b : a, {}, {}, {}, {}, {}};
  const Limbs* doubled = &buffers[0];
  Limbs* doubledSpare = &buffers[1];
  Limbs* doubledScratch = &buffers[2];
  Limbs* sum = &buffers[3];
  Limbs* sumSpare = &buffers[4];
  Limbs* sumScratch = &buffers[5];
  const int bits = BitLength(driver);
  for (int bit = 0; bit < bits; ++bit) {
    if ((driver.v[bit / kLimbBits] >> (bit % kLimbBits)) & 1)
      AddModulo(sum, sumSpare, sumScratch, *doubled, n);
    if (bit + 1 < bits)
      DoubleModulo(doubled, doubledSpare, doubledScratch, n);
  }
  return *sum;
}

}  // namespace

BigNumber1056::BigNumber1056(const uint8_t* bytes, size_t count, const BigNumber1056* reducer)
    : modulus(reducer) {
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

void BigNumber1056::MultiplyModulo(const BigNumber1056& a,
                                   const BigNumber1056& b,
                                   const BigNumber1056& n,
                                   BigNumber1056& out) {
  FromLimbs(::MultiplyModulo(ToLimbs(a), ToLimbs(b), ToLimbs(n)), out);
}

void BigNumber1056::PublicOperation() {
  if (!modulus || !(*this < *modulus))
    return;
  const Limbs n = ToLimbs(*modulus);
  const Limbs s = ToLimbs(*this);
  FromLimbs(::MultiplyModulo(::MultiplyModulo(s, s, n), s, n), *this);
}
