#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>

#include "launcher/text/cc_string.h"

namespace cc {

// A binary file over the runtime's stream files: 64-bit positions and sizes, opened by wide
// path, with two recovery steps on open (clear a read-only attribute, create missing
// folders). The object owns its stream and closes it on destruction. Reads and writes
// return counts and never throw; only the throwing constructor and AppendFile throw.
// Not thread-safe: one user at a time.
class File {
 public:
  static constexpr int kRead = 0;    // "rb"
  static constexpr int kWrite = 1;   // "wb": created or emptied
  static constexpr int kAppend = 2;  // "ab+": created when missing, every write at the end

  // A file that must exist could not be opened. Text: the message, then " (errno)" when the
  // error number is not 0.
  class Exception : public std::exception {
   public:
    Exception(const CCString& message, int error);
    const char* what() const noexcept override { return m_text.c_str(); }
    const CCString& Message() const { return m_message; }
    int Error() const { return m_error; }

   private:
    CCString m_message;
    int m_error;
    CCString m_text;
  };

  File() = default;
  // Opens with both recovery steps; throws Exception "Cannot open file - <name>" with the
  // errno of the failed open.
  File(const CCString& name, int mode);
  virtual ~File();
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Closes any open file first. In read mode the recovery flags are ignored. On failure
  // errno holds the error of the last open attempt.
  virtual bool Open(const CCString& name, int mode, bool clearReadOnly, bool createFolders);
  // Seeks return 0 on success, else the runtime's non-zero result, changing nothing.
  virtual int SeekFromEnd(int64_t offset);
  virtual int Seek(uint64_t position);
  virtual int SeekRelative(int64_t offset);
  // Grows the file to at least `size` bytes (zero-filled); the position stays.
  virtual void EnsureSize(int64_t size);
  virtual uint64_t Tell();
  virtual size_t Read(void* data, size_t count);
  virtual size_t Write(const char* text);
  virtual size_t Write(const CCString& bytes);
  virtual size_t Write(const void* data, size_t count);
  virtual size_t Put(char byte);
  virtual int Printf(const char* format, ...)
#if defined(__GNUC__)
      __attribute__((format(printf, 2, 3)))
#endif
      ;
  // Returns the runtime's result: the byte count, or negative on failure.
  virtual int VPrintf(const char* format, va_list args)
#if defined(__GNUC__)
      __attribute__((format(printf, 2, 0)))
#endif
      ;
  // Appends the whole of another file; throws Exception when it cannot be opened.
  virtual void AppendFile(const CCString& name);
  virtual bool IsEOF();
  // Asked of the file system once, then kept up to date by seeks and writes; -1 when not
  // known (never opened, or the system could not tell).
  virtual int64_t GetSize();
  virtual void Close();

  bool IsOpen() const {
    return m_stream != nullptr;
  }

 protected:
  int64_t m_size = -1;  // -1: not known yet
  CCString m_name;
  FILE* m_stream = nullptr;
  uint64_t m_position = 0;  // kept here, not asked of the runtime
  int m_mode = kRead;

 private:
  // An update stream ("ab+") must be repositioned between reading and writing.
  enum class Direction : uint8_t { kNone, kReading, kWriting };
  void Turn(Direction direction);
  // Moves the position after a successful seek, raising a known size when passed.
  void MovedTo(uint64_t position);
  // Moves the position after a write of `count` bytes.
  void Advanced(size_t count);
  Direction m_lastDirection = Direction::kNone;
};

// cc::File with one read/write buffer in front of the stream. The log file uses a 2 MiB
// buffer; lines stay in memory until the buffer fills, Flush, Close or destruction. Reading
// a file smaller than the buffer from its start shrinks the buffer to the file's size.
class BufferedFile : public File {
 public:
  static constexpr uint32_t kDefaultCapacity = 65536;

  explicit BufferedFile(uint32_t capacity = kDefaultCapacity);
  ~BufferedFile() override;

  // Bytes of buffer memory held now (0 until the first buffered read or write).
  uint32_t AllocatedBytes() const { return m_allocated; }

  using File::Write;
  int SeekFromEnd(int64_t offset) override;
  int Seek(uint64_t position) override;
  int SeekRelative(int64_t offset) override;
  uint64_t Tell() override;
  size_t Read(void* data, size_t count) override;
  size_t Write(const void* data, size_t count) override;
  int VPrintf(const char* format, va_list args) override;
  bool IsEOF() override;
  // Counts what is still in the buffer.
  int64_t GetSize() override;
  void Close() override;
  // Writes the buffered bytes to the stream and the stream to the system.
  virtual void Flush();

 private:
  // First byte of the file the buffer covers.
  uint64_t WindowStart() const { return m_position - m_readFill; }
  bool HoldsWrittenBytes() const { return m_readFill == 0 && m_fill > 0; }
  bool ReserveBuffer();
  // Writes back written bytes and empties the buffer; the stream stays where that leaves it.
  void WriteBack();
  // Writes back written bytes, puts the stream at the logical position and empties the
  // buffer.
  void SyncStream();

  std::unique_ptr<char[]> m_buffer;
  uint32_t m_allocated = 0;
  uint32_t m_capacity;
  uint32_t m_configuredCapacity;  // what the creator asked for; restored on Close
  uint32_t m_bufferPos = 0;       // logical position inside the buffer
  uint32_t m_fill = 0;            // bytes of the buffer that hold file content
  uint32_t m_readFill = 0;        // bytes the last fill read from the stream (0: written bytes)
  bool m_filled = false;          // a fill has happened since the file was opened
};

}  // namespace cc
