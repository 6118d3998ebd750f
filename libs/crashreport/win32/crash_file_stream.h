#pragma once

#include <cstdint>

#include "libs/ccutility/binxml/binxml_streamable.h"

namespace Vorq {

// A UTF-8 path as the wide text of the Windows file calls, converted into a buffer of its own
// (nothing allocated: for the crash path). Empty text when it does not convert.
class CrashPath {
 public:
  static constexpr uint32_t kCapacity = 1024;
  explicit CrashPath(const char* utf8);
  operator const wchar_t*() const { return m_text; }

 private:
  wchar_t m_text[kCapacity];
};

// A crash file (report or minidump) read as a value in pieces of 1024 bytes through the wide
// file calls, optionally followed by a zero byte (a text sent as a text value). Allocates
// nothing, so the crash sequence can send the dump it has just written. A file that cannot
// be opened gives an empty stream.
class CrashFileStream : public BinXML::Streamable {
 public:
  static constexpr uint32_t kChunkSize = 1024;

  explicit CrashFileStream(const char* utf8Path, bool appendZero = false);
  ~CrashFileStream() override;
  CrashFileStream(const CrashFileStream&) = delete;
  CrashFileStream& operator=(const CrashFileStream&) = delete;

  bool IsOpen() const { return m_file != nullptr; }
  uint32_t GetSize() override { return m_size; }
  void Rewind() override;
  // The next piece; after the last byte, the zero when asked for; then length 0. A read
  // error ends the stream early (the writer notices the short count).
  const char* Read(uint32_t& length) override;

 private:
  void* m_file = nullptr;  // the open file's handle
  uint32_t m_size = 0;
  uint32_t m_delivered = 0;
  bool m_appendZero;
  char m_chunk[kChunkSize];
};

}  // namespace Vorq
