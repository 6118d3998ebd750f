#include "plugin/signed_blob.h"

#include <cstring>

#include "plugin/sha1.h"
#include "plugin_build_config.h"

const BigNumber1056 g_pluginKey(plugin_build_config::kPluginKey, 128);
const BigNumber1056 g_certKey(plugin_build_config::kCertKey, 128);

namespace {

// The bytes tools/publish puts after the digest of a signed block.
constexpr uint8_t kFiller = 0xFF;

}  // namespace

SignatureCheck ConfiguredSignatureCheck() {
  return plugin_build_config::kStrictSignatures ? SignatureCheck::kStrict
                                                : SignatureCheck::kCompatible;
}

CCString VerifySignedBlob(const BigNumber1056& key, const CCString& blob) {
  return VerifySignedBlob(key, blob, ConfiguredSignatureCheck());
}

CCString VerifySignedBlob(const BigNumber1056& key, const CCString& blob, SignatureCheck check) {
  if (blob.Length() <= kSignatureBlockSize)
    return CCString();
  const uint32_t contentLength = blob.Length() - kSignatureBlockSize;
  const auto* bytes = reinterpret_cast<const uint8_t*>(blob.c_str());
  uint8_t digest[Sha1::kDigestSize];
  Sha1::Digest(bytes, contentLength, digest);

  BigNumber1056 s(bytes + contentLength, kSignatureBlockSize, &key);
  // A block not below the modulus is no signature at all; only the compatible check lets it
  // through to be compared as it stands.
  if (check == SignatureCheck::kStrict && !(s < key))
    return CCString();
  s.PublicOperation();
  uint8_t m[BigNumber1056::kOutputBytes];
  s.Store(m);

  if (check == SignatureCheck::kStrict) {
    if (m[0] != 0 || m[1] != kSignedDigestLength)
      return CCString();
    for (size_t i = 2 + Sha1::kDigestSize; i < sizeof m; ++i) {
      if (m[i] != kFiller)
        return CCString();
    }
  } else if (m[1] < kSignedDigestLength) {
    return CCString();
  }
  if (std::memcmp(m + 2, digest, Sha1::kDigestSize) != 0)
    return CCString();
  return blob.Substring(0, int(contentLength));
}
