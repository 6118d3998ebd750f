#pragma once

#include <cstdint>

// The process's shared symbol engine over the system's debug-help library, used to turn the
// call stacks of a crash report into frame texts. Reference-counted; created on first use.
// The debug-help and version libraries are bound at run time: the launcher does not import
// them. Meant for the crashing thread while every other thread is suspended.
namespace Debug {

// Most frames walked per thread.
constexpr uint32_t kMaxFrames = 32;
// Ends the frame-address array of a walk.
constexpr uint64_t kEndOfFrames = 0xFFFFFFFF;
// Longest expanded frame text, terminator not counted.
constexpr uint32_t kMaxFrameText = 255;
// Frame templates: the engine's default, the reporter's with symbols and without.
constexpr const char kDefaultFrameTemplate[] = "\n    #M#F";
constexpr const char kSymbolFrameTemplate[] = "[#a] #F: #M\n";
constexpr const char kAddressFrameTemplate[] = "#a\n";

// Binds the debug-help, version and process-status calls (loading their libraries) and,
// with `symbols`, answers the version check below once for the crash to use. For the crash
// handler's thread at its start.
void PrepareForCrash(bool symbols);
// True when the process has "dbghelp.dll" loaded at version 6.5.3.7 or later (the answer
// found by PrepareForCrash, when it looked).
bool IsDebugHelpRecentEnough();
// "." plus every folder of the process's modules and the symbol path variables; allocated
// from the library allocator (free with Vorq::Memory::Free). Null on failure.
char* BuildSymbolSearchPath();
// Takes a reference to the shared engine (creating it) and, with a search path, loads the
// symbols of the process's modules. Failures leave frames as bare addresses.
void AcquireSymbolEngine(const char* searchPathOrNull);
// Drops a reference; the last one cleans the symbol handler up.
void ReleaseSymbolEngine();
// True while an engine exists and has symbols loaded.
bool SymbolsLoaded();

// What is known about one frame; null texts and a zero module base are unknown.
struct FrameSymbol {
  uint64_t address = 0;
  const char* function = nullptr;
  uint32_t displacement = 0;  // into the function
  uint64_t moduleBase = 0;
  const char* file = nullptr;  // full source path
  int line = 0;
};

// Expands `frameTemplate` for one frame into `out`: "#" and a code letter (a M m j F P f p l)
// is replaced, optionally with a printf format in single quotes right after the "#"
// ("#'%x'a"); other characters are copied. At most kMaxFrameText characters, always
// terminated when `capacity` > 0. Answers the length written.
uint32_t ExpandFrameTemplate(const char* frameTemplate,
                             const FrameSymbol& frame,
                             char* out,
                             uint32_t capacity);

// Walks the stack of `thread` (a handle; may be the pseudo handle of the current thread) from
// a copy of `context` (a CONTEXT) into `addresses`: the instruction pointer first, then
// return addresses, at most kMaxFrames, followed by kEndOfFrames (so `capacity` must be at
// least 2). Uses the debug-help walker when the engine runs, else (x86_64) the system's
// unwinder over the images' unwind data, else the frame-pointer chain; both stay inside the
// stack's committed region. Answers the number of frames.
uint32_t WalkStack(void* thread, const void* context, uint64_t* addresses, uint32_t capacity);

// Fills `frame` for `address` from the engine's symbols (only the address and, when known,
// the module base without symbols). The texts stay valid until the engine is released.
void DescribeFrame(uint64_t address, FrameSymbol* frame);

// A file's version resource, read through the version library bound at run time; the block
// comes from the library allocator.
class VersionResource {
 public:
  explicit VersionResource(const char* path);
  ~VersionResource();
  VersionResource(const VersionResource&) = delete;
  VersionResource& operator=(const VersionResource&) = delete;

  bool IsValid() const { return m_block != nullptr; }
  // The value of "\StringFileInfo\040904B0\<name>", without its terminator; 0 when absent.
  uint32_t Query(const char* name, char* out, uint32_t capacity);

 private:
  void* m_block = nullptr;
};

}  // namespace Debug
