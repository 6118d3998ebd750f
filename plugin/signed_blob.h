#pragma once

#include <cstdint>

#include "launcher/text/cc_string.h"
#include "plugin/big_number_1056.h"

// The publisher's signed files: content followed by a 128-byte block s, an RSA signature with
// public exponent 3 over the SHA-1 digest of the content. With m = s^3 mod n as 128
// big-endian bytes, tools/publish writes m = 00, 20, digest, then 106 bytes of 0xFF. The
// strict check (the default) demands that block whole and s below the modulus. The
// compatible check (GALVORAND_STRICT_SIGNATURES=OFF) reads only m[1] >= 20 and the digest in
// m[2..21], and compares a block not below the modulus unchanged: a block made without the
// private key passes it.

// Verifies the plug-in files (".zs", ".sig"). Built before the entry function runs.
extern const BigNumber1056 g_pluginKey;
// Verifies "url.cert".
extern const BigNumber1056 g_certKey;

constexpr uint32_t kSignatureBlockSize = 128;
// Value of m[1] that tools/publish writes: the length of the digest.
constexpr uint8_t kSignedDigestLength = 20;

enum class SignatureCheck {
  kCompatible,  // length byte and digest only: forgeable, kept for old releases
  kStrict,      // the whole block as tools/publish writes it
};

// The check this build was configured with (GALVORAND_STRICT_SIGNATURES).
SignatureCheck ConfiguredSignatureCheck();

// The content (the blob without its last 128 bytes) when `blob` is validly signed with `key`,
// else an empty string. A blob of 128 bytes or fewer is never valid.
CCString VerifySignedBlob(const BigNumber1056& key, const CCString& blob);
CCString VerifySignedBlob(const BigNumber1056& key, const CCString& blob, SignatureCheck check);
