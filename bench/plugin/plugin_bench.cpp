// The plug-in download pieces, one task per process, for bench/plugin/run to time against
// the command-line tools doing the same work:
//   plugin_bench decode IN OUT        decompresses the ".zs" container IN (CCCompression::Run
//                                     with a CCLZMA) and writes OUT
//   plugin_bench sha1 FILE [plain]    prints the SHA-1 of FILE (plain: without the
//                                     processor's SHA instructions)
//   plugin_bench verify FILE COUNT    runs VerifySignedBlob on FILE COUNT times in this
//                                     process and prints the microseconds per call (processor
//                                     time, then elapsed time)
//   plugin_bench fetch URL OUT        what the plug-in update does with the package: the
//                                     signed download, its check, decompression, the file
// Exits with 1 on any failure.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <vector>

#include "launcher/pathutil/path_util.h"
#include "libs/ccutility/file/cc_file.h"
#include "libs/ccutility/file/read_whole_file.h"
#include "plugin/cc_lzma.h"
#include "plugin/sha1.h"
#include "plugin/signed_blob.h"
#include "plugin/signed_download.h"

namespace {

int Fail(const char* what) {
  std::fprintf(stderr, "plugin_bench: %s\n", what);
  return 1;
}

bool WriteWhole(const char* path, const CCString& data) {
  cc::File file;
  if (!file.Open(path, cc::File::kWrite, true, true))
    return false;
  return file.Write(data) == data.Length();
}

int Decode(const char* in, const char* out) {
  CCString container = PathUtil::ReadWholeFile(in);
  CCLZMA lzma;
  CCString data = CCCompression::Run(lzma, container);
  if (data.IsEmpty())
    return Fail("decompression failed");
  return WriteWhole(out, data) ? 0 : Fail("write failed");
}

int Digest(const char* path, bool plain) {
  if (plain)
    Sha1::DisableShaInstructions();
  cc::File file;
  if (!file.Open(path, cc::File::kRead, false, false))
    return Fail("cannot open the file");
  Sha1 sha;
  std::vector<char> buffer(1 << 20);
  while (size_t n = file.Read(buffer.data(), buffer.size()))
    sha.Update(buffer.data(), n);
  uint8_t digest[Sha1::kDigestSize];
  sha.Final(digest);
  std::printf("%s\n", Sha1::Hex(digest).c_str());
  return 0;
}

int Verify(const char* path, int count) {
  CCString blob = PathUtil::ReadWholeFile(path);
  if (VerifySignedBlob(g_pluginKey, blob).IsEmpty())
    return Fail("the blob is not validly signed");
  // Processor time as well as elapsed time: on a shared machine the second counts the time
  // other processes had the core.
  const auto start = std::chrono::steady_clock::now();
  const std::clock_t cpuStart = std::clock();
  size_t total = 0;
  for (int i = 0; i < count; ++i)
    total += VerifySignedBlob(g_pluginKey, blob).Length();
  const double cpu = double(std::clock() - cpuStart) / CLOCKS_PER_SEC * 1e6;
  std::chrono::duration<double, std::micro> took = std::chrono::steady_clock::now() - start;
  std::printf("%.2f %.2f %zu\n", cpu / count, took.count() / count, total);
  return 0;
}

int Fetch(const char* url, const char* out) {
  CCString error;
  CCString container = FetchSigned(url, &error, &g_pluginKey, 0);
  if (container.IsEmpty())
    return Fail(error.c_str());
  CCLZMA lzma;
  CCString data = CCCompression::Run(lzma, container);
  if (data.IsEmpty())
    return Fail("decompression failed");
  return WriteWhole(out, data) ? 0 : Fail("write failed");
}

}  // namespace

int main(int argc, char** argv) {
  try {
    if (argc == 4 && !std::strcmp(argv[1], "decode"))
      return Decode(argv[2], argv[3]);
    if ((argc == 3 || argc == 4) && !std::strcmp(argv[1], "sha1"))
      return Digest(argv[2], argc == 4);
    if (argc == 4 && !std::strcmp(argv[1], "verify"))
      return Verify(argv[2], std::atoi(argv[3]));
    if (argc == 4 && !std::strcmp(argv[1], "fetch"))
      return Fetch(argv[2], argv[3]);
  } catch (const std::exception& e) {
    return Fail(e.what());
  }
  return Fail("usage: decode IN OUT | sha1 FILE [plain] | verify FILE COUNT | fetch URL OUT");
}
