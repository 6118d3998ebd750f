#include "plugin/plugin_offer.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const char kVersionFile[] = "http://www.galvorand.example/plugin/npwoxact.dll.ver";
const char kBeside[] = "http://www.galvorand.example/plugin/npwoxact.dll.zs";
const char kBom[] = "\xEF\xBB\xBF";  // a byte-order mark the version file should not have

TEST(PluginOffer, VersionFilesAndSourceLinesGiveVersionAndPackage) {
  const struct {
    std::string body;  // of the version file; with `source` null the text is a source itself
    const char* source;
    int32_t version;
    std::string package;
  } cases[] = {
      // The number alone: the package beside the version file, whatever ends the line.
      {"37", kVersionFile, 37, kBeside},
      {"37\n", kVersionFile, 37, kBeside},
      {"37\r\n", kVersionFile, 37, kBeside},
      // Only the number counts; the time query of the version file stays behind.
      {"37", "http://www.galvorand.example/plugin/npwoxact.dll.ver?t=17", 37, kBeside},
      // A version-file address without a folder leaves a bare name: no address at all.
      {"37", "npwoxact.dll.ver", 37, kDefaultPackageURL},
      // A ".sig" address stands for the ".zs" beside it; the line end is no part of it.
      {"37:http://cdn.galvorand.example/p/npwoxact.dll.sig\n", kVersionFile, 37,
       "http://cdn.galvorand.example/p/npwoxact.dll.zs"},
      {"37:http://cdn.galvorand.example/p.zs\r\n", nullptr, 37,
       "http://cdn.galvorand.example/p.zs"},
      // Anything but http(s) after the colon, or nothing: the default package.
      {"37:ftp://cdn.galvorand.example/npwoxact.dll.zs", nullptr, 37, kDefaultPackageURL},
      {"37:", nullptr, 37, kDefaultPackageURL},
      {"37", nullptr, 37, kDefaultPackageURL},
      {"-3:http://h.example/x.zs", nullptr, -3, "http://h.example/x.zs"},
      // Low 32 bits of the number: one that wraps to 0 is no version, and the whole text is
      // taken for the package's address, as is a text without a leading number.
      {"4294967297:http://h.example/x.zs", nullptr, 1, "http://h.example/x.zs"},
      {"4294967296:http://h.example/x.zs", nullptr, 0, "4294967296:http://h.example/x.zs"},
      {":http://h.example/x.zs", nullptr, 0, ":http://h.example/x.zs"},
      {std::string(kBom) + "37", kVersionFile, 0, std::string(kBom) + "37:" + kBeside},
      {"\xFF\xFE:\x80", nullptr, 0, "\xFF\xFE:\x80"},
      // An empty or unreachable version file: version 0, the default package.
      {"", kVersionFile, 0, kDefaultPackageURL},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.body));
    CCString body(c.body.data(), uint32_t(c.body.size()));
    PluginOffer offer = ParsePluginOffer(c.source ? SourceFromVersionFile(body, c.source) : body);
    EXPECT_EQ(offer.version, c.version);
    EXPECT_EQ(std::string(offer.packageURL.c_str(), offer.packageURL.Length()), c.package);
  }
}

}  // namespace
