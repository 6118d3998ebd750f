#pragma once

#include <cstdint>

#include "libs/ccutility/binxml/binxml_streamable.h"
#include "libs/ccutility/file/cc_file.h"

namespace BinXML {

// A file read as a value, in pieces of 1024 bytes, so that a crash report or a minidump is
// sent without being held in memory. Optionally a zero byte follows the file's bytes (a text
// file sent as a text value). The stream owns its open file.
class FileStream : public Streamable {
 public:
  static constexpr uint32_t kChunkSize = 1024;
  // Told after each piece: bytes delivered so far and the total size.
  using ProgressCallback = void (*)(uint32_t done, uint32_t total, void* context);

  // Opens `path` for binary reading. A file that cannot be opened, or is 4 GiB or larger,
  // gives a stream that is not open and has size 0.
  explicit FileStream(const CCString& path,
                      bool appendZero = false,
                      ProgressCallback progress = nullptr,
                      void* context = nullptr);
  ~FileStream() override;
  FileStream(const FileStream&) = delete;
  FileStream& operator=(const FileStream&) = delete;

  bool IsOpen() const { return m_file.IsOpen(); }
  // The file's size, plus one with the appended zero.
  uint32_t GetSize() override { return m_size; }
  // Seeks to the start of the file.
  void Rewind() override;
  // The next piece of at most 1024 bytes; after the file's last byte, the zero when asked
  // for; then length 0. A read error ends the stream early (the writer notices the short
  // count).
  const char* Read(uint32_t& length) override;

 private:
  cc::File m_file;
  uint32_t m_size = 0;
  uint32_t m_delivered = 0;
  bool m_appendZero;
  bool m_zeroSent = false;
  ProgressCallback m_progress;
  void* m_context;
  char m_chunk[kChunkSize];
};

}  // namespace BinXML
