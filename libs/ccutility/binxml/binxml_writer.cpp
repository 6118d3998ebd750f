#include "libs/ccutility/binxml/binxml_writer.h"

#include <cstdio>
#include <cstring>

#include "logging/assert_logger.h"

namespace BinXML {

namespace {

// Source name in the writer's assertion messages.
constexpr const char* kSourceName = "binxml_writer";

// Length field forms: one byte up to 0x7F; two bytes with the top bit set up to 0x7EFF (the
// first byte stays below 0xFF); else the marker byte 0xFF and four bytes.
constexpr uint32_t kMaxShortLength = 0x7F;
constexpr uint32_t kMaxMediumLength = 0x7EFF;
constexpr uint8_t kLongLengthMarker = 0xFF;

// Encodes the length field into `out`; returns its size.
uint32_t EncodeLength(uint32_t length, uint8_t* out) {
  if (length <= kMaxShortLength) {
    out[0] = uint8_t(length);
    return 1;
  }
  if (length <= kMaxMediumLength) {
    out[0] = uint8_t(0x80 | (length >> 8));
    out[1] = uint8_t(length);
    return 2;
  }
  out[0] = kLongLengthMarker;
  out[1] = uint8_t(length >> 24);
  out[2] = uint8_t(length >> 16);
  out[3] = uint8_t(length >> 8);
  out[4] = uint8_t(length);
  return 5;
}

// Big-endian without leading zero bytes, at least one byte.
uint32_t UnsignedSize(uint64_t value) {
  uint32_t size = 1;
  while (size < 8 && (value >> (8 * size)) != 0)
    ++size;
  return size;
}

}  // namespace

#define BINXML_ASSERT(expression)             \
  do {                                        \
    if (!(expression))                        \
      AssertionFailed(#expression, __LINE__); \
  } while (0)

Writer::Writer(void* buffer, uint32_t capacity, uint32_t streamThreshold, bool omitDefaults)
    : m_buffer(static_cast<char*>(buffer)),
      m_capacity(buffer ? capacity : 0),
      m_streamThreshold(streamThreshold),
      m_omitDefaults(omitDefaults) {
  Reset();
}

void Writer::Reset() {
  m_chunkIndex = 0;
  m_chunks[0] = Chunk{nullptr, 0, 0, Chunk::kBuffer};
  m_position = 0;
  m_mark = 0;
  m_streamed = 0;
  m_nextToken = Token::InvalidTokenValue;
  m_overflowed = false;
  m_depth = 0;
}

void Writer::AssertionFailed(const char* expression, int line) {
  if (Vorq::Assert::Logger* logger = Vorq::Assert::CurrentLogger()) {
    logger->Log(0, Vorq::Assert::kSeverityError, 0, Vorq::Assert::kOptionAssertion, kSourceName,
                line, "%s is false (%s, %d)\n", expression, kSourceName, line);
  } else {
    std::fprintf(stderr, "%s is false (%s, %d)\n", expression, kSourceName, line);
  }
  throw MissingTokenOrValue();
}

void Writer::SetToken(uint8_t token) {
  BINXML_ASSERT(m_nextToken == Token::InvalidTokenValue);
  m_nextToken = token;
}

bool Writer::TakeToken(bool isDefault) {
  BINXML_ASSERT(m_nextToken != Token::InvalidTokenValue);
  if (isDefault && m_omitDefaults) {
    m_nextToken = Token::InvalidTokenValue;
    return false;
  }
  return true;
}

void Writer::Put(const void* data, uint32_t length) {
  if (length == 0)
    return;
  // Past the end of the buffer only the count goes on, so that the caller learns the size.
  if (!m_overflowed && length <= m_capacity - m_position)
    std::memcpy(m_buffer + m_position, data, length);
  else
    m_overflowed = true;
  m_position += length;
}

void Writer::PutHeader(uint8_t token, uint32_t length) {
  uint8_t header[6];
  header[0] = token;
  uint32_t size = 1 + EncodeLength(length, header + 1);
  Put(header, size);
  m_nextToken = Token::InvalidTokenValue;
}

void Writer::PutUnsigned(uint64_t value) {
  uint32_t size = UnsignedSize(value);
  uint8_t bytes[8];
  for (uint32_t i = 0; i < size; ++i)
    bytes[i] = uint8_t(value >> (8 * (size - 1 - i)));
  PutHeader(m_nextToken, size);
  Put(bytes, size);
}

void Writer::Write(bool value) {
  Write(uint8_t(value ? 1 : 0));
}

void Writer::Write(uint8_t value) {
  if (!TakeToken(value == 0))
    return;
  PutHeader(m_nextToken, 1);
  Put(&value, 1);
}

void Writer::Write(uint32_t value) {
  if (TakeToken(value == 0))
    PutUnsigned(value);
}

void Writer::Write(uint64_t value) {
  if (TakeToken(value == 0))
    PutUnsigned(value);
}

void Writer::Write(const char* text) {
  uint32_t length = text ? uint32_t(std::strlen(text)) : 0;
  if (!TakeToken(length == 0))
    return;
  // The empty text is written with length 0, without its terminator.
  PutHeader(m_nextToken, length ? length + 1 : 0);
  if (length)
    Put(text, length + 1);
}

void Writer::Write(const CCString& text) {
  uint32_t length = text.Length();
  if (!TakeToken(length == 0))
    return;
  PutHeader(m_nextToken, length ? length + 1 : 0);
  if (length)
    Put(text.c_str(), length + 1);
}

void Writer::WriteBinary(const void* data, uint32_t length) {
  if (!TakeToken(length == 0))
    return;
  PutHeader(m_nextToken, length);
  Put(data, length);
}

void Writer::Write(Streamable& value) {
  uint32_t size = value.GetSize();
  if (!TakeToken(size == 0))
    return;
  PutHeader(m_nextToken, size);
  if (m_streamThreshold != 0 && size >= m_streamThreshold &&
      m_chunkIndex + 2 < sizeof m_chunks / sizeof m_chunks[0]) {
    // Close the buffer piece after the header, the source follows by reference, and a fresh
    // buffer piece starts where the next item goes.
    m_chunks[m_chunkIndex] = Chunk{nullptr, m_mark, m_position - m_mark, Chunk::kBuffer};
    m_chunks[m_chunkIndex + 1] = Chunk{&value, 0, size, Chunk::kSource};
    m_chunkIndex += 2;
    m_mark = m_position;
    m_chunks[m_chunkIndex] = Chunk{nullptr, m_mark, 0, Chunk::kBuffer};
    m_streamed += size;
    return;
  }
  value.Rewind();
  uint32_t copied = 0;
  while (copied < size) {
    uint32_t length = 0;
    const char* piece = value.Read(length);
    if (length == 0)
      throw BadStream();  // the source promised more than it has
    if (length > size - copied)
      length = size - copied;
    Put(piece, length);
    copied += length;
  }
}

void Writer::BeginRecord(uint8_t token) {
  BINXML_ASSERT(m_nextToken == Token::InvalidTokenValue);
  BINXML_ASSERT(m_depth < kMaxDepth);
  m_frames[m_depth++] = Frame{m_position, m_mark, m_chunkIndex, m_streamed, token};
  // Room for the token and a one-byte length; EndRecord widens it when the contents need more.
  uint8_t reserved[2] = {token, 0};
  Put(reserved, 2);
}

void Writer::EndRecord() {
  BINXML_ASSERT(m_depth > 0);
  BINXML_ASSERT(m_nextToken == Token::InvalidTokenValue);
  const Frame frame = m_frames[--m_depth];
  uint32_t contentStart = frame.position + 2;
  uint32_t bufferBytes = m_position - contentStart;
  uint64_t contentLength = uint64_t(bufferBytes) + (m_streamed - frame.streamed);
  if (contentLength > UINT32_MAX) {
    m_overflowed = true;  // no length field can say it; the message cannot be sent
    return;
  }
  if (contentLength == 0 && m_omitDefaults) {
    m_position = frame.position;
    return;
  }

  uint8_t header[6];
  header[0] = frame.token;
  uint32_t headerSize = 1 + EncodeLength(uint32_t(contentLength), header + 1);
  uint32_t growth = headerSize - 2;
  if (growth > 0) {
    if (!m_overflowed && growth <= m_capacity - m_position)
      std::memmove(m_buffer + contentStart + growth, m_buffer + contentStart, bufferBytes);
    else
      m_overflowed = true;
    m_position += growth;
    // The piece that holds the header grows; every later buffer piece moves along.
    for (uint32_t i = frame.chunkIndex; i <= m_chunkIndex; ++i) {
      Chunk& chunk = m_chunks[i];
      if (chunk.flags != Chunk::kBuffer)
        continue;
      if (i == frame.chunkIndex)
        chunk.length += growth;
      else
        chunk.offset += growth;
    }
    if (m_chunkIndex != frame.chunkIndex)
      m_mark += growth;
  }
  if (!m_overflowed)
    std::memcpy(m_buffer + frame.position, header, headerSize);
}

Writer::Chunk Writer::GetChunk(uint32_t index) const {
  if (index == m_chunkIndex)
    return Chunk{nullptr, m_mark, m_position - m_mark, Chunk::kBuffer};
  return m_chunks[index];
}

bool Writer::Send(StreamingOutput& output) {
  if (m_overflowed || m_depth != 0)
    return false;
  for (uint32_t i = 0; i <= m_chunkIndex; ++i) {
    Chunk chunk = GetChunk(i);
    if (chunk.flags == Chunk::kBuffer) {
      if (chunk.length && !output.Write(m_buffer + chunk.offset, chunk.length))
        return false;
      continue;
    }
    chunk.source->Rewind();
    uint32_t sent = 0;
    while (sent < chunk.length) {
      uint32_t length = 0;
      const char* piece = chunk.source->Read(length);
      if (length == 0)
        return false;
      if (length > chunk.length - sent)
        length = chunk.length - sent;
      if (!output.Write(piece, length))
        return false;
      sent += length;
    }
  }
  return true;
}

}  // namespace BinXML
