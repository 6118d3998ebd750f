#include "libs/ccutility/binxml/binxml_streamable.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace BinXML {

Streamable::Streamable(const void* data, uint32_t size) {
  NewShared(data, size);
}

Streamable::Streamable(const Streamable& other) : m_shared(other.m_shared) {
  if (m_shared)
    m_shared->references.fetch_add(1, std::memory_order_relaxed);
}

Streamable& Streamable::operator=(const Streamable& other) {
  if (other.m_shared)
    other.m_shared->references.fetch_add(1, std::memory_order_relaxed);
  Drop();
  m_shared = other.m_shared;
  m_readPosition = 0;
  return *this;
}

Streamable::~Streamable() {
  Drop();
}

void Streamable::Drop() {
  Shared* old = m_shared;
  m_shared = nullptr;
  if (old && old->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    old->~Shared();
    std::free(old);
  }
}

char* Streamable::NewShared(const void* data, uint32_t size) {
  Drop();
  m_readPosition = 0;
  if (size == 0)
    return nullptr;
  // The count, the size and the bytes in one allocation, freed together by the last holder.
  void* memory = std::malloc(sizeof(Shared) + size + 1);
  if (!memory)
    throw std::bad_alloc();
  m_shared = new (memory) Shared{{1}, size};
  char* bytes = m_shared->Bytes();
  if (data)
    std::memcpy(bytes, data, size);
  else
    std::memset(bytes, 0, size);
  bytes[size] = '\0';
  return bytes;
}

uint32_t Streamable::GetSize() {
  return SharedSize();
}

void Streamable::Rewind() {
  m_readPosition = 0;
}

const char* Streamable::Read(uint32_t& length) {
  uint32_t size = SharedSize();
  if (m_readPosition >= size) {
    length = 0;
    return nullptr;
  }
  // The whole rest in one piece: the bytes are already in memory.
  length = size - m_readPosition;
  const char* piece = SharedData() + m_readPosition;
  m_readPosition = size;
  return piece;
}

String::String(const char* text) : String(text, text ? uint32_t(std::strlen(text)) : 0) {}

String::String(const char* text, uint32_t length) {
  // The terminator is part of the value; the shared buffer always ends in one.
  if (length > 0)
    NewShared(text, length + 1)[length] = '\0';
}

String::String(const CCString& text) : String(text.c_str(), text.Length()) {}

uint32_t String::GetSize() {
  if (m_size == UINT32_MAX)
    m_size = SharedSize();
  return m_size;
}

bool StreamingOutput_Memory::Write(const void* data, uint32_t length) {
  const char* bytes = static_cast<const char*>(data);
  m_bytes.insert(m_bytes.end(), bytes, bytes + length);
  return true;
}

}  // namespace BinXML
