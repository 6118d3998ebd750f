#include "libs/ccutility/binxml/binxml_reader.h"

#include <cstring>

namespace BinXML {

namespace {

// Length field: below 0x80 the length itself; 0xFF then four big-endian bytes; otherwise the
// low seven bits and the next byte.
constexpr uint8_t kMediumLengthBit = 0x80;
constexpr uint8_t kLongLengthMarker = 0xFF;

}  // namespace

bool ReaderInput_Memory::Read(void* buffer, uint32_t count) {
  if (count > Available())
    return false;
  if (count)
    std::memcpy(buffer, m_next, count);
  m_next += count;
  return true;
}

bool ReaderInput_Memory::Skip(uint32_t count) {
  if (count > Available())
    return false;
  m_next += count;
  return true;
}

Reader::Reader(ReaderInput& input, uint64_t length) : m_input(input), m_limit(length) {}

void Reader::ReadExactly(void* buffer, uint32_t count) {
  if (m_limit != kUnbounded && count > m_limit - m_position)
    throw BadStream();
  if (!m_input.Read(buffer, count))
    throw BadStream();
  m_position += count;
}

void Reader::SkipExactly(uint64_t count) {
  while (count > 0) {
    uint32_t step = count > UINT32_MAX ? UINT32_MAX : uint32_t(count);
    if (!m_input.Skip(step))
      throw BadStream();
    m_position += step;
    count -= step;
  }
}

uint8_t Reader::ReadHeader() {
  if (m_peeked) {
    m_peeked = false;
    return m_token;
  }
  SkipExactly(m_remaining);
  m_remaining = 0;
  m_valueLength = 0;

  // Token and first length byte; the longer forms are checked whole against the limit before
  // any of their bytes are read.
  uint8_t header[6];
  ReadExactly(header, 2);
  uint32_t length;
  if (header[1] < kMediumLengthBit) {
    length = header[1];
  } else if (header[1] == kLongLengthMarker) {
    ReadExactly(header + 2, 4);
    length = uint32_t(header[2]) << 24 | uint32_t(header[3]) << 16 | uint32_t(header[4]) << 8 |
             header[5];
  } else {
    ReadExactly(header + 2, 1);
    length = uint32_t(header[1] & 0x7F) << 8 | header[2];
  }
  if (m_limit != kUnbounded && length > m_limit - m_position)
    throw BadStream();
  m_token = header[0];
  m_valueLength = length;
  m_remaining = length;
  return m_token;
}

uint8_t Reader::Peek() {
  uint8_t token = ReadHeader();
  m_peeked = true;
  return token;
}

bool Reader::AtEnd() const {
  return m_limit != kUnbounded && m_position + m_remaining >= m_limit && !m_peeked;
}

uint64_t Reader::ReadUnsigned(uint32_t maxLength) {
  if (m_peeked || m_remaining > maxLength)
    throw BadStream();
  uint8_t bytes[8];
  uint32_t length = m_remaining;
  ReadExactly(bytes, length);
  m_remaining = 0;
  uint64_t value = 0;
  for (uint32_t i = 0; i < length; ++i)
    value = value << 8 | bytes[i];
  return value;
}

bool Reader::ReadBool() {
  return ReadUnsigned(1) != 0;
}

uint8_t Reader::ReadUInt8() {
  return uint8_t(ReadUnsigned(1));
}

uint32_t Reader::ReadUInt32() {
  return uint32_t(ReadUnsigned(4));
}

uint64_t Reader::ReadUInt64() {
  return ReadUnsigned(8);
}

CCString Reader::ReadBinary() {
  if (m_peeked)
    throw BadStream();
  // Refuse a hostile length before allocating for it.
  uint64_t available = m_input.Available();
  if (available != ReaderInput::kUnknown && m_remaining > available)
    throw BadStream();
  CCString bytes;
  uint32_t length = m_remaining;
  if (length > 0) {
    ReadExactly(bytes.Resize(length), length);
    m_remaining = 0;
  }
  return bytes;
}

uint32_t Reader::ReadBinary(void* buffer, uint32_t capacity) {
  if (m_peeked || m_remaining > capacity)
    throw BadStream();
  uint32_t length = m_remaining;
  ReadExactly(buffer, length);
  m_remaining = 0;
  return length;
}

CCString Reader::ReadText() {
  CCString text = ReadBinary();
  if (!text.IsEmpty() && text[text.Length() - 1] == '\0')
    text.Resize(text.Length() - 1);
  return text;
}

uint64_t Reader::EnterRecord() {
  if (m_peeked)
    throw BadStream();
  uint64_t enclosing = m_limit;
  m_limit = m_position + m_remaining;
  m_remaining = 0;
  return enclosing;
}

void Reader::LeaveRecord(uint64_t enclosingLimit) {
  if (m_limit == kUnbounded || enclosingLimit < m_limit)
    throw BadStream();
  // Whatever of the record was not read, a peeked header included.
  m_peeked = false;
  SkipExactly(m_limit - m_position);
  m_remaining = 0;
  m_limit = enclosingLimit;
}

}  // namespace BinXML
