#pragma once

#include <cstdint>

#include "launcher/text/cc_string.h"

// How the launcher learns which plug-in version the publisher wants and where to get it.
// The version file holds the version number alone ("37") or the number, ":" and the address
// of the compressed package ("37:http://host/plugin/npwoxact.dll.zs"). Pure text: the fetch
// and the install are the plug-in manager's.

// The version file and compressed package on the publisher's launcher web host.
inline constexpr char kDefaultVersionFileURL[] =
    "http://www.galvorand.example/plugin/npwoxact.dll.ver";
inline constexpr char kDefaultPackageURL[] = "http://www.galvorand.example/plugin/npwoxact.dll.zs";
inline constexpr char kPackageFileName[] = "npwoxact.dll.zs";

// The version an update source (or a version file's text) starts with: the low 32 bits of
// its leading decimal number (an optional "-", then digits); 0 when it starts with neither.
// A source whose version is 0 is the address of a version file.
int32_t ParseOfferVersion(const CCString& source);

// The update source that a fetched version file stands for, the body trimmed of white space
// (line ends included) first: empty for an empty body, the body itself when it names an
// address, else the body, ":" and the package beside the version file.
CCString SourceFromVersionFile(const CCString& body, const CCString& versionFileURL);

// What an update source announces: the version (0 when none) and the address of the
// compressed package (trimmed of white space). An address that is not http(s), or none, gives
// the default package; an address of the uncompressed ".sig" file gives the ".zs" package
// beside it.
struct PluginOffer {
  int32_t version = 0;
  CCString packageURL;
};
PluginOffer ParsePluginOffer(CCString source);
