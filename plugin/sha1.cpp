#include "plugin/sha1.h"

#include <atomic>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#define GALVORAND_SHA1_X86 1
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace {

inline uint32_t Rotate(uint32_t x, int n) {
  return (x << n) | (x >> (32 - n));
}

inline uint32_t LoadBigEndian(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

void BlocksPlain(uint32_t state[5], const uint8_t* data, size_t count) {
  for (; count > 0; --count, data += Sha1::kBlockSize) {
    uint32_t w[16];
    for (int i = 0; i < 16; ++i)
      w[i] = LoadBigEndian(data + 4 * i);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
    for (int i = 0; i < 80; ++i) {
      uint32_t word;
      if (i < 16) {
        word = w[i];
      } else {
        word = Rotate(w[(i + 13) & 15] ^ w[(i + 8) & 15] ^ w[(i + 2) & 15] ^ w[i & 15], 1);
        w[i & 15] = word;
      }
      uint32_t f, k;
      if (i < 20) {
        f = (b & c) | (~b & d);
        k = 0x5A827999;
      } else if (i < 40) {
        f = b ^ c ^ d;
        k = 0x6ED9EBA1;
      } else if (i < 60) {
        f = (b & c) | (b & d) | (c & d);
        k = 0x8F1BBCDC;
      } else {
        f = b ^ c ^ d;
        k = 0xCA62C1D6;
      }
      uint32_t t = Rotate(a, 5) + f + e + k + word;
      e = d;
      d = c;
      c = Rotate(b, 30);
      b = a;
      a = t;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
  }
}

#if defined(GALVORAND_SHA1_X86)

// Twenty groups of four rounds with the processor's SHA instructions. Message words of group
// i come from the four before it: W[i] = msg2(msg1(W[i-4], W[i-3]) ^ W[i-2], W[i-1]).
__attribute__((target("sha,sse4.1"))) void BlocksShaInstructions(uint32_t state[5],
                                                                 const uint8_t* data,
                                                                 size_t count) {
  const __m128i byteSwap = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
  __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0x1B);
  __m128i e0 = _mm_set_epi32(int(state[4]), 0, 0, 0);
  for (; count > 0; --count, data += Sha1::kBlockSize) {
    const __m128i abcdSaved = abcd;
    const __m128i eSaved = e0;
    __m128i msg[4];
    for (int i = 0; i < 4; ++i) {
      msg[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)),
                                byteSwap);
    }
    __m128i e1;
    e0 = _mm_add_epi32(e0, msg[0]);
    e1 = abcd;
    abcd = _mm_sha1rnds4_epu32(abcd, e0, 0);
#define GALVORAND_SHA1_GROUP(i)                                        \
  do {                                                                 \
    if ((i) >= 4) {                                                    \
      msg[(i)&3] = _mm_sha1msg1_epu32(msg[(i)&3], msg[((i) + 1) & 3]); \
      msg[(i)&3] = _mm_xor_si128(msg[(i)&3], msg[((i) + 2) & 3]);      \
      msg[(i)&3] = _mm_sha1msg2_epu32(msg[(i)&3], msg[((i) + 3) & 3]); \
    }                                                                  \
    if ((i)&1) {                                                       \
      e1 = _mm_sha1nexte_epu32(e1, msg[(i)&3]);                        \
      e0 = abcd;                                                       \
      abcd = _mm_sha1rnds4_epu32(abcd, e1, (i) / 5);                   \
    } else {                                                           \
      e0 = _mm_sha1nexte_epu32(e0, msg[(i)&3]);                        \
      e1 = abcd;                                                       \
      abcd = _mm_sha1rnds4_epu32(abcd, e0, (i) / 5);                   \
    }                                                                  \
  } while (0)
    GALVORAND_SHA1_GROUP(1);
    GALVORAND_SHA1_GROUP(2);
    GALVORAND_SHA1_GROUP(3);
    GALVORAND_SHA1_GROUP(4);
    GALVORAND_SHA1_GROUP(5);
    GALVORAND_SHA1_GROUP(6);
    GALVORAND_SHA1_GROUP(7);
    GALVORAND_SHA1_GROUP(8);
    GALVORAND_SHA1_GROUP(9);
    GALVORAND_SHA1_GROUP(10);
    GALVORAND_SHA1_GROUP(11);
    GALVORAND_SHA1_GROUP(12);
    GALVORAND_SHA1_GROUP(13);
    GALVORAND_SHA1_GROUP(14);
    GALVORAND_SHA1_GROUP(15);
    GALVORAND_SHA1_GROUP(16);
    GALVORAND_SHA1_GROUP(17);
    GALVORAND_SHA1_GROUP(18);
    GALVORAND_SHA1_GROUP(19);
#undef GALVORAND_SHA1_GROUP
    e0 = _mm_sha1nexte_epu32(e0, eSaved);
    abcd = _mm_add_epi32(abcd, abcdSaved);
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_shuffle_epi32(abcd, 0x1B));
  state[4] = uint32_t(_mm_extract_epi32(e0, 3));
}

bool ProcessorHasShaInstructions() {
  unsigned a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d))
    return false;
  const bool ssse3 = (c & (1u << 9)) != 0, sse41 = (c & (1u << 19)) != 0;
  if (!__get_cpuid_count(7, 0, &a, &b, &c, &d))
    return false;
  return ssse3 && sse41 && (b & (1u << 29)) != 0;
}

std::atomic<bool> g_useShaInstructions{ProcessorHasShaInstructions()};

#else

std::atomic<bool> g_useShaInstructions{false};

#endif

}  // namespace

void Sha1::Reset() {
  m_state[0] = 0x67452301;
  m_state[1] = 0xEFCDAB89;
  m_state[2] = 0x98BADCFE;
  m_state[3] = 0x10325476;
  m_state[4] = 0xC3D2E1F0;
  m_byteCount = 0;
  m_fill = 0;
}

void Sha1::Blocks(const uint8_t* data, size_t count) {
#if defined(GALVORAND_SHA1_X86)
  if (g_useShaInstructions.load(std::memory_order_relaxed)) {
    BlocksShaInstructions(m_state, data, count);
    return;
  }
#endif
  BlocksPlain(m_state, data, count);
}

void Sha1::Update(const void* data, size_t length) {
  auto* bytes = static_cast<const uint8_t*>(data);
  m_byteCount += uint32_t(length);  // modulo 2^32 on purpose
  if (m_fill > 0) {
    size_t take = kBlockSize - m_fill;
    if (take > length)
      take = length;
    std::memcpy(m_block + m_fill, bytes, take);
    m_fill += uint32_t(take);
    bytes += take;
    length -= take;
    if (m_fill < kBlockSize)
      return;
    Blocks(m_block, 1);
    m_fill = 0;
  }
  if (length >= kBlockSize) {
    Blocks(bytes, length / kBlockSize);
    bytes += length - length % kBlockSize;
    length %= kBlockSize;
  }
  std::memcpy(m_block, bytes, length);
  m_fill = uint32_t(length);
}

void Sha1::Final(uint8_t digest[kDigestSize]) {
  const uint32_t bits = m_byteCount * 8u;  // the low 32 bits of the length field
  uint8_t tail[2 * kBlockSize] = {};
  std::memcpy(tail, m_block, m_fill);
  tail[m_fill] = 0x80;
  const size_t total = m_fill + 9 <= kBlockSize ? kBlockSize : 2 * kBlockSize;
  tail[total - 4] = uint8_t(bits >> 24);
  tail[total - 3] = uint8_t(bits >> 16);
  tail[total - 2] = uint8_t(bits >> 8);
  tail[total - 1] = uint8_t(bits);
  Blocks(tail, total / kBlockSize);
  for (int i = 0; i < 5; ++i) {
    digest[4 * i] = uint8_t(m_state[i] >> 24);
    digest[4 * i + 1] = uint8_t(m_state[i] >> 16);
    digest[4 * i + 2] = uint8_t(m_state[i] >> 8);
    digest[4 * i + 3] = uint8_t(m_state[i]);
  }
}

void Sha1::Digest(const void* data, size_t length, uint8_t digest[kDigestSize]) {
  Sha1 sha;
  sha.Update(data, length);
  sha.Final(digest);
}

CCString Sha1::Hex(const uint8_t digest[kDigestSize]) {
  static const char kDigits[] = "0123456789abcdef";
  char text[2 * kDigestSize];
  for (size_t i = 0; i < kDigestSize; ++i) {
    text[2 * i] = kDigits[digest[i] >> 4];
    text[2 * i + 1] = kDigits[digest[i] & 15];
  }
  return CCString(text, sizeof text);
}

void Sha1::DisableShaInstructions() {
  g_useShaInstructions.store(false, std::memory_order_relaxed);
}
