// One download task per process, for bench/download/run to time against curl doing the
// same work:
//   download_bench memory URL          the body into memory with Body()
//   download_bench file URL PATH       the body into PATH through a Receive loop
//   download_bench many PATTERN COUNT  COUNT addresses (printf PATTERN with 0..COUNT-1) one
//                                      after the other over one connection
//   download_bench corked PATTERN COUNT  the same, all requests corked into one write first
// Prints the body bytes received; exits with 1 on any failure.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <vector>

#include "libs/ccutility/file/cc_file.h"
#include "libs/ccutility/http/http_client.h"

namespace {

// Read size of the file download: the socket buffer's size, so that reads go straight
// from the system into this buffer instead of through the socket's.
constexpr uint32_t kFileBufferSize = 1 << 20;

uint64_t ToMemory(const char* url) {
  cc::HTTPClient client;
  client.SendRequest("GET", url);
  return client.Body().Length();
}

uint64_t ToFile(const char* url, const char* path) {
  cc::HTTPClient client;
  cc::File file(path, cc::File::kWrite);
  std::vector<char> buffer(kFileBufferSize);
  client.SendRequest("GET", url);
  uint64_t total = 0;
  while (uint32_t n = client.Receive(buffer.data(), kFileBufferSize)) {
    if (file.Write(buffer.data(), n) != n)
      throw std::runtime_error("write failed");
    total += n;
  }
  file.Close();
  return total;
}

uint64_t Many(const char* pattern, int count, bool corked) {
  cc::HTTPClient client;
  client.corked = corked;
  uint64_t total = 0;
  for (int i = 0; i < count; ++i) {
    client.SendRequest("GET", CCString::Format(pattern, i));
    if (!corked)
      total += client.Body().Length();
  }
  if (corked) {
    client.Uncork();
    for (int i = 0; i < count; ++i)
      total += client.Body().Length();
  }
  return total;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    uint64_t bytes = 0;
    if (argc == 3 && std::strcmp(argv[1], "memory") == 0)
      bytes = ToMemory(argv[2]);
    else if (argc == 4 && std::strcmp(argv[1], "file") == 0)
      bytes = ToFile(argv[2], argv[3]);
    else if (argc == 4 && std::strcmp(argv[1], "many") == 0)
      bytes = Many(argv[2], std::atoi(argv[3]), false);
    else if (argc == 4 && std::strcmp(argv[1], "corked") == 0)
      bytes = Many(argv[2], std::atoi(argv[3]), true);
    else {
      std::fprintf(stderr, "usage: download_bench memory|file|many|corked ...\n");
      return 2;
    }
    std::printf("%llu\n", static_cast<unsigned long long>(bytes));
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "download_bench: %s\n", e.what());
    return 1;
  }
}
