#include "libs/crashreport/win32/debug_symbols.h"

#include <windows.h>

#include <dbghelp.h>
#include <tlhelp32.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <new>

#include "libs/ccutility/win/system_function.h"
#include "libs/ccutility/win/wide_text.h"
#include "libs/ccutility/win/win_handles.h"
#include "libs/crashreport/crash_library.h"

namespace Debug {

namespace {

#if defined(_WIN64)
constexpr DWORD kMachine = IMAGE_FILE_MACHINE_AMD64;  // 0x8664
// The bare address shows all 64 bits.
constexpr const char kAddressFormat[] = "0x%016llx";
#else
constexpr DWORD kMachine = IMAGE_FILE_MACHINE_I386;  // 0x14C
constexpr const char kAddressFormat[] = "0x%08llx";
#endif

// Debug output, line numbers, deferred loads, undecorated names.
constexpr DWORD kSymbolOptions = 0x80000016;
constexpr uint32_t kSymbolNameSize = 256;
constexpr uint32_t kFileNameSize = MAX_PATH;
constexpr uint32_t kTableSize = 128;

// The debug-help calls, bound on first use.
constexpr wchar_t kDebugHelpDll[] = L"dbghelp.dll";
struct DebugHelp {
  GV_SYSTEM_FUNCTION(kDebugHelpDll, SymSetOptions);
  GV_SYSTEM_FUNCTION(kDebugHelpDll, SymInitialize);
  GV_SYSTEM_FUNCTION(kDebugHelpDll, SymCleanup);
  GV_SYSTEM_FUNCTION(kDebugHelpDll, StackWalk64);
  GV_SYSTEM_FUNCTION(kDebugHelpDll, SymFunctionTableAccess64);
  GV_SYSTEM_FUNCTION(kDebugHelpDll, SymGetModuleBase64);
  GV_SYSTEM_FUNCTION(kDebugHelpDll, SymFromAddr);
  GV_SYSTEM_FUNCTION(kDebugHelpDll, SymGetLineFromAddr64);
  GV_SYSTEM_FUNCTION(kDebugHelpDll, SymEnumerateModules64);
  GV_SYSTEM_FUNCTION(kDebugHelpDll, SymEnumSymbols);
};
constinit DebugHelp g_help;

void DebugPrint(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  OutputDebugStringA(text);
}

// One resolved frame address.
struct FrameRecord {
  uint64_t address;
  uint64_t moduleBase;
  uint32_t displacement;
  int line;
  bool hasSymbol;
  bool hasLine;
  char symbol[kSymbolNameSize];
  char file[kFileNameSize];
};

struct SymbolEngine;

}  // namespace

// Gives the loaders their allocation from the crash library's allocator.
class DebugNewDelete {
 public:
  static void* operator new(size_t size) { return Vorq::Memory::Allocate(size); }
  static void operator delete(void* pointer) { Vorq::Memory::Free(pointer); }
};

// A source of module symbols for the engine.
class DebugLoader : public DebugNewDelete {
 public:
  virtual ~DebugLoader() = default;
  virtual bool LoadModules(const char* searchPath) = 0;
  virtual bool GetLine(uint64_t address, FrameRecord* record) = 0;
};

// The loader over the debug-help library: starts the symbol handler for the process (invading
// it, so every loaded module is known) and cleans it up again.
class DebugDbgHelpLoader : public DebugLoader {
 public:
  DebugDbgHelpLoader(HANDLE process, const char* searchPath) : m_process(process) {
    const DebugHelp& help = g_help;
    if (!help.SymSetOptions || !help.SymInitialize)
      return;
    help.SymSetOptions(kSymbolOptions);
    if (help.SymInitialize(process, searchPath, TRUE))
      m_initialized = true;
    else
      DebugPrint("SymInitialize returned error : %d\n", int(GetLastError()));
  }
  ~DebugDbgHelpLoader() override {
    if (m_initialized && g_help.SymCleanup)
      g_help.SymCleanup(m_process);
  }
  bool IsInitialized() const { return m_initialized; }

  // Makes the handler load the symbols of every module now rather than in the middle of the
  // first walk. Symbols themselves are looked up per frame address (see DescribeFrame).
  bool LoadModules(const char* searchPath) override {
    const DebugHelp& help = g_help;
    if (!m_initialized || !help.SymEnumerateModules64 || !help.SymEnumSymbols)
      return false;
    if (!help.SymEnumerateModules64(m_process, &DebugDbgHelpLoader::OnModule, this)) {
      DebugPrint("SymEnumerateModules64 returned error : %d\n", int(GetLastError()));
      return false;
    }
    return true;
  }

  bool GetLine(uint64_t address, FrameRecord* record) override {
    const DebugHelp& help = g_help;
    if (!m_initialized || !help.SymGetLineFromAddr64)
      return false;
    IMAGEHLP_LINE64 line = {};
    line.SizeOfStruct = sizeof line;
    DWORD displacement = 0;
    if (!help.SymGetLineFromAddr64(m_process, address, &displacement, &line) || !line.FileName)
      return false;
    std::snprintf(record->file, sizeof record->file, "%s", line.FileName);
    record->line = int(line.LineNumber);
    return true;
  }

 private:
  static BOOL CALLBACK OnModule(PCSTR name, DWORD64 base, PVOID context) {
    auto* self = static_cast<DebugDbgHelpLoader*>(context);
    if (!g_help.SymEnumSymbols(self->m_process, base, "*", &DebugDbgHelpLoader::OnSymbol, self))
      DebugPrint("SymEnumSymbols returned error : %d\n", int(GetLastError()));
    return TRUE;
  }
  static BOOL CALLBACK OnSymbol(PSYMBOL_INFO symbol, ULONG size, PVOID context) {
    if (!symbol || symbol->NameLen == 0)
      DebugPrint("Error adding symbol:  %s\n", symbol ? symbol->Name : "");
    return TRUE;
  }

  HANDLE m_process;
  bool m_initialized = false;
};

namespace {

// The one engine of the process; lives in a block of the library allocator.
struct SymbolEngine {
  long references = 0;
  HANDLE process = nullptr;
  bool walkerReady = false;              // the handler runs: StackWalk64 may use it
  DebugDbgHelpLoader* loader = nullptr;  // only with symbols
  uint32_t recordCount = 0;
  FrameRecord records[kTableSize];
};
SymbolEngine* g_engine = nullptr;

// Module base of an address from the memory map, without debug help.
DWORD64 CALLBACK ModuleBaseOf(HANDLE process, DWORD64 address) {
  MEMORY_BASIC_INFORMATION info;
  if (!VirtualQuery(reinterpret_cast<void*>(static_cast<uintptr_t>(address)), &info, sizeof info))
    return 0;
  return info.Type == MEM_IMAGE ? reinterpret_cast<uintptr_t>(info.AllocationBase) : 0;
}

#if defined(_WIN64)
// The unwind data of a function from the loaded image itself, so the x86_64 walk works
// without loaded symbols.
PVOID CALLBACK FunctionTableOf(HANDLE process, DWORD64 address) {
  DWORD64 imageBase = 0;
  return RtlLookupFunctionEntry(address, &imageBase, nullptr);
}
#endif

#if defined(_WIN64)
// Unwinds with the images' own unwind data while the stack pointer stays inside the stack's
// committed region and grows; a function without unwind data is a leaf (its return address
// is at the stack pointer).
constexpr uintptr_t kUnwindReach = 4096;

uint32_t WalkUnwindData(const CONTEXT& start, uint64_t* addresses, uint32_t limit) {
  CONTEXT context;
  std::memcpy(&context, &start, sizeof context);
  MEMORY_BASIC_INFORMATION info;
  if (!VirtualQuery(reinterpret_cast<void*>(context.Rsp), &info, sizeof info) ||
      info.State != MEM_COMMIT)
    return 0;
  const uintptr_t low = reinterpret_cast<uintptr_t>(info.BaseAddress);
  const uintptr_t high = low + info.RegionSize;
  uint32_t count = 0;
  while (count < limit && context.Rip) {
    addresses[count++] = context.Rip;
    const uintptr_t before = context.Rsp;
    DWORD64 imageBase = 0;
    PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(context.Rip, &imageBase, nullptr);
    if (function) {
      // The unwinder reads the frame above the stack pointer; a frame that could reach past
      // the readable region ends the walk rather than fault.
      if (context.Rsp + kUnwindReach > high)
        break;
      void* handlerData = nullptr;
      DWORD64 frame = 0;
      RtlVirtualUnwind(UNW_FLAG_NHANDLER, imageBase, context.Rip, function, &context, &handlerData,
                       &frame, nullptr);
    } else {
      if (context.Rsp < low || context.Rsp + sizeof(DWORD64) > high)
        break;
      context.Rip = *reinterpret_cast<const DWORD64*>(context.Rsp);
      context.Rsp += sizeof(DWORD64);
    }
    if (context.Rsp <= before || context.Rsp < low || context.Rsp > high)
      break;
  }
  return count;
}
#endif

// Follows saved frame pointers while they stay inside the stack's committed region and grow
// upwards.
uint32_t WalkFramePointers(const CONTEXT& context, uint64_t* addresses, uint32_t limit) {
#if defined(_WIN64)
  uintptr_t pc = context.Rip, frame = context.Rbp, sp = context.Rsp;
#else
  uintptr_t pc = context.Eip, frame = context.Ebp, sp = context.Esp;
#endif
  uint32_t count = 0;
  if (pc && count < limit)
    addresses[count++] = pc;
  MEMORY_BASIC_INFORMATION info;
  if (!VirtualQuery(reinterpret_cast<void*>(sp), &info, sizeof info) || info.State != MEM_COMMIT)
    return count;
  uintptr_t low = reinterpret_cast<uintptr_t>(info.BaseAddress);
  uintptr_t high = low + info.RegionSize;
  while (count < limit && frame >= low && frame + 2 * sizeof(uintptr_t) <= high &&
         frame % sizeof(uintptr_t) == 0) {
    const uintptr_t* slots = reinterpret_cast<const uintptr_t*>(frame);
    uintptr_t next = slots[0];
    uintptr_t returnAddress = slots[1];
    if (!returnAddress)
      break;
    addresses[count++] = returnAddress;
    if (next <= frame)
      break;
    frame = next;
  }
  return count;
}

FrameRecord* FindRecord(uint64_t address) {
  if (!g_engine)
    return nullptr;
  for (uint32_t i = 0; i < g_engine->recordCount; ++i) {
    if (g_engine->records[i].address == address)
      return &g_engine->records[i];
  }
  return nullptr;
}

// Resolves a new address into the table; the oldest entry gives way when it is full.
FrameRecord* Resolve(uint64_t address) {
  if (FrameRecord* known = FindRecord(address))
    return known;
  if (!g_engine)
    return nullptr;
  uint32_t slot =
      g_engine->recordCount < kTableSize ? g_engine->recordCount++ : uint32_t(address % kTableSize);
  FrameRecord* record = &g_engine->records[slot];
  std::memset(record, 0, sizeof *record);
  record->address = address;
  const DebugHelp& help = g_help;
  if (g_engine->loader && help.SymGetModuleBase64)
    record->moduleBase = help.SymGetModuleBase64(g_engine->process, address);
  if (!record->moduleBase)
    record->moduleBase = ModuleBaseOf(g_engine->process, address);
  if (g_engine->loader && help.SymFromAddr) {
    alignas(SYMBOL_INFO) char storage[sizeof(SYMBOL_INFO) + kSymbolNameSize];
    auto* symbol = reinterpret_cast<SYMBOL_INFO*>(storage);
    std::memset(storage, 0, sizeof storage);
    symbol->SizeOfStruct = sizeof(SYMBOL_INFO);
    symbol->MaxNameLen = kSymbolNameSize - 1;
    DWORD64 displacement = 0;
    if (help.SymFromAddr(g_engine->process, address, &displacement, symbol)) {
      std::snprintf(record->symbol, sizeof record->symbol, "%s", symbol->Name);
      record->displacement = uint32_t(displacement);
      record->hasSymbol = true;
    }
    record->hasLine = g_engine->loader->GetLine(address, record);
  }
  return record;
}

bool ReadsAsUnsigned64(const char* format) {
  return std::strstr(format, "ll") || std::strstr(format, "I64");
}

// The conversion letter of a one-value format ("%08x" -> 'x'); 0 when there is none.
char Conversion(const char* format) {
  const char* percent = std::strchr(format, '%');
  while (percent && percent[1] == '%')
    percent = std::strchr(percent + 2, '%');
  if (!percent)
    return 0;
  for (const char* c = percent + 1; *c; ++c) {
    if (std::strchr("diouxXpscfeEgG", *c))
      return *c;
  }
  return 0;
}

class FrameWriter {
 public:
  FrameWriter(char* out, uint32_t capacity)
      : m_out(out),
        m_limit(capacity ? (capacity - 1 < kMaxFrameText ? capacity - 1 : kMaxFrameText) : 0) {
    if (capacity)
      out[0] = '\0';
  }
  void Append(const char* text, size_t length) {
    if (!m_out)
      return;
    for (size_t i = 0; i < length && m_used < m_limit; ++i)
      m_out[m_used++] = text[i];
    m_out[m_used < m_limit ? m_used : m_limit] = '\0';
  }
  void Append(const char* text) { Append(text, std::strlen(text)); }
  void Format(const char* format, ...) {
    char text[kMaxFrameText * 2 + 2];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n > 0)
      Append(text, size_t(n) < sizeof text ? size_t(n) : sizeof text - 1);
  }
  // One number with a format whose argument type is read from the format itself.
  void Number(const char* format, uint64_t value) {
    if (ReadsAsUnsigned64(format))
      Format(format, static_cast<unsigned long long>(value));
    else if (Conversion(format) == 'p')
      Format(format, reinterpret_cast<void*>(static_cast<uintptr_t>(value)));
    else
      Format(format, static_cast<unsigned>(value));
  }
  uint32_t Used() const { return m_used; }

 private:
  char* m_out;
  uint32_t m_limit;
  uint32_t m_used = 0;
};

const char* FileBaseName(const char* path) {
  const char* base = path;
  for (const char* c = path; *c; ++c) {
    if (*c == '/' || *c == ':' || *c == '\\')
      base = c + 1;
  }
  return base;
}

void WriteUnknownFunction(FrameWriter& writer, const FrameSymbol& frame) {
  writer.Number(kAddressFormat, frame.address);
  if (frame.moduleBase)
    writer.Format(" 0x%08x", static_cast<unsigned>(frame.address - frame.moduleBase));
}

}  // namespace

uint32_t ExpandFrameTemplate(const char* frameTemplate,
                             const FrameSymbol& frame,
                             char* out,
                             uint32_t capacity) {
  FrameWriter writer(capacity ? out : nullptr, capacity);
  const char* p = frameTemplate ? frameTemplate : "";
  while (*p) {
    if (*p != '#') {
      writer.Append(p, 1);
      ++p;
      continue;
    }
    const char* code = p + 1;
    char custom[64];
    const char* format = nullptr;
    if (*code == '\'') {
      const char* end = std::strchr(code + 1, '\'');
      if (end && size_t(end - code - 1) < sizeof custom) {
        std::memcpy(custom, code + 1, size_t(end - code - 1));
        custom[end - code - 1] = '\0';
        format = custom;
        code = end + 1;
      }
    }
    bool known = frame.file != nullptr;
    switch (*code) {
      case 'a':
        if (frame.address)
          writer.Number(format ? format : kAddressFormat, frame.address);
        else
          writer.Append("???");
        break;
      case 'M':
        if (frame.function)
          writer.Format(format ? format : "%s+0x%08x", frame.function, frame.displacement);
        else
          WriteUnknownFunction(writer, frame);
        break;
      case 'm':
        if (frame.function)
          writer.Format(format ? format : "%s", frame.function);
        else
          WriteUnknownFunction(writer, frame);
        break;
      case 'j':
        writer.Number(format ? format : "0x%x", frame.function ? frame.displacement : 0);
        break;
      case 'F':
        if (known)
          writer.Format(format ? format : " %s(%d)", FileBaseName(frame.file), frame.line);
        break;
      case 'P':
        if (known)
          writer.Format(format ? format : " %s(%d)", frame.file, frame.line);
        break;
      case 'f':
        if (known)
          writer.Format(format ? format : "%s", FileBaseName(frame.file));
        else
          writer.Append("???");
        break;
      case 'p':
        if (known)
          writer.Format(format ? format : "%s", frame.file);
        else
          writer.Append("???");
        break;
      case 'l':
        if (known)
          writer.Format(format ? format : "%d", frame.line);
        else
          writer.Append("???");
        break;
      default:
        // Not a code: the "#" stands for itself and what follows is copied as text.
        writer.Append("#", 1);
        p = code;
        continue;
    }
    p = code + 1;
  }
  return writer.Used();
}

bool SymbolsLoaded() {
  return g_engine && g_engine->loader;
}

void AcquireSymbolEngine(const char* searchPathOrNull) {
  if (!g_engine) {
    void* block = Vorq::Memory::Allocate(sizeof(SymbolEngine));
    if (!block)
      return;
    g_engine = new (block) SymbolEngine();
    g_engine->process = GetCurrentProcess();
  }
  ++g_engine->references;
  if (searchPathOrNull && !g_engine->loader) {
    auto* loader = new DebugDbgHelpLoader(g_engine->process, searchPathOrNull);
    if (loader && loader->IsInitialized()) {
      loader->LoadModules(searchPathOrNull);
      g_engine->loader = loader;
      g_engine->walkerReady = true;
    } else {
      delete loader;
    }
  }
  if (!g_engine->walkerReady && g_help.SymInitialize) {
    // Without symbols the handler still runs, uninvaded, so StackWalk64 accepts the process.
    g_engine->walkerReady = g_help.SymInitialize(g_engine->process, nullptr, FALSE) != FALSE;
  }
}

void ReleaseSymbolEngine() {
  if (!g_engine || --g_engine->references > 0)
    return;
  SymbolEngine* engine = g_engine;
  g_engine = nullptr;
  if (engine->loader)
    delete engine->loader;
  else if (engine->walkerReady && g_help.SymCleanup)
    g_help.SymCleanup(engine->process);
  engine->~SymbolEngine();
  Vorq::Memory::Free(engine);
}

uint32_t WalkStack(void* thread,
                   const void* contextRecord,
                   uint64_t* addresses,
                   uint32_t capacity) {
  if (!contextRecord || !addresses || capacity < 2)
    return 0;
  uint32_t limit = capacity - 1 < kMaxFrames ? capacity - 1 : kMaxFrames;
  // The walker changes the context it is given.
  CONTEXT context;
  std::memcpy(&context, contextRecord, sizeof context);
  uint32_t count = 0;
  const DebugHelp& help = g_help;
  if (help.StackWalk64 && g_engine && g_engine->walkerReady) {
    STACKFRAME64 frame = {};
#if defined(_WIN64)
    frame.AddrPC.Offset = context.Rip;
    frame.AddrFrame.Offset = context.Rbp;
    frame.AddrStack.Offset = context.Rsp;
    PFUNCTION_TABLE_ACCESS_ROUTINE64 tables = FunctionTableOf;
#else
    frame.AddrPC.Offset = context.Eip;
    frame.AddrFrame.Offset = context.Ebp;
    frame.AddrStack.Offset = context.Esp;
    PFUNCTION_TABLE_ACCESS_ROUTINE64 tables = help.SymFunctionTableAccess64.Get();
#endif
    frame.AddrPC.Mode = frame.AddrFrame.Mode = frame.AddrStack.Mode = AddrModeFlat;
    PGET_MODULE_BASE_ROUTINE64 bases = ModuleBaseOf;
    if (g_engine->loader && help.SymFunctionTableAccess64 && help.SymGetModuleBase64) {
      tables = help.SymFunctionTableAccess64.Get();
      bases = help.SymGetModuleBase64.Get();
    }
    while (count < limit && help.StackWalk64(kMachine, g_engine->process, thread, &frame, &context,
                                             nullptr, tables, bases, nullptr)) {
      if (!frame.AddrPC.Offset)
        break;
      addresses[count++] = frame.AddrPC.Offset;
    }
  }
#if defined(_WIN64)
  if (count == 0)
    count = WalkUnwindData(*static_cast<const CONTEXT*>(contextRecord), addresses, limit);
#endif
  if (count == 0) {
    std::memcpy(&context, contextRecord, sizeof context);
    count = WalkFramePointers(context, addresses, limit);
  }
  addresses[count] = kEndOfFrames;
  for (uint32_t i = 0; g_engine && g_engine->loader && i < count; ++i)
    Resolve(addresses[i]);
  return count;
}

void DescribeFrame(uint64_t address, FrameSymbol* frame) {
  *frame = FrameSymbol();
  frame->address = address;
  const FrameRecord* record = g_engine && g_engine->loader ? Resolve(address) : nullptr;
  if (!record) {
    frame->moduleBase = ModuleBaseOf(GetCurrentProcess(), address);
    return;
  }
  frame->moduleBase = record->moduleBase;
  if (record->hasSymbol) {
    frame->function = record->symbol;
    frame->displacement = record->displacement;
  }
  if (record->hasLine) {
    frame->file = record->file;
    frame->line = record->line;
  }
}

namespace {

// The version library's calls, bound on first use.
constexpr wchar_t kVersionDll[] = L"version.dll";
struct VersionApi {
  GV_SYSTEM_FUNCTION(kVersionDll, GetFileVersionInfoSizeA);
  GV_SYSTEM_FUNCTION(kVersionDll, GetFileVersionInfoA);
  GV_SYSTEM_FUNCTION(kVersionDll, VerQueryValueA);
};
constinit VersionApi g_version;

}  // namespace

VersionResource::VersionResource(const char* path) {
  const VersionApi& api = g_version;
  if (!path || !api.GetFileVersionInfoSizeA || !api.GetFileVersionInfoA || !api.VerQueryValueA)
    return;
  DWORD ignored = 0;
  DWORD size = api.GetFileVersionInfoSizeA(path, &ignored);
  if (!size)
    return;
  void* block = Vorq::Memory::Allocate(size);
  if (!block)
    return;
  if (!api.GetFileVersionInfoA(path, 0, size, block)) {
    Vorq::Memory::Free(block);
    return;
  }
  m_block = block;
}

VersionResource::~VersionResource() {
  Vorq::Memory::Free(m_block);
}

uint32_t VersionResource::Query(const char* name, char* out, uint32_t capacity) {
  if (!m_block || !capacity)
    return 0;
  char key[128];
  std::snprintf(key, sizeof key, "\\StringFileInfo\\040904B0\\%s", name);
  char* value = nullptr;
  UINT length = 0;
  if (!g_version.VerQueryValueA(m_block, key, reinterpret_cast<void**>(&value), &length) ||
      !value || !length)
    return 0;
  int n = std::snprintf(out, capacity, "%s", value);
  if (n <= 0)
    return 0;
  return uint32_t(n) < capacity ? uint32_t(n) : capacity - 1;
}

namespace {
// The answer PrepareForCrash found: -1 not looked yet, else 0 or 1.
volatile LONG g_debugHelpRecent = -1;
bool CheckDebugHelpVersion();
}  // namespace

bool IsDebugHelpRecentEnough() {
  const LONG known = g_debugHelpRecent;
  return known >= 0 ? known != 0 : CheckDebugHelpVersion();
}

namespace {

bool CheckDebugHelpVersion() {
  HMODULE found = nullptr;
  {
    cc::win::ScopedHandle snapshot(
        CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, GetCurrentProcessId()));
    if (!snapshot)
      return false;
    MODULEENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Module32First(snapshot.Get(), &entry); more;
         more = Module32Next(snapshot.Get(), &entry)) {
      char name[MAX_MODULE_NAME32 + 1];
      cc::win::WideToAnsi(entry.szModule, name, sizeof name);
      if (lstrcmpiA(name, "dbghelp.dll") == 0) {
        found = entry.hModule;
        break;
      }
    }
  }
  if (!found)
    return false;
  char path[MAX_PATH];
  if (!GetModuleFileNameA(found, path, sizeof path))
    return false;
  VersionResource resource(path);
  char text[64];
  if (!resource.Query("FileVersion", text, sizeof text))
    return false;
  int version[4] = {};
  if (std::sscanf(text, "%i.%i.%i.%i", &version[0], &version[1], &version[2], &version[3]) < 1)
    return false;
  static constexpr int kRequired[4] = {6, 5, 3, 7};
  for (int i = 0; i < 4; ++i) {
    if (version[i] != kRequired[i])
      return version[i] > kRequired[i];
  }
  return true;
}

}  // namespace

namespace {

using EnumProcessModulesFunction = BOOL(WINAPI*)(HANDLE, HMODULE*, DWORD, LPDWORD);
using GetModuleFileNameExFunction = DWORD(WINAPI*)(HANDLE, HMODULE, LPSTR, DWORD);

// The process-status calls: kernel32's own K32 forms, else psapi.dll's.
constexpr wchar_t kKernel32[] = L"kernel32.dll";
constexpr wchar_t kProcessStatusDll[] = L"psapi.dll";
constinit cc::win::SystemFunction<EnumProcessModulesFunction> g_kernelEnumerate{
    kKernel32, "K32EnumProcessModules", cc::win::ModuleSearch::kLoadedOnly};
constinit cc::win::SystemFunction<GetModuleFileNameExFunction> g_kernelFileName{
    kKernel32, "K32GetModuleFileNameExA", cc::win::ModuleSearch::kLoadedOnly};
constinit cc::win::SystemFunction<EnumProcessModulesFunction> g_statusEnumerate{
    kProcessStatusDll, "EnumProcessModules"};
constinit cc::win::SystemFunction<GetModuleFileNameExFunction> g_statusFileName{
    kProcessStatusDll, "GetModuleFileNameExA"};

bool BindProcessStatus(EnumProcessModulesFunction* enumerate, GetModuleFileNameExFunction* name) {
  *enumerate = g_kernelEnumerate.Get();
  *name = g_kernelFileName.Get();
  if (!*enumerate || !*name) {
    *enumerate = g_statusEnumerate.Get();
    *name = g_statusFileName.Get();
  }
  return *enumerate && *name;
}

// Appends ";text" unless the path already holds that folder; `out` null only counts.
size_t AppendFolder(char* out, size_t used, const char* folder, size_t length) {
  if (out) {
    // Look for ";folder;" or ";folder" at the end among what is there.
    for (const char* at = out; (at = std::strchr(at, ';')) != nullptr; ++at) {
      if (_strnicmp(at + 1, folder, length) == 0 && (at[1 + length] == ';' || !at[1 + length]))
        return used;
    }
    out[used] = ';';
    std::memcpy(out + used + 1, folder, length);
    out[used + 1 + length] = '\0';
  }
  return used + 1 + length;
}

size_t ComposeSearchPath(char* out,
                         HMODULE* modules,
                         DWORD count,
                         GetModuleFileNameExFunction name) {
  HANDLE process = GetCurrentProcess();
  size_t used = 1;
  if (out)
    std::strcpy(out, ".");
  for (DWORD i = 0; i < count; ++i) {
    char path[MAX_PATH];
    DWORD length = name(process, modules[i], path, sizeof path);
    if (!length || length >= sizeof path)
      continue;
    path[length] = '\0';
    const char* slash = std::strrchr(path, '\\');
    if (!slash)
      continue;
    used = AppendFolder(out, used, path, size_t(slash - path));
  }
  for (const char* variable : {"_NT_SYMBOL_PATH", "_NT_ALTERNATE_SYMBOL_PATH"}) {
    char value[2048];
    DWORD length = GetEnvironmentVariableA(variable, value, sizeof value);
    if (!length || length >= sizeof value)
      continue;
    if (out) {
      out[used] = ';';
      std::memcpy(out + used + 1, value, length + 1);
    }
    used += 1 + length;
  }
  return used;
}

}  // namespace

char* BuildSymbolSearchPath() {
  EnumProcessModulesFunction enumerate = nullptr;
  GetModuleFileNameExFunction name = nullptr;
  if (!BindProcessStatus(&enumerate, &name))
    return nullptr;
  HANDLE process = GetCurrentProcess();
  DWORD needed = 0;
  if (!enumerate(process, nullptr, 0, &needed) || !needed)
    return nullptr;
  // Room for a few modules loaded between the two calls.
  DWORD bytes = needed + 16 * sizeof(HMODULE);
  auto* modules = static_cast<HMODULE*>(Vorq::Memory::Allocate(bytes));
  if (!modules)
    return nullptr;
  if (!enumerate(process, modules, bytes, &needed)) {
    Vorq::Memory::Free(modules);
    return nullptr;
  }
  DWORD count = (needed < bytes ? needed : bytes) / sizeof(HMODULE);
  size_t size = ComposeSearchPath(nullptr, modules, count, name) + 1;
  char* path = static_cast<char*>(Vorq::Memory::Allocate(size));
  if (path)
    ComposeSearchPath(path, modules, count, name);
  Vorq::Memory::Free(modules);
  return path;
}

void PrepareForCrash(bool symbols) {
  const DebugHelp& help = g_help;
  const cc::win::SystemExport* records[] = {&help.SymSetOptions,
                                            &help.SymInitialize,
                                            &help.SymCleanup,
                                            &help.StackWalk64,
                                            &help.SymFunctionTableAccess64,
                                            &help.SymGetModuleBase64,
                                            &help.SymFromAddr,
                                            &help.SymGetLineFromAddr64,
                                            &help.SymEnumerateModules64,
                                            &help.SymEnumSymbols,
                                            &g_version.GetFileVersionInfoSizeA,
                                            &g_version.GetFileVersionInfoA,
                                            &g_version.VerQueryValueA};
  for (const cc::win::SystemExport* record : records)
    record->Address();
  EnumProcessModulesFunction enumerate = nullptr;
  GetModuleFileNameExFunction name = nullptr;
  BindProcessStatus(&enumerate, &name);
  // With the debug-help library loaded now, the crash finds it.
  if (symbols) {
    InterlockedExchange(&g_debugHelpRecent, CheckDebugHelpVersion() ? 1 : 0);
    return;
  }
  // Without symbols the engine never starts, but the minidump writer needs the process known
  // to the symbol handler; left to itself it would start the handler inside the crash, reading
  // every module's symbols (seconds). Started here once, uninvaded, for the rest of the run.
  if (help.SymInitialize)
    help.SymInitialize(GetCurrentProcess(), nullptr, FALSE);
}

}  // namespace Debug
