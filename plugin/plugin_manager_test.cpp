#include "plugin/plugin_manager.h"

#include <gtest/gtest.h>

namespace {

const char kVersionFile[] = "http://www.galvorand.example/plugin/npwoxact.dll.ver";

TEST(PluginOffer, VersionFilesAndSourceLinesGiveVersionAndPackage) {
  const struct {
    const char* body;  // of the version file; null: the text is a source line itself
    const char* source;
    int32_t version;
    const char* package;
  } cases[] = {
      // The number alone: the package beside the version file.
      {"37", kVersionFile, 37, "http://www.galvorand.example/plugin/npwoxact.dll.zs"},
      {"37\n", kVersionFile, 37, "http://www.galvorand.example/plugin/npwoxact.dll.zs"},
      // A ".sig" address stands for the ".zs" beside it.
      {"37:http://cdn.galvorand.example/p/npwoxact.dll.sig", kVersionFile, 37,
       "http://cdn.galvorand.example/p/npwoxact.dll.zs"},
      {nullptr, "37:http://cdn.galvorand.example/p/npwoxact.dll.zs", 37,
       "http://cdn.galvorand.example/p/npwoxact.dll.zs"},
      // Anything but http(s) after the colon, or nothing: the default package.
      {nullptr, "37:ftp://cdn.galvorand.example/npwoxact.dll.zs", 37, kDefaultPackageURL},
      {nullptr, "37", 37, kDefaultPackageURL},
      {nullptr, "-3:http://h.example/x.zs", -3, "http://h.example/x.zs"},
      // Low 32 bits of the number.
      {nullptr, "4294967297:http://h.example/x.zs", 1, "http://h.example/x.zs"},
      // An empty or unreachable version file: version 0, the default package.
      {"", kVersionFile, 0, kDefaultPackageURL},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.source);
    CCString source = c.body ? SourceFromVersionFile(c.body, c.source) : CCString(c.source);
    PluginOffer offer = ParsePluginOffer(source);
    EXPECT_EQ(offer.version, c.version);
    EXPECT_STREQ(offer.packageURL.c_str(), c.package);
  }
}

TEST(PluginOffer, TheCacheBusterOfTheVersionFileDoesNotReachThePackageAddress) {
  CCString source =
      SourceFromVersionFile("37", "http://www.galvorand.example/plugin/npwoxact.dll.ver?t=17");
  EXPECT_STREQ(source.c_str(), "37:http://www.galvorand.example/plugin/npwoxact.dll.zs");
}

}  // namespace
