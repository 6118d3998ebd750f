#pragma once

#include <cstdint>

namespace Vorq {

// The server list of a telemetry configuration text: entries separated by "," or ";", with
// the spaces around them removed and empty entries dropped. "auto" (discovery on the local
// network) and "public" (the publisher's server) are keywords, in any letter case; every
// other entry is a host name or dotted address, optionally followed by ":port". Only the
// first kMaxText characters of the text count.
class TovikHostList {
 public:
  static constexpr uint32_t kMaxText = 127;
  static constexpr uint32_t kMaxEntries = 64;  // a 127-character text holds at most 64

  explicit TovikHostList(const char* text);

  uint32_t Count() const { return m_count; }
  const char* Entry(uint32_t index) const { return m_text + m_offsets[index]; }
  bool Contains(const char* keyword) const;
  // The first entry at or after *cursor that is not a keyword, or null; *cursor moves past it.
  const char* NextHost(uint32_t* cursor) const;

  static bool IsKeyword(const char* entry);
  static bool IsAuto(const char* entry);
  static bool IsPublic(const char* entry);

 private:
  char m_text[kMaxText + 1] = {};  // the entries, each ended by a NUL
  uint8_t m_offsets[kMaxEntries] = {};
  uint32_t m_count = 0;
};

}  // namespace Vorq
