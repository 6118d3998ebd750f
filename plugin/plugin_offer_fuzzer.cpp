// Fuzz target: the reading of a version file and of an update source. The first byte chooses
// whether the rest is a version file's body (odd; trimmed, it starts the source) or a source
// line (even). Whatever comes in, the offer names a package to fetch: an "http" address once
// a version is announced, and never the uncompressed ".sig" file.
#include <cstddef>
#include <cstdint>

#include "plugin/plugin_offer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0)
    return 0;
  CCString text(reinterpret_cast<const char*>(data + 1), uint32_t(size - 1));
  CCString source = text;
  if (data[0] & 1) {
    source = SourceFromVersionFile(text, kDefaultVersionFileURL);
    CCString trimmed = text;
    if (!trimmed.Trim().IsEmpty() && !source.StartsWith(trimmed.c_str()))
      __builtin_trap();
  }
  PluginOffer offer = ParsePluginOffer(source);
  if (offer.packageURL.IsEmpty() || offer.packageURL.EndsWith(".sig"))
    __builtin_trap();
  if (offer.version != 0 && !offer.packageURL.StartsWith("http"))
    __builtin_trap();
  if (offer.version != ParseOfferVersion(source))
    __builtin_trap();
  return 0;
}
