#pragma once

#include <cstdint>

namespace Vorq {

// Where each collector of the crash report stands in its list during one rendering. Reset
// by the list's Begin or End operation (and all together by RewindCollectors). Holds no
// owned memory other than the adapter list and the snapshots, released at the end of their
// lists. Handles are kept as void* so that this header needs no system header.
struct CrashCollectorCursors {
  // Room for one thread context of either build (checked against CONTEXT where it is used).
  static constexpr uint32_t kContextStorageSize = 1232;

  uint32_t adapterIndex = 0;
  void* adapterList = nullptr;  // fetched once per rendering from the library allocator
  void* adapterCurrent = nullptr;

  void* processSnapshot = nullptr;
  uint32_t processIndex = 0;  // 0 before the own process, 1 after it
  uint32_t processId = 0;     // of the process element being written
  bool processIsSelf = false;
  uint32_t ownParentId = 0;  // the own process's parent, found by BeginProcesses

  void* threadSnapshot = nullptr;
  uint32_t threadIndex = 0;
  uint32_t currentThreadId = 0;         // of the thread element being written
  void* threadHandle = nullptr;         // open while that thread's frames are written
  const void* threadContext = nullptr;  // the context of that thread, null when none
  // Aligned to 16 where it is used: the allocator may give the reporter less.
  unsigned char contextStorage[kContextStorageSize + 16] = {};

  void* moduleSnapshot = nullptr;
  // Where no module snapshot can be taken (the emulated 32-bit Wine refuses it), the own
  // process's modules as the loader lists them.
  static constexpr uint32_t kMaxListedModules = 512;
  void* moduleList[kMaxListedModules] = {};
  uint32_t moduleListCount = 0;
  uint32_t moduleIndex = 0;
  uint64_t moduleBase = 0;  // of the module last named
  uint64_t moduleSize = 0;

  uint32_t frameIndex = 0;
  uint32_t frameTextOffset = 0;  // into the reporter's text buffer
  uint32_t frameTextLength = 0;

  uint32_t stackLine = 0;

  const char* environment = nullptr;  // the process's environment block
  const char* environmentCursor = nullptr;
  const char* variableValue = nullptr;  // of the variable last named
};

}  // namespace Vorq
