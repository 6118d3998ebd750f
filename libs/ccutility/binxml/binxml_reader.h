#pragma once

#include <cstdint>

#include "launcher/text/cc_string.h"
#include "libs/ccutility/binxml/binxml_error.h"

namespace BinXML {

// Where a Reader takes its bytes from. Used by one thread at a time.
class ReaderInput {
 public:
  static constexpr uint64_t kUnknown = UINT64_MAX;

  virtual ~ReaderInput() = default;
  // Fills `buffer` with exactly `count` bytes; false when they cannot be delivered.
  virtual bool Read(void* buffer, uint32_t count) = 0;
  // Passes over `count` bytes; false when they cannot be delivered.
  virtual bool Skip(uint32_t count) = 0;
  // Bytes that can still be delivered, or kUnknown; the reader refuses values longer than
  // this before it allocates for them.
  virtual uint64_t Available() { return kUnknown; }
  // Bytes delivered or skipped so far.
  virtual uint64_t Consumed() = 0;
};

// A block of memory read by advancing a pointer. Reads and skips past the end of the block
// fail (and consume nothing) instead of running off it.
class ReaderInput_Memory : public ReaderInput {
 public:
  ReaderInput_Memory(const void* data, uint64_t size)
      : m_start(static_cast<const char*>(data)), m_next(m_start), m_end(m_start + size) {}

  bool Read(void* buffer, uint32_t count) override;
  bool Skip(uint32_t count) override;
  uint64_t Available() override { return uint64_t(m_end - m_next); }
  uint64_t Consumed() override { return uint64_t(m_next - m_start); }

 private:
  const char* m_start;
  const char* m_next;
  const char* m_end;
};

// Decodes items: ReadHeader gives the next token and sets up its value, which one of the
// Read functions consumes (or the next ReadHeader skips). A record is read as
//
//   uint64_t outer = reader.EnterRecord();
//   while (!reader.AtEnd())
//     switch (reader.ReadHeader()) { case 1: x = reader.ReadUInt32(); break; ... }
//   reader.LeaveRecord(outer);
//
// where unknown tokens simply fall through. Every decoding failure throws BadStream; the input
// is then left somewhere inside the failed item. One thread at a time.
class Reader {
 public:
  static constexpr uint64_t kUnbounded = UINT64_MAX;

  // `length` bounds the message like a record (AtEnd at its end); kUnbounded leaves the top
  // level open, for a caller that knows which items to expect.
  explicit Reader(ReaderInput& input, uint64_t length = kUnbounded);

  // The next item's token. Skips what is left of the previous value first; throws BadStream
  // on a truncated header or a value that runs past the enclosing record or message.
  uint8_t ReadHeader();
  // Reads the next header and keeps it for the next ReadHeader, which returns it again.
  uint8_t Peek();
  // True when the innermost record (or the bounded message) has been read to its end and no
  // header is peeked.
  bool AtEnd() const;

  // The current item's token and value length.
  uint8_t GetToken() const { return m_token; }
  uint32_t GetValueLength() const { return m_valueLength; }

  // The current value. Booleans and 8-bit values take at most one byte, 32-bit values four,
  // 64-bit values eight (right-aligned, 0 bytes read as 0); longer values throw BadStream.
  bool ReadBool();
  uint8_t ReadUInt8();
  uint32_t ReadUInt32();
  uint64_t ReadUInt64();
  // The text without its terminating zero (a value lacking the zero is taken whole).
  CCString ReadText();
  // The raw bytes.
  CCString ReadBinary();
  // Copies the value into `buffer`; throws BadStream when it is longer than `capacity`.
  // Returns the length.
  uint32_t ReadBinary(void* buffer, uint32_t capacity);

  // Makes the current value the innermost record and returns the enclosing limit, which
  // LeaveRecord takes back after skipping whatever of the record was not read.
  uint64_t EnterRecord();
  void LeaveRecord(uint64_t enclosingLimit);

  // Bytes consumed from the start of the message.
  uint64_t GetPosition() const { return m_position; }

 private:
  void ReadExactly(void* buffer, uint32_t count);
  void SkipExactly(uint64_t count);
  // The unread rest of the current value, checked against `maxLength`, as a big-endian number.
  uint64_t ReadUnsigned(uint32_t maxLength);

  ReaderInput& m_input;
  uint64_t m_position = 0;
  uint64_t m_limit = kUnbounded;  // end of the innermost record
  uint32_t m_remaining = 0;       // bytes of the current value not yet consumed
  uint32_t m_valueLength = 0;
  uint8_t m_token = Token::InvalidTokenValue;
  bool m_peeked = false;
};

}  // namespace BinXML
