#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>

#include "plugin/big_number_1056.h"
#include "plugin/sha1.h"
#include "plugin/signed_blob.h"
#include "plugin/signed_download.h"
#include "tests/support/peer_env.h"

namespace {

std::string HexOf(const std::string& bytes) {
  uint8_t digest[Sha1::kDigestSize];
  Sha1::Digest(bytes.data(), bytes.size(), digest);
  return Sha1::Hex(digest).c_str();
}

TEST(Sha1, PublishedVectorsWithAndWithoutTheShaInstructions) {
  const std::string million(1000000, 'a');
  const struct {
    std::string input;
    const char* digest;
  } vectors[] = {
      {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
      {million, "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
  };
  for (const auto& v : vectors) {
    SCOPED_TRACE(v.input.size());
    EXPECT_EQ(HexOf(v.input), v.digest);
  }
  // Lengths around the padding boundaries, fed whole and in pieces of every size up to a
  // block and a half: the same digest every way.
  std::mt19937 random(7);
  std::string data(300, '\0');
  for (char& c : data)
    c = char(random());
  std::string whole[130];
  for (size_t length = 0; length < 130; ++length)
    whole[length] = HexOf(data.substr(0, length));
  for (size_t piece = 1; piece <= 96; ++piece) {
    Sha1 sha;
    for (size_t at = 0; at < data.size(); at += piece)
      sha.Update(data.data() + at, std::min(piece, data.size() - at));
    uint8_t digest[Sha1::kDigestSize];
    sha.Final(digest);
    EXPECT_EQ(Sha1::Hex(digest).c_str(), HexOf(data)) << piece;
  }
  Sha1::DisableShaInstructions();
  for (const auto& v : vectors)
    EXPECT_EQ(HexOf(v.input), v.digest);
  for (size_t length = 0; length < 130; ++length)
    EXPECT_EQ(HexOf(data.substr(0, length)), whole[length]) << length;
}

BigNumber1056 FromUint64(uint64_t value) {
  uint8_t bytes[8];
  for (int i = 0; i < 8; ++i)
    bytes[7 - i] = uint8_t(value >> (8 * i));
  return BigNumber1056(bytes, 8);
}

// Loading, storing and comparing are the signature check's own steps, checked with the signed
// files below; here the arithmetic, against the machine's and at full width.
TEST(BigNumber1056, MultiplyModuloAgreesWithMachineArithmetic) {
  std::mt19937_64 random(11);
  for (int i = 0; i < 500; ++i) {
    const uint64_t n = (random() >> 33) | 1;  // below 2^31, so a * b fits in 64 bits
    const uint64_t a = random() % n, b = random() % n;
    const BigNumber1056 nn = FromUint64(n);
    BigNumber1056 out;
    BigNumber1056::MultiplyModulo(FromUint64(a), FromUint64(b), nn, out);
    ASSERT_EQ(out, FromUint64(a * b % n)) << a << " * " << b << " mod " << n;
  }
  // Full width: (n - 1)^2 = 1 and (n - 1)^3 = n - 1 modulo the plug-in key.
  BigNumber1056 minusOne = g_pluginKey;
  minusOne.words[BigNumber1056::kWords - 1] -= 1;  // the modulus is odd
  minusOne.modulus = &g_pluginKey;
  BigNumber1056 square;
  BigNumber1056::MultiplyModulo(minusOne, minusOne, g_pluginKey, square);
  EXPECT_EQ(square, FromUint64(1));
  BigNumber1056 cube = minusOne;
  cube.PublicOperation();
  EXPECT_EQ(cube, minusOne);
}

// ---- Signed files made by tools/publish -------------------------------------------------

std::string CorpusUrl(const std::string& name) {
  return "http://127.0.0.1:" + gvtest::PeerText("GV_HTTP_PORT") + "/plugin-test/corpus/" + name;
}

CCString Fetch(const std::string& url) {
  CCString error;
  CCString body = FetchSigned(url.c_str(), &error, nullptr, 0);
  EXPECT_TRUE(error.IsEmpty()) << error.c_str();
  return body;
}

// The launcher's check and tools/publish's own, written apart, judge every good and
// corrupted file of the corpus alike: "<name> <compatible> <strict>" per manifest line.
TEST(VerifySignedBlob, AgreesWithThePublishersToolOnGoodAndCorruptedFiles) {
  NEED_PEER("GV_HTTP_PORT");
  std::istringstream manifest(Fetch(CorpusUrl("manifest.txt")).c_str());
  std::string name;
  int compatible, strict, files = 0, valid = 0, strictValid = 0;
  while (manifest >> name >> compatible >> strict) {
    SCOPED_TRACE(name);
    ++files;
    const CCString blob = Fetch(CorpusUrl(name));
    ASSERT_FALSE(blob.IsEmpty());
    const CCString content = VerifySignedBlob(g_pluginKey, blob, SignatureCheck::kCompatible);
    EXPECT_EQ(!content.IsEmpty(), compatible == 1);
    EXPECT_EQ(!VerifySignedBlob(g_pluginKey, blob, SignatureCheck::kStrict).IsEmpty(), strict == 1);
    if (!content.IsEmpty()) {
      EXPECT_EQ(std::string(content.c_str(), content.Length()),
                std::string(blob.c_str(), blob.Length() - kSignatureBlockSize));
    }
    valid += compatible;
    strictValid += strict;
  }
  // The corpus holds both verdicts and the cases below.
  EXPECT_GE(files, 15);
  EXPECT_GT(valid, strictValid);
  EXPECT_GT(strictValid, 0);
}

TEST(VerifySignedBlob, EdgesOfTheFormat) {
  NEED_PEER("GV_HTTP_PORT");
  const CCString good = Fetch(CorpusUrl("good.bin"));
  const auto verdict = [](const CCString& blob, SignatureCheck check) {
    return !VerifySignedBlob(g_pluginKey, blob, check).IsEmpty();
  };
  // A signed 1-byte content is 129 bytes; a signed empty content (the block alone) never passes.
  CCString oneByte = Fetch(CorpusUrl("one-byte.bin"));
  ASSERT_EQ(oneByte.Length(), 129u);
  EXPECT_STREQ(VerifySignedBlob(g_pluginKey, oneByte).c_str(), "x");
  EXPECT_FALSE(verdict(Fetch(CorpusUrl("empty-content.bin")), SignatureCheck::kCompatible));
  // The length byte: 19 fails with the right digest, 255 passes the compatible check only.
  EXPECT_FALSE(verdict(Fetch(CorpusUrl("length-19.bin")), SignatureCheck::kCompatible));
  EXPECT_TRUE(verdict(Fetch(CorpusUrl("length-255.bin")), SignatureCheck::kCompatible));
  EXPECT_FALSE(verdict(Fetch(CorpusUrl("length-255.bin")), SignatureCheck::kStrict));
  // A block not below the modulus is compared as it stands: its own bytes carry the digest.
  const CCString unreduced = Fetch(CorpusUrl("unreduced-carries-digest.bin"));
  EXPECT_TRUE(verdict(unreduced, SignatureCheck::kCompatible));
  EXPECT_FALSE(verdict(unreduced, SignatureCheck::kStrict));
  // Blocks made without the private key: FF FF, the digest and zeros (above the modulus,
  // compared unchanged) and a cube root fool the compatible check; this build's own check
  // refuses them.
  for (const char* name : {"ff-ff-block.bin", "forged-cube-root.bin"}) {
    SCOPED_TRACE(name);
    const CCString forged = Fetch(CorpusUrl(name));
    EXPECT_TRUE(verdict(forged, SignatureCheck::kCompatible));
    EXPECT_FALSE(verdict(forged, SignatureCheck::kStrict));
    EXPECT_TRUE(VerifySignedBlob(g_pluginKey, forged).IsEmpty());
  }
  EXPECT_FALSE(VerifySignedBlob(g_pluginKey, good).IsEmpty());
  // The other key's modulus does not verify the plug-in files.
  EXPECT_TRUE(VerifySignedBlob(g_certKey, good).IsEmpty());
}

}  // namespace
