#pragma once

#include <cstdint>

namespace Vorq {

// Where each collector of the crash report stands in its list during one rendering. Reset
// by the list's Begin operation (and all together by a rewind of the report stream). Holds
// no owned memory: the crash path allocates nothing here. Handles are kept as void*.
struct CrashCollectorCursors {
  uint32_t adapterIndex = 0;
  void* adapterList = nullptr;  // fetched once per rendering from the library allocator
  void* processSnapshot = nullptr;
  uint32_t processIndex = 0;
  void* threadSnapshot = nullptr;
  uint32_t threadIndex = 0;
  uint32_t currentThreadId = 0;
  void* moduleSnapshot = nullptr;
  uint32_t moduleIndex = 0;
  uint32_t frameIndex = 0;
  uint32_t stackLine = 0;
  const char* environment = nullptr;
  const char* environmentCursor = nullptr;
};

}  // namespace Vorq
