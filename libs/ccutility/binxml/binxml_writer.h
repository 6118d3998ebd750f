#pragma once

#include <cstdint>

#include "launcher/text/cc_string.h"
#include "libs/ccutility/binxml/binxml_error.h"
#include "libs/ccutility/binxml/binxml_streamable.h"

namespace BinXML {

// Builds one message into a caller-supplied buffer: items of a token byte, a length of 1, 2 or
// 5 bytes and the value, where records nest further items. Each value is written as
// SetToken(token) then Write(value); records as BeginRecord(token) ... EndRecord().
//
// Large values are not copied. With a streaming threshold set, a Streamable of at least that
// many bytes is recorded by reference as a chunk of its own: the buffer then holds the message
// minus those values, and Send delivers "buffer piece, source bytes, next buffer piece ..."
// through any StreamingOutput. A connection plugs in by implementing StreamingOutput over its
// socket (send every byte or fail), writing its own length prefix (GetTotalSize) through it,
// and calling Send. Streamed sources are held by reference and must outlive Send.
//
// A buffer that is too small does not throw: the writer stops storing, keeps counting, and
// reports IsOverflowed with the size the message would have had. Misuse (a value without a
// token, a token over a pending one, EndRecord without BeginRecord) logs an assertion through
// the assertion logger and throws MissingTokenOrValue. One thread at a time.
class Writer {
 public:
  // Deepest record nesting and most streamed values per message.
  static constexpr uint32_t kMaxDepth = 16;
  static constexpr uint32_t kMaxStreamedValues = 16;

  // One piece of the message on the wire: a range of the buffer, or a streamed source.
  struct Chunk {
    static constexpr uint32_t kBuffer = 0;
    static constexpr uint32_t kSource = 1;
    Streamable* source;  // kSource only
    uint32_t offset;     // kBuffer only: first byte in the buffer
    uint32_t length;
    uint32_t flags;
  };

  // `streamThreshold` 0 streams nothing: every value is copied into the buffer.
  Writer(void* buffer, uint32_t capacity, uint32_t streamThreshold = 0, bool omitDefaults = false);
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  void SetStreamThreshold(uint32_t bytes) { m_streamThreshold = bytes; }
  uint32_t GetStreamThreshold() const { return m_streamThreshold; }
  // Leave out integers equal to 0, false Booleans and empty values (no token, no length).
  void SetOmitDefaults(bool omit) { m_omitDefaults = omit; }
  bool GetOmitDefaults() const { return m_omitDefaults; }
  // Starts a new message in the same buffer; threshold and mode stay.
  void Reset();

  // The token of the next value. Throws MissingTokenOrValue when one is pending.
  void SetToken(uint8_t token);
  // Each writes the pending token, the length and the value, and clears the token. Throws
  // MissingTokenOrValue when no token is pending. Integers drop their leading zero bytes.
  void Write(bool value);
  void Write(uint8_t value);
  void Write(uint32_t value);
  void Write(uint64_t value);
  void Write(int value) = delete;  // say which width is meant
  // Text with its terminating zero; the empty text has length 0.
  void Write(const char* text);
  void Write(const CCString& text);
  // The source's GetSize bytes: streamed by reference at or above the threshold, otherwise
  // read now and copied. A copied source that delivers fewer bytes than its size throws
  // BadStream.
  void Write(Streamable& value);
  // Raw bytes from memory, always copied.
  void WriteBinary(const void* data, uint32_t length);

  // Opens a record with `token` (throws MissingTokenOrValue when a token is pending or the
  // nesting is deeper than kMaxDepth); its items follow until EndRecord, which puts the
  // length in front. An empty record is left out in omit-defaults mode.
  void BeginRecord(uint8_t token);
  void EndRecord();
  uint32_t GetDepth() const { return m_depth; }

  // Bytes in the buffer (streamed values excluded), the streamed bytes, and both together:
  // the size of the message on the wire.
  uint32_t GetBufferSize() const { return m_position; }
  uint64_t GetStreamedSize() const { return m_streamed; }
  uint64_t GetTotalSize() const { return uint64_t(m_position) + m_streamed; }
  const char* GetBuffer() const { return m_buffer; }
  bool IsOverflowed() const { return m_overflowed; }

  // The pieces in wire order; the last buffer piece may be empty.
  uint32_t GetChunkCount() const { return m_chunkIndex + 1; }
  Chunk GetChunk(uint32_t index) const;

  // Sends the message through `output`: buffer pieces as they are, streamed sources rewound
  // and read. False when the output fails, the message overflowed, a record is still open or
  // a source delivers fewer bytes than it promised (the bytes already sent then do not form a
  // message: the connection must be dropped). Extra bytes of a source are not sent.
  bool Send(StreamingOutput& output);

 private:
  struct Frame {
    uint32_t position;  // where the record's reserved two-byte header starts
    uint32_t mark;      // m_mark when the record opened
    uint32_t chunkIndex;
    uint64_t streamed;
    uint8_t token;
  };

  [[noreturn]] void AssertionFailed(const char* expression, int line);
  // Pending token taken for a value about to be written; false when the value is left out.
  bool TakeToken(bool isDefault);
  void PutHeader(uint8_t token, uint32_t length);
  void Put(const void* data, uint32_t length);
  void PutUnsigned(uint64_t value);

  char* m_buffer;
  uint32_t m_capacity;
  uint32_t m_streamThreshold;
  Chunk m_chunks[2 * kMaxStreamedValues + 1];
  uint32_t m_chunkIndex = 0;  // the open buffer piece
  uint32_t m_position = 0;    // end of the message in the buffer
  uint32_t m_mark = 0;        // where the last closed buffer piece ended
  uint64_t m_streamed = 0;
  uint8_t m_nextToken = Token::InvalidTokenValue;
  bool m_omitDefaults;
  bool m_overflowed = false;
  Frame m_frames[kMaxDepth];
  uint32_t m_depth = 0;
};

}  // namespace BinXML
