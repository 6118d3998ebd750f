#include "plugin/plugin_offer.h"

int32_t ParseOfferVersion(const CCString& source) {
  return int32_t(
      uint32_t(uint64_t(CCString::ParseInteger(source.c_str(), int(source.Length()), 10))));
}

CCString SourceFromVersionFile(const CCString& text, const CCString& versionFileURL) {
  // A text file usually ends with a line feed; it is no part of the address.
  CCString body = text;
  body.Trim();
  if (body.IsEmpty())
    return CCString();
  if (body.Find(":") != CCString::kNotFound)
    return body;
  int lastSlash = versionFileURL.FindLastOf("/");
  CCString source = body + ":";
  source += versionFileURL.Substring(0, lastSlash + 1);
  source += kPackageFileName;
  return source;
}

PluginOffer ParsePluginOffer(CCString source) {
  PluginOffer offer;
  offer.version = ParseOfferVersion(source);
  if (offer.version != 0) {
    int colon = source.Find(":");
    source = colon == CCString::kNotFound ? CCString() : source.Substring(colon + 1);
    source.Trim();
    if (!source.StartsWith("http"))
      source.Clear();
  }
  if (source.IsEmpty()) {
    source = kDefaultPackageURL;
  } else if (source.EndsWith(".sig")) {
    source = source.Substring(0, int(source.Length()) - 3);
    source += "zs";
  }
  offer.packageURL = source;
  return offer;
}
