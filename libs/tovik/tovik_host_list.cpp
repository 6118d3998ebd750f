#include "libs/tovik/tovik_host_list.h"

#include <cstring>

namespace Vorq {

namespace {

bool SameIgnoringCase(const char* a, const char* b) {
  for (; *a && *b; ++a, ++b) {
    char x = (*a >= 'A' && *a <= 'Z') ? char(*a + 32) : *a;
    if (x != *b)
      return false;
  }
  return *a == *b;
}

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

}  // namespace

TovikHostList::TovikHostList(const char* text) {
  if (!text)
    return;
  size_t length = strnlen(text, kMaxText);
  memcpy(m_text, text, length);
  m_text[length] = '\0';
  // Cut the copy in place: separators become NULs, each entry is trimmed where it lies.
  size_t start = 0;
  for (size_t i = 0; i <= length; ++i) {
    if (i < length && m_text[i] != ',' && m_text[i] != ';')
      continue;
    m_text[i] = '\0';
    size_t first = start, end = i;
    while (first < end && IsSpace(m_text[first]))
      ++first;
    while (end > first && IsSpace(m_text[end - 1]))
      m_text[--end] = '\0';
    if (end > first && m_count < kMaxEntries)
      m_offsets[m_count++] = uint8_t(first);
    start = i + 1;
  }
}

bool TovikHostList::Contains(const char* keyword) const {
  for (uint32_t i = 0; i < m_count; ++i) {
    if (SameIgnoringCase(Entry(i), keyword))
      return true;
  }
  return false;
}

const char* TovikHostList::NextHost(uint32_t* cursor) const {
  while (*cursor < m_count) {
    const char* entry = Entry((*cursor)++);
    if (!IsKeyword(entry))
      return entry;
  }
  return nullptr;
}

bool TovikHostList::IsKeyword(const char* entry) {
  return IsAuto(entry) || IsPublic(entry);
}

bool TovikHostList::IsAuto(const char* entry) {
  return SameIgnoringCase(entry, "auto");
}

bool TovikHostList::IsPublic(const char* entry) {
  return SameIgnoringCase(entry, "public");
}

}  // namespace Vorq
