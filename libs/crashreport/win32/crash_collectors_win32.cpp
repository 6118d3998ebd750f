// The collectors of the crash report: each fills a caller's buffer with the text of one
// element (or the attributes of one list item) from the system's view of the machine and the
// process. They run on the crashing thread while every other thread is suspended: no locks,
// no exceptions, and no memory other than the library allocator's. Libraries beyond kernel32
// (advapi32, IP helper, process status, version) are bound at run time, ahead of a crash: the
// launcher loads advapi32 only on first use.

#include <windows.h>

#include <iphlpapi.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <utility>

#include "libs/ccutility/win/system_function.h"
#include "libs/ccutility/win/wide_text.h"
#include "libs/ccutility/win/win_handles.h"
#include "libs/crashreport/crash_library.h"
#include "libs/crashreport/crash_reporter_basic.h"
#include "libs/crashreport/win32/crash_handler_thread.h"
#include "libs/crashreport/win32/debug_symbols.h"

namespace Vorq {

namespace {

static_assert(sizeof(CONTEXT) <= CrashCollectorCursors::kContextStorageSize,
              "the cursor's context storage must hold this build's CONTEXT");

// The security and registry calls, bound by the crash handler's preparation.
constexpr wchar_t kAdvapi32[] = L"advapi32.dll";
constinit cc::win::SystemFunction<decltype(&::OpenProcessToken)> g_openProcessToken{
    kAdvapi32, "OpenProcessToken"};
constinit cc::win::SystemFunction<decltype(&::GetTokenInformation)> g_getTokenInformation{
    kAdvapi32, "GetTokenInformation"};
constinit cc::win::SystemFunction<decltype(&::CreateWellKnownSid)> g_createWellKnownSid{
    kAdvapi32, "CreateWellKnownSid"};
constinit cc::win::SystemFunction<decltype(&::EqualSid)> g_equalSid{kAdvapi32, "EqualSid"};
constinit cc::win::SystemFunction<decltype(&::LookupAccountSidA)> g_lookupAccountSid{
    kAdvapi32, "LookupAccountSidA"};
constinit cc::win::SystemFunction<decltype(&::RegOpenKeyExA)> g_regOpenKey{kAdvapi32,
                                                                           "RegOpenKeyExA"};
constinit cc::win::SystemFunction<decltype(&::RegQueryValueExA)> g_regQueryValue{
    kAdvapi32, "RegQueryValueExA"};
constinit cc::win::SystemFunction<decltype(&::RegCloseKey)> g_regCloseKey{kAdvapi32, "RegCloseKey"};

// The processor's key, open for the life of one collector; closed through the bound call.
class ProcessorKey {
 public:
  ProcessorKey();
  ~ProcessorKey() {
    if (m_key && g_regCloseKey)
      g_regCloseKey(m_key);
  }
  ProcessorKey(const ProcessorKey&) = delete;
  ProcessorKey& operator=(const ProcessorKey&) = delete;
  explicit operator bool() const { return m_key != nullptr; }
  // A value into `data` (at most *size bytes); false when it cannot be read.
  bool Read(const char* name, DWORD* type, void* data, DWORD* size) {
    return m_key && g_regQueryValue &&
           g_regQueryValue(m_key, name, nullptr, type, static_cast<BYTE*>(data), size) ==
               ERROR_SUCCESS;
  }

 private:
  HKEY m_key = nullptr;
};

// Bytes of the stack dump below and above the stack pointer, and per line.
constexpr uintptr_t kStackBelow = 32;
constexpr uintptr_t kStackAbove = 128;
constexpr uintptr_t kStackLineBytes = 16;

bool FlagSet(uint32_t flag) {
  return (CrashReporterFlags & flag) != 0;
}

// printf into a fixed buffer; answers the length kept (cut at the capacity).
uint32_t Format(char* buffer, uint32_t capacity, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;

uint32_t Format(char* buffer, uint32_t capacity, const char* format, ...) {
  if (!capacity)
    return 0;
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(buffer, capacity, format, args);
  va_end(args);
  if (n < 0) {
    buffer[0] = '\0';
    return 0;
  }
  return uint32_t(n) < capacity ? uint32_t(n) : capacity - 1;
}

// Appends to a text of `length` bytes in the same buffer.
uint32_t Append(char* buffer, uint32_t capacity, uint32_t length, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 4, 5)))
#endif
    ;

uint32_t Append(char* buffer, uint32_t capacity, uint32_t length, const char* format, ...) {
  if (length + 1 >= capacity)
    return length;
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(buffer + length, capacity - length, format, args);
  va_end(args);
  if (n < 0) {
    buffer[length] = '\0';
    return length;
  }
  return length + uint32_t(n) < capacity ? length + uint32_t(n) : capacity - 1;
}

const char* YesNo(bool value) {
  // Both five characters wide.
  return value ? "\"yes\"" : "\"no\" ";
}

struct ExceptionName {
  DWORD code;
  const char* text;
};

constexpr ExceptionName kExceptionNames[] = {
    {0xC0000005, "EXCEPTION_ACCESS_VIOLATION"},
    {0x80000002, "EXCEPTION_DATATYPE_MISALIGNMENT"},
    {0x80000003, "EXCEPTION_BREAKPOINT"},
    {0x80000004, "EXCEPTION_SINGLE_STEP"},
    {0xC0000006, "EXCEPTION_IN_PAGE_ERROR"},
    {0xC000001D, "EXCEPTION_ILLEGAL_INSTRUCTION"},
    {0xC0000025, "EXCEPTION_NONCONTINUABLE_EXCEPTION"},
    {0xC0000026, "EXCEPTION_INVALID_DISPOSITION"},
    {0xC000008C, "EXCEPTION_ARRAY_BOUNDS_EXCEEDED"},
    {0xC000008D, "EXCEPTION_FLT_DENORMAL_OPERAND"},
    {0xC000008E, "EXCEPTION_FLT_DIVIDE_BY_ZERO"},
    {0xC000008F, "EXCEPTION_FLT_INEXACT_RESULT"},
    {0xC0000090, "EXCEPTION_FLT_INVALID_OPERATION"},
    {0xC0000091, "EXCEPTION_FLT_OVERFLOW"},
    {0xC0000092, "EXCEPTION_FLT_STACK_CHECK"},
    {0xC0000093, "EXCEPTION_FLT_UNDERFLOW"},
    {0xC0000094, "EXCEPTION_INT_DIVIDE_BY_ZERO"},
    {0xC0000095, "EXCEPTION_INT_OVERFLOW"},
    {0xC0000096, "EXCEPTION_PRIV_INSTRUCTION"},
    {0xC00000FD, "EXCEPTION_STACK_OVERFLOW"},
};

const char* PriorityName(int priority) {
  switch (priority) {
    case 15:
      return "THREAD_PRIORITY_TIME_CRITICAL";
    case 2:
      return "THREAD_PRIORITY_HIGHEST";
    case 1:
      return "THREAD_PRIORITY_ABOVE_NORMAL";
    case 0:
      return "THREAD_PRIORITY_NORMAL";
    case -1:
      return "THREAD_PRIORITY_BELOW_NORMAL";
    case -2:
      return "THREAD_PRIORITY_LOWEST";
    case -15:
      return "THREAD_PRIORITY_IDLE";
    default:
      return nullptr;
  }
}

const char* AdapterTypeName(UINT type) {
  switch (type) {
    case 6:
      return "ETHERNET";
    case 9:
      return "TOKENRING";
    case 15:
      return "FDDI";
    case 23:
      return "PPP";
    case 24:
      return "LOOPBACK";
    case 28:
      return "SLIP";
    default:
      return "UNKNOWN";
  }
}

// Closes a handle the cursors keep as void*, and forgets it.
void CloseIfOpen(void*& handle) {
  cc::win::ScopedHandle closing(std::exchange(handle, nullptr));
}

CONTEXT* AlignedContext(CrashCollectorCursors& cursors) {
  uintptr_t at = reinterpret_cast<uintptr_t>(cursors.contextStorage);
  return reinterpret_cast<CONTEXT*>((at + 15) & ~uintptr_t(15));
}

bool HasIntegerRegisters(const CONTEXT& context) {
  return (context.ContextFlags & CONTEXT_INTEGER) == CONTEXT_INTEGER;
}

bool HasControlRegisters(const CONTEXT& context) {
  return (context.ContextFlags & CONTEXT_CONTROL) == CONTEXT_CONTROL;
}

uintptr_t StackPointerOf(const CONTEXT& context) {
#if defined(_WIN64)
  return uintptr_t(context.Rsp);
#else
  return uintptr_t(context.Esp);
#endif
}

// The register lines of a thread element, each on its own line under the thread's tag.
uint32_t AppendRegisters(char* buffer, uint32_t capacity, uint32_t length, const CONTEXT& context) {
#if defined(_WIN64)
  using Value = unsigned long long;
  constexpr const char* kLine = "\n          %s=\"0x%016llx\"";
  const struct {
    const char* name;
    Value value;
  } integer[] = {{"RAX", context.Rax}, {"RBX", context.Rbx}, {"RCX", context.Rcx},
                 {"RDX", context.Rdx}, {"RDI", context.Rdi}, {"RSI", context.Rsi},
                 {"R8", context.R8},   {"R9", context.R9},   {"R10", context.R10},
                 {"R11", context.R11}, {"R12", context.R12}, {"R13", context.R13},
                 {"R14", context.R14}, {"R15", context.R15}},
    control[] = {{"RBP", context.Rbp},       {"RIP", context.Rip}, {"SEGCS", context.SegCs},
                 {"EFLAGS", context.EFlags}, {"RSP", context.Rsp}, {"SEGSS", context.SegSs}};
#else
  using Value = unsigned;
  constexpr const char* kLine = "\n          %s=\"0x%08x\"";
  const struct {
    const char* name;
    Value value;
  } integer[] = {{"EAX", context.Eax}, {"EBX", context.Ebx}, {"ECX", context.Ecx},
                 {"EDX", context.Edx}, {"EDI", context.Edi}, {"ESI", context.Esi}},
    control[] = {{"EBP", context.Ebp},       {"EIP", context.Eip}, {"SEGCS", context.SegCs},
                 {"EFLAGS", context.EFlags}, {"ESP", context.Esp}, {"SEGSS", context.SegSs}};
#endif
  if (HasIntegerRegisters(context)) {
    for (const auto& r : integer)
      length = Append(buffer, capacity, length, kLine, r.name, static_cast<Value>(r.value));
  }
  if (HasControlRegisters(context)) {
    for (const auto& r : control)
      length = Append(buffer, capacity, length, kLine, r.name, static_cast<Value>(r.value));
  }
  return length;
}

// One information class of a process's access token, in a block of the library allocator
// (free with Memory::Free); null when the token cannot be opened or read.
void* TokenInformation(uint32_t processId, TOKEN_INFORMATION_CLASS kind) {
  const bool self = processId == GetCurrentProcessId();
  cc::win::ScopedHandle opened(self ? nullptr
                                    : OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, processId));
  HANDLE process = self ? GetCurrentProcess() : opened.Get();
  cc::win::ScopedHandle token;
  if (!process || !g_openProcessToken || !g_getTokenInformation ||
      !g_openProcessToken(process, TOKEN_QUERY, token.Receive())) {
    token.Release();  // what a failed call leaves there is no handle
    return nullptr;
  }
  DWORD size = 0;
  g_getTokenInformation(token.Get(), kind, nullptr, 0, &size);
  if (!size)
    return nullptr;
  void* block = Memory::Allocate(size);
  if (block && !g_getTokenInformation(token.Get(), kind, block, size, &size)) {
    Memory::Free(block);
    block = nullptr;
  }
  return block;
}

// Calls beyond kernel32's oldest set, and the IP helper and process status libraries.
constexpr wchar_t kKernel32[] = L"kernel32.dll";
constexpr auto kLoadedOnly = cc::win::ModuleSearch::kLoadedOnly;
using GetProcessMemoryInfoFunction = BOOL(WINAPI*)(HANDLE, PPROCESS_MEMORY_COUNTERS, DWORD);
using EnumModulesFunction = BOOL(WINAPI*)(HANDLE, HMODULE*, DWORD, DWORD*);
using ModuleInformationFunction = BOOL(WINAPI*)(HANDLE, HMODULE, MODULEINFO*, DWORD);
// MinGW maps GetEnvironmentStrings to its wide form under UNICODE and declares no
// GetEnvironmentStringsA: bound by name instead.
using EnvironmentFunction = char*(WINAPI*)();

constinit cc::win::SystemFunction<BOOL(WINAPI*)(HANDLE, PBOOL)> g_isWow64Process{
    kKernel32, "IsWow64Process", kLoadedOnly};
constinit cc::win::SystemFunction<GetProcessMemoryInfoFunction> g_kernelMemoryInfo{
    kKernel32, "K32GetProcessMemoryInfo", kLoadedOnly};
constinit cc::win::SystemFunction<GetProcessMemoryInfoFunction> g_statusMemoryInfo{
    L"psapi.dll", "GetProcessMemoryInfo"};
constinit cc::win::SystemFunction<EnumModulesFunction> g_enumModules{
    kKernel32, "K32EnumProcessModules", kLoadedOnly};
constinit cc::win::SystemFunction<ModuleInformationFunction> g_moduleInformation{
    kKernel32, "K32GetModuleInformation", kLoadedOnly};
constinit cc::win::SystemFunction<EnvironmentFunction> g_environmentStrings{
    kKernel32, "GetEnvironmentStringsA", kLoadedOnly};
constinit cc::win::SystemFunction<DWORD(WINAPI*)(PIP_ADAPTER_INFO, PULONG)> g_getAdaptersInfo{
    L"iphlpapi.dll", "GetAdaptersInfo"};

}  // namespace

void CrashHandlerThread::BindCollectorFunctions() {
  const cc::win::SystemExport* security[] = {
      &g_openProcessToken, &g_getTokenInformation, &g_createWellKnownSid, &g_equalSid,
      &g_lookupAccountSid, &g_regOpenKey,          &g_regQueryValue,      &g_regCloseKey};
  for (const cc::win::SystemExport* record : security)
    record->Address();
  g_isWow64Process.Get();
  if (!g_kernelMemoryInfo)
    g_statusMemoryInfo.Get();
  g_enumModules.Get();
  g_moduleInformation.Get();
  g_environmentStrings.Get();
  // The IP helper library is large: loaded only for reports that list the adapters.
  if (CrashReporterFlags & CrashFlag::IncludeComputer)
    g_getAdaptersInfo.Get();
}

// ---- Machine ----

uint32_t CrashReporterBasic::GetOsInfo(char* buffer, uint32_t capacity) {
  OSVERSIONINFOEXA info = {};
  info.dwOSVersionInfoSize = sizeof info;
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
  if (!GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&info)))
    return 0;
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
  return Format(buffer, capacity,
                "Version %u.%u Build %u Platform ID %u Service Pack %u.%u Suite Mask %08x "
                "Product Type %u %s",
                unsigned(info.dwMajorVersion), unsigned(info.dwMinorVersion),
                unsigned(info.dwBuildNumber), unsigned(info.dwPlatformId),
                unsigned(info.wServicePackMajor), unsigned(info.wServicePackMinor),
                unsigned(info.wSuiteMask), unsigned(info.wProductType), info.szCSDVersion);
}

namespace {

constexpr const char kProcessorKey[] = "HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0";

ProcessorKey::ProcessorKey() {
  if (g_regOpenKey &&
      g_regOpenKey(HKEY_LOCAL_MACHINE, kProcessorKey, 0, KEY_READ, &m_key) != ERROR_SUCCESS)
    m_key = nullptr;
}

}  // namespace

uint32_t CrashReporterBasic::GetCpuInfo(char* buffer, uint32_t capacity) {
  ProcessorKey key;
  if (!capacity || !key)
    return 0;
  DWORD type = 0;
  DWORD size = capacity - 1;
  uint32_t length = 0;
  if (key.Read("ProcessorNameString", &type, buffer, &size) && type == REG_SZ) {
    buffer[size < capacity ? size : capacity - 1] = '\0';
    length = uint32_t(std::strlen(buffer));
  }
  return length;
}

uint32_t CrashReporterBasic::GetCpuDetails(char* buffer, uint32_t capacity) {
  SYSTEM_INFO system;
  GetSystemInfo(&system);
  const char* architecture = "UNKNOWN";
  switch (system.wProcessorArchitecture) {
    case 0:
      architecture = "x86";
      break;
    case 6:
      architecture = "IA64";
      break;
    case 9:
      architecture = "AMD64";
      break;
    default:
      break;
  }
  BOOL wow64 = FALSE;
  if (g_isWow64Process && !g_isWow64Process(GetCurrentProcess(), &wow64))
    wow64 = FALSE;
  uint32_t length =
      Format(buffer, capacity,
             "number=\"%u\" architecture=\"%s\" family=\"%u\" model=\"%u\" stepping=\"%u\" PAE=%s "
             "WOW64=%s",
             unsigned(system.dwNumberOfProcessors), architecture, unsigned(system.wProcessorLevel),
             unsigned(system.wProcessorRevision >> 8), unsigned(system.wProcessorRevision & 0xFF),
             YesNo(IsProcessorFeaturePresent(PF_PAE_ENABLED)), YesNo(wow64));
  ProcessorKey key;
  if (key) {
    DWORD featureSet = 0, speed = 0, size = sizeof(DWORD);
    key.Read("FeatureSet", nullptr, &featureSet, &size);
    size = sizeof(DWORD);
    key.Read("~MHz", nullptr, &speed, &size);
    length = Append(buffer, capacity, length, " feature_set=\"0x%04X\" speed=\"%u\"",
                    unsigned(featureSet), unsigned(speed));
  }
  return length;
}

uint32_t CrashReporterBasic::GetComputerNameText(char* buffer, uint32_t capacity) {
  DWORD size = capacity;
  if (!capacity || !GetComputerNameExA(ComputerNameDnsFullyQualified, buffer, &size))
    return 0;
  return size < capacity ? uint32_t(size) : capacity - 1;
}

void CrashReporterBasic::BeginAdapters() {
  Memory::Free(m_cursors.adapterList);
  m_cursors.adapterList = nullptr;
  m_cursors.adapterCurrent = nullptr;
  m_cursors.adapterIndex = 0;
  if (!g_getAdaptersInfo)
    return;
  ULONG size = 0;
  if (g_getAdaptersInfo(nullptr, &size) != ERROR_BUFFER_OVERFLOW || !size)
    return;
  void* list = Memory::Allocate(size);
  if (!list)
    return;
  if (g_getAdaptersInfo(static_cast<PIP_ADAPTER_INFO>(list), &size) != ERROR_SUCCESS) {
    Memory::Free(list);
    return;
  }
  m_cursors.adapterList = list;
  m_cursors.adapterCurrent = list;
}

bool CrashReporterBasic::NextAdapter(char* buffer, uint32_t capacity) {
  auto* adapter = static_cast<IP_ADAPTER_INFO*>(m_cursors.adapterCurrent);
  if (!adapter) {
    // The list is returned to the allocator as soon as it has been walked.
    Memory::Free(m_cursors.adapterList);
    m_cursors.adapterList = nullptr;
    return false;
  }
  m_cursors.adapterCurrent = adapter->Next;
  ++m_cursors.adapterIndex;
  Format(buffer, capacity,
         "ip=\"%s\" mask=\"%s\" gateway=\"%s\" type=\"%s\" config=\"%s\" desc=\"%s\"",
         adapter->IpAddressList.IpAddress.String, adapter->IpAddressList.IpMask.String,
         adapter->GatewayList.IpAddress.String, AdapterTypeName(adapter->Type),
         adapter->DhcpEnabled ? "DHCP" : "static", adapter->Description);
  return true;
}

uint32_t CrashReporterBasic::GetMemoryInfo(char* buffer, uint32_t capacity) {
  MEMORYSTATUSEX status = {};
  status.dwLength = sizeof status;
  if (!GlobalMemoryStatusEx(&status))
    return 0;
  SYSTEM_INFO system;
  GetSystemInfo(&system);
  auto kb = [](DWORDLONG bytes) { return unsigned(bytes >> 10); };
  return Format(buffer, capacity,
                "\n"
                "    Used=\"%3d%%\"\n"
                "    TotalPhys=\"%10u KB\"\n"
                "    AvailPhys=\"%10u KB\"\n"
                "    TotalVirtual=\"%10u KB\"\n"
                "    AvailVirtual=\"%10u KB\"\n"
                "    AvailExtendedVirtual=\"%10u KB\"\n"
                "    TotalPageFile=\"%10u KB\"\n"
                "    AvailPageFile=\"%10u KB\"\n"
                "    PageSize=\"%10u\"\n"
                "    AddressSpace=\"0x%p-0x%p\"\n",
                int(status.dwMemoryLoad), kb(status.ullTotalPhys), kb(status.ullAvailPhys),
                kb(status.ullTotalVirtual), kb(status.ullAvailVirtual),
                kb(status.ullAvailExtendedVirtual), kb(status.ullTotalPageFile),
                kb(status.ullAvailPageFile), unsigned(system.dwPageSize),
                system.lpMinimumApplicationAddress, system.lpMaximumApplicationAddress);
}

// ---- The exception ----

uint32_t CrashReporterBasic::GetExceptionType(char* buffer, uint32_t capacity) {
  if (!m_exceptionPointers || !m_exceptionPointers->ExceptionRecord)
    return 0;
  DWORD code = m_exceptionPointers->ExceptionRecord->ExceptionCode;
  for (const ExceptionName& name : kExceptionNames) {
    if (name.code == code)
      return Format(buffer, capacity, "%s", name.text);
  }
  return Format(buffer, capacity, "0x%08x", unsigned(code));
}

namespace {

const EXCEPTION_RECORD* AccessViolation(_EXCEPTION_POINTERS* pointers) {
  if (!pointers || !pointers->ExceptionRecord)
    return nullptr;
  const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
  if (record->ExceptionCode != EXCEPTION_ACCESS_VIOLATION || record->NumberParameters < 2)
    return nullptr;
  return record;
}

}  // namespace

uint32_t CrashReporterBasic::GetAccessKind(char* buffer, uint32_t capacity) {
  const EXCEPTION_RECORD* record = AccessViolation(m_exceptionPointers);
  if (!record)
    return 0;
  return Format(buffer, capacity, "access=\"%s\"",
                record->ExceptionInformation[0] == 0 ? "read" : "write");
}

uint32_t CrashReporterBasic::GetBadAddress(char* buffer, uint32_t capacity) {
  const EXCEPTION_RECORD* record = AccessViolation(m_exceptionPointers);
  if (!record)
    return 0;
  return Format(buffer, capacity, "0x%p", reinterpret_cast<void*>(record->ExceptionInformation[1]));
}

// ---- Processes ----

void CrashReporterBasic::BeginProcesses() {
  EndProcesses();
  m_cursors.processSnapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (m_cursors.processSnapshot == INVALID_HANDLE_VALUE) {
    m_cursors.processSnapshot = nullptr;
    return;
  }
  // The own process's parent, so that its element names it.
  DWORD self = GetCurrentProcessId();
  PROCESSENTRY32W entry;
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(m_cursors.processSnapshot, &entry); more;
       more = Process32NextW(m_cursors.processSnapshot, &entry)) {
    if (entry.th32ProcessID == self) {
      m_cursors.ownParentId = entry.th32ParentProcessID;
      break;
    }
  }
}

void CrashReporterBasic::EndProcesses() {
  CloseIfOpen(m_cursors.processSnapshot);
  m_cursors.processIndex = 0;
  m_cursors.processId = 0;
  m_cursors.processIsSelf = false;
}

bool CrashReporterBasic::NextProcess(char* attributes, uint32_t capacity, bool* self) {
  if (m_cursors.processIndex == 0) {
    m_cursors.processIndex = 1;
    m_cursors.processId = GetCurrentProcessId();
    m_cursors.processIsSelf = true;
    *self = true;
    Format(attributes, capacity, "id=\"0x%08x\" parent_id=\"0x%08x\"%s",
           unsigned(m_cursors.processId), unsigned(m_cursors.ownParentId), " self=\"yes\"");
    return true;
  }
  if (!FlagSet(CrashFlag::AllProcesses) || !m_cursors.processSnapshot)
    return false;
  PROCESSENTRY32W entry;
  entry.dwSize = sizeof entry;
  for (;;) {
    BOOL more = m_cursors.processIndex == 1 ? Process32FirstW(m_cursors.processSnapshot, &entry)
                                            : Process32NextW(m_cursors.processSnapshot, &entry);
    ++m_cursors.processIndex;
    if (!more)
      return false;
    if (entry.th32ProcessID != GetCurrentProcessId())
      break;
  }
  m_cursors.processId = entry.th32ProcessID;
  m_cursors.processIsSelf = false;
  *self = false;
  Format(attributes, capacity, "id=\"0x%08x\" parent_id=\"0x%08x\"%s",
         unsigned(entry.th32ProcessID), unsigned(entry.th32ParentProcessID), "");
  return true;
}

uint32_t CrashReporterBasic::GetUserPrivileges(char* attributes, uint32_t capacity) {
  auto* groups = static_cast<TOKEN_GROUPS*>(TokenInformation(
      m_cursors.processId ? m_cursors.processId : GetCurrentProcessId(), TokenGroups));
  if (!groups)
    return 0;
  alignas(8) unsigned char localSid[SECURITY_MAX_SID_SIZE];
  alignas(8) unsigned char interactiveSid[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof localSid;
  bool haveLocal =
      g_createWellKnownSid && g_createWellKnownSid(WinLocalSid, nullptr, localSid, &size);
  size = sizeof interactiveSid;
  bool haveInteractive = g_createWellKnownSid &&
                         g_createWellKnownSid(WinInteractiveSid, nullptr, interactiveSid, &size);
  bool local = false, logon = false, interactive = false;
  for (DWORD i = 0; i < groups->GroupCount; ++i) {
    const SID_AND_ATTRIBUTES& group = groups->Groups[i];
    if ((group.Attributes & SE_GROUP_LOGON_ID) == SE_GROUP_LOGON_ID)
      logon = true;
    if (haveLocal && g_equalSid && g_equalSid(group.Sid, localSid))
      local = true;
    if (haveInteractive && g_equalSid && g_equalSid(group.Sid, interactiveSid))
      interactive = true;
  }
  Memory::Free(groups);
  return Format(attributes, capacity, "local=%s logon=%s interactive=%s", YesNo(local),
                YesNo(logon), YesNo(interactive));
}

uint32_t CrashReporterBasic::GetUserNameText(char* buffer, uint32_t capacity) {
  auto* user = static_cast<TOKEN_USER*>(TokenInformation(
      m_cursors.processId ? m_cursors.processId : GetCurrentProcessId(), TokenUser));
  if (!user)
    return 0;
  char account[256];
  char domain[256];
  DWORD accountSize = sizeof account, domainSize = sizeof domain;
  SID_NAME_USE use;
  uint32_t length = 0;
  if (g_lookupAccountSid &&
      g_lookupAccountSid(nullptr, user->User.Sid, account, &accountSize, domain, &domainSize, &use))
    length = Format(buffer, capacity, "%s\\%s", domain, account);
  Memory::Free(user);
  return length;
}

void CrashReporterBasic::TrimAfterLast(char* buffer, char character) {
  if (!buffer)
    return;
  if (char* last = std::strrchr(buffer, character))
    last[1] = '\0';
}

uint32_t CrashReporterBasic::GetCommandLineText(char* buffer, uint32_t capacity) {
  if (!m_cursors.processIsSelf)
    return 0;
  const char* line = GetCommandLineA();
  return line ? Format(buffer, capacity, "%s", line) : 0;
}

uint32_t CrashReporterBasic::GetCurrentFolder(char* buffer, uint32_t capacity) {
  if (!m_cursors.processIsSelf || !capacity)
    return 0;
  DWORD length = GetCurrentDirectoryA(capacity, buffer);
  if (!length || length >= capacity) {
    buffer[0] = '\0';
    return 0;
  }
  return uint32_t(length);
}

// ---- Threads ----

void CrashReporterBasic::BeginThreads() {
  EndThreads();
  if (!m_cursors.processIsSelf)
    return;  // only the own process's threads are listed
  m_cursors.threadSnapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (m_cursors.threadSnapshot == INVALID_HANDLE_VALUE)
    m_cursors.threadSnapshot = nullptr;
}

void CrashReporterBasic::EndThreads() {
  if (m_cursors.threadHandle != GetCurrentThread())
    CloseIfOpen(m_cursors.threadHandle);
  m_cursors.threadHandle = nullptr;
  CloseIfOpen(m_cursors.threadSnapshot);
  m_cursors.threadIndex = 0;
  m_cursors.currentThreadId = 0;
  m_cursors.threadContext = nullptr;
  m_cursors.frameIndex = 0;
  m_cursors.frameTextOffset = 0;
  m_cursors.frameTextLength = 0;
  m_cursors.stackLine = 0;
}

bool CrashReporterBasic::NextThread(char* attributes, uint32_t capacity, bool* hasContext) {
  *hasContext = false;
  if (m_cursors.threadHandle != GetCurrentThread())
    CloseIfOpen(m_cursors.threadHandle);
  m_cursors.threadHandle = nullptr;
  m_cursors.threadContext = nullptr;
  if (!m_cursors.threadSnapshot)
    return false;
  THREADENTRY32 entry;
  entry.dwSize = sizeof entry;
  const DWORD self = GetCurrentProcessId();
  // The crash handler's own thread is not part of the crashed program: it is left out.
  const DWORD crashing = m_crashThreadId ? m_crashThreadId : GetCurrentThreadId();
  const DWORD handler = m_crashThreadId ? GetCurrentThreadId() : 0;
  for (;;) {
    BOOL more = m_cursors.threadIndex == 0 ? Thread32First(m_cursors.threadSnapshot, &entry)
                                           : Thread32Next(m_cursors.threadSnapshot, &entry);
    ++m_cursors.threadIndex;
    if (!more)
      return false;
    if (entry.th32OwnerProcessID == self && (entry.th32ThreadID != handler || handler == crashing))
      break;
  }
  DWORD id = entry.th32ThreadID;
  m_cursors.currentThreadId = id;
  int priority = int(entry.tpBasePri);
  const char* status = nullptr;
  bool isCrashing = false;
  if (id == crashing) {
    // The crashing thread's registers are the exception's; it waits in the filter.
    cc::win::ScopedHandle thread(
        id == GetCurrentThreadId() ? nullptr : OpenThread(THREAD_QUERY_INFORMATION, FALSE, id));
    priority = GetThreadPriority(thread ? thread.Get() : GetCurrentThread());
    status = "RUNNING";
    if (m_exceptionPointers && m_exceptionPointers->ContextRecord) {
      isCrashing = true;
      m_cursors.threadContext = m_exceptionPointers->ContextRecord;
      m_cursors.threadHandle = GetCurrentThread();
    }
  } else if (FlagSet(CrashFlag::ThreadContexts)) {
    HANDLE thread = OpenThread(
        THREAD_GET_CONTEXT | THREAD_SUSPEND_RESUME | THREAD_QUERY_INFORMATION, FALSE, id);
    if (thread) {
      priority = GetThreadPriority(thread);
      DWORD previous = SuspendThread(thread);
      if (previous != DWORD(-1)) {
        // The crash sequence has suspended it once already.
        status = previous <= 1 ? "RUNNING" : "SUSPENDED";
        CONTEXT* context = AlignedContext(m_cursors);
        std::memset(context, 0, sizeof *context);
        context->ContextFlags = CONTEXT_FULL;
        if (GetThreadContext(thread, context))
          m_cursors.threadContext = context;
        ResumeThread(thread);
      }
      m_cursors.threadHandle = thread;
    }
  }
  uint32_t length = Format(attributes, capacity, "id=\"0x%08x\"", unsigned(id));
  if (const char* name = PriorityName(priority))
    length = Append(attributes, capacity, length, " priority=\"%s\"", name);
  else
    length = Append(attributes, capacity, length, " priority=\"%i\"", priority);
  if (status)
    length = Append(attributes, capacity, length, " status=\"%s\"", status);
  if (isCrashing)
    length = Append(attributes, capacity, length, " crash=\"yes\"");
  if (const auto* context = static_cast<const CONTEXT*>(m_cursors.threadContext)) {
    AppendRegisters(attributes, capacity, length, *context);
    // Call stack and stack dump need the stack and instruction pointers.
    *hasContext = HasControlRegisters(*context);
    if (!*hasContext)
      m_cursors.threadContext = nullptr;
  }
  m_cursors.frameTextOffset = m_cursors.frameTextLength = 0;
  m_cursors.stackLine = 0;
  return true;
}

bool CrashReporterBasic::NextGroupThread(char* attributes, uint32_t capacity, bool* hasContext) {
  *hasContext = false;
  return false;
}

void CrashReporterBasic::BeginFrames() {
  m_cursors.frameIndex = 0;
  m_cursors.frameTextOffset = 0;
  m_cursors.frameTextLength = 0;
  if (!m_cursors.threadContext)
    return;
  uint64_t addresses[Debug::kMaxFrames + 1];
  uint32_t count =
      Debug::WalkStack(m_cursors.threadHandle ? m_cursors.threadHandle : GetCurrentThread(),
                       m_cursors.threadContext, addresses, Debug::kMaxFrames + 1);
  const char* frameTemplate = FlagSet(CrashFlag::NoSymbols) || !Debug::SymbolsLoaded()
                                  ? Debug::kAddressFrameTemplate
                                  : Debug::kSymbolFrameTemplate;
  // Every frame of the thread is expanded now, one per line; NextFrame hands out the lines.
  uint32_t used = 0;
  for (uint32_t i = 0; i < count; ++i) {
    Debug::FrameSymbol frame;
    Debug::DescribeFrame(addresses[i], &frame);
    char line[Debug::kMaxFrameText + 1];
    uint32_t length = Debug::ExpandFrameTemplate(frameTemplate, frame, line, sizeof line);
    if (used + length >= kTextBufferSize)
      break;
    std::memcpy(m_textBuffer + used, line, length);
    used += length;
  }
  m_textBuffer[used] = '\0';
  m_cursors.frameTextLength = used;
}

bool CrashReporterBasic::HasMoreFrames() {
  return m_cursors.frameTextOffset < m_cursors.frameTextLength;
}

uint32_t CrashReporterBasic::NextFrame(char* buffer, uint32_t capacity) {
  if (!HasMoreFrames() || !capacity)
    return 0;
  const char* line = m_textBuffer + m_cursors.frameTextOffset;
  uint32_t rest = m_cursors.frameTextLength - m_cursors.frameTextOffset;
  const void* end = std::memchr(line, '\n', rest);
  uint32_t length = end ? uint32_t(static_cast<const char*>(end) - line) : rest;
  m_cursors.frameTextOffset += length + (end ? 1 : 0);
  ++m_cursors.frameIndex;
  uint32_t kept = length < capacity ? length : capacity - 1;
  std::memcpy(buffer, line, kept);
  buffer[kept] = '\0';
  return kept;
}

bool CrashReporterBasic::NextStackLine(char* buffer, uint32_t capacity, uint32_t* length) {
  *length = 0;
  const auto* context = static_cast<const CONTEXT*>(m_cursors.threadContext);
  if (!context || capacity < 128)
    return false;
  uintptr_t sp = StackPointerOf(*context);
  uintptr_t start = sp - kStackBelow;
  uintptr_t line = start + m_cursors.stackLine * kStackLineBytes;
  if (line >= sp + kStackAbove)
    return false;
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(line);
  if (IsBadReadPtr(bytes, 1))
    return false;  // the dump ends at the first unreadable line
  ++m_cursors.stackLine;
  bool holdsStackPointer = sp >= line && sp < line + kStackLineBytes;
  uint32_t n = Format(buffer, capacity, "              %c%p ", holdsStackPointer ? '*' : ' ',
                      reinterpret_cast<const void*>(line));
  bool readable[kStackLineBytes];
  for (uintptr_t i = 0; i < kStackLineBytes; ++i) {
    readable[i] = !IsBadReadPtr(bytes + i, 1);
    if (i == 8)
      n = Append(buffer, capacity, n, " -");
    if (readable[i])
      n = Append(buffer, capacity, n, " %02x", unsigned(bytes[i]));
    else
      n = Append(buffer, capacity, n, " ??");
  }
  n = Append(buffer, capacity, n, "  ");
  for (uintptr_t i = 0; i < kStackLineBytes && n + 2 < capacity; ++i) {
    char c = '?';
    if (readable[i]) {
      unsigned char byte = bytes[i];
      c = byte >= 32 && byte <= 126 ? char(byte) : '.';
      // "]]>" would end the CDATA section the dump stands in.
      if (c == '>' && n >= 2 && buffer[n - 1] == ']' && buffer[n - 2] == ']')
        c = '.';
    }
    buffer[n++] = c;
  }
  buffer[n++] = '\n';
  buffer[n] = '\0';
  *length = n;
  return true;
}

// ---- Environment ----

void CrashReporterBasic::BeginEnvironment() {
  EndEnvironment();
  if (!m_cursors.processIsSelf)
    return;
  if (g_environmentStrings)
    m_cursors.environment = g_environmentStrings();
  m_cursors.environmentCursor = m_cursors.environment;
}

void CrashReporterBasic::EndEnvironment() {
  if (m_cursors.environment)
    FreeEnvironmentStringsA(const_cast<char*>(m_cursors.environment));
  m_cursors.environment = nullptr;
  m_cursors.environmentCursor = nullptr;
  m_cursors.variableValue = nullptr;
}

bool CrashReporterBasic::NextVariableName(char* buffer, uint32_t capacity) {
  const char* entry = m_cursors.environmentCursor;
  m_cursors.variableValue = nullptr;
  if (!entry || !*entry || !capacity)
    return false;
  // "=C:=C:\folder" names a drive's folder: the separating "=" is searched after the first
  // character. An entry without one ends the list.
  const char* separator = std::strchr(entry + 1, '=');
  if (!separator)
    return false;
  uint32_t length = uint32_t(separator - entry);
  uint32_t kept = length < capacity ? length : capacity - 1;
  std::memcpy(buffer, entry, kept);
  buffer[kept] = '\0';
  m_cursors.variableValue = separator + 1;
  m_cursors.environmentCursor = entry + std::strlen(entry) + 1;
  return true;
}

uint32_t CrashReporterBasic::GetVariableValue(char* buffer, uint32_t capacity) {
  if (!m_cursors.variableValue)
    return 0;
  return Format(buffer, capacity, "%s", m_cursors.variableValue);
}

// ---- Process memory ----

uint32_t CrashReporterBasic::GetProcessMemory(char* buffer, uint32_t capacity) {
  GetProcessMemoryInfoFunction getInfo = g_kernelMemoryInfo.Get();
  if (!getInfo)
    getInfo = g_statusMemoryInfo.Get();
  if (!getInfo)
    return 0;
  bool self = m_cursors.processIsSelf || !m_cursors.processId;
  cc::win::ScopedHandle opened(
      self ? nullptr
           : OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, m_cursors.processId));
  HANDLE process = self ? GetCurrentProcess() : opened.Get();
  if (!process)
    return 0;
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof counters;
  if (!getInfo(process, &counters, sizeof counters))
    return 0;
  auto kb = [](SIZE_T bytes) { return unsigned(bytes >> 10); };
  return Format(buffer, capacity,
                "\n"
                "        PageFaultCount=\"%10u\"\n"
                "        PeakWorkingSetSize=\"%10u KB\"\n"
                "        WorkingSetSize=\"%10u KB\"\n"
                "        QuotaPeakPagedPoolUsage=\"%10u KB\"\n"
                "        QuotaPagedPoolUsage=\"%10u KB\"\n"
                "        QuotaPeakNonPagedPoolUsage=\"%10u KB\"\n"
                "        QuotaNonPagedPoolUsage=\"%10u KB\"\n"
                "        PagefileUsage=\"%10u KB\"\n"
                "        PeakPagefileUsage=\"%10u KB\"",
                unsigned(counters.PageFaultCount), kb(counters.PeakWorkingSetSize),
                kb(counters.WorkingSetSize), kb(counters.QuotaPeakPagedPoolUsage),
                kb(counters.QuotaPagedPoolUsage), kb(counters.QuotaPeakNonPagedPoolUsage),
                kb(counters.QuotaNonPagedPoolUsage), kb(counters.PagefileUsage),
                kb(counters.PeakPagefileUsage));
}

bool CrashReporterBasic::ProcessMemoryDone() {
  return true;
}

// ---- Modules ----

void CrashReporterBasic::BeginModules() {
  EndModules();
  DWORD process = m_cursors.processId ? m_cursors.processId : GetCurrentProcessId();
  HANDLE snapshot = INVALID_HANDLE_VALUE;
  // A snapshot can fail while the process loads a module; it is worth a second try.
  for (int attempt = 0; attempt < 2 && snapshot == INVALID_HANDLE_VALUE; ++attempt)
    snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, process);
  m_cursors.moduleSnapshot = snapshot == INVALID_HANDLE_VALUE ? nullptr : snapshot;
  if (m_cursors.moduleSnapshot || process != GetCurrentProcessId())
    return;
  DWORD needed = 0;
  if (g_enumModules &&
      g_enumModules(GetCurrentProcess(), reinterpret_cast<HMODULE*>(m_cursors.moduleList),
                    sizeof m_cursors.moduleList, &needed)) {
    m_cursors.moduleListCount =
        std::min<uint32_t>(needed / sizeof(HMODULE), CrashCollectorCursors::kMaxListedModules);
  }
}

void CrashReporterBasic::EndModules() {
  CloseIfOpen(m_cursors.moduleSnapshot);
  m_cursors.moduleListCount = 0;
  m_cursors.moduleIndex = 0;
  m_cursors.moduleBase = 0;
  m_cursors.moduleSize = 0;
}

bool CrashReporterBasic::NextModule(char* buffer, uint32_t capacity) {
  if (!capacity)
    return false;
  uint32_t length;
  if (m_cursors.moduleSnapshot) {
    MODULEENTRY32W entry;
    entry.dwSize = sizeof entry;
    BOOL more = m_cursors.moduleIndex == 0 ? Module32FirstW(m_cursors.moduleSnapshot, &entry)
                                           : Module32NextW(m_cursors.moduleSnapshot, &entry);
    ++m_cursors.moduleIndex;
    if (!more)
      return false;
    m_cursors.moduleBase = reinterpret_cast<uintptr_t>(entry.modBaseAddr);
    m_cursors.moduleSize = entry.modBaseSize;
    // The path is kept for GetModuleVersion, which reads the module's version resource.
    length = cc::win::WideToAnsi(entry.szExePath, m_textBuffer, MAX_PATH * 2);
  } else {
    if (m_cursors.moduleIndex >= m_cursors.moduleListCount)
      return false;
    HMODULE module = static_cast<HMODULE>(m_cursors.moduleList[m_cursors.moduleIndex++]);
    MODULEINFO info = {};
    if (!g_moduleInformation ||
        !g_moduleInformation(GetCurrentProcess(), module, &info, sizeof info))
      info.lpBaseOfDll = module;
    m_cursors.moduleBase = reinterpret_cast<uintptr_t>(info.lpBaseOfDll);
    m_cursors.moduleSize = info.SizeOfImage;
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(module, path, MAX_PATH);
    path[n < MAX_PATH ? n : MAX_PATH - 1] = L'\0';
    length = cc::win::WideToAnsi(path, m_textBuffer, MAX_PATH * 2);
  }
  uint32_t kept = length < capacity ? length : capacity - 1;
  std::memcpy(buffer, m_textBuffer, kept);
  buffer[kept] = '\0';
  return true;
}

uint32_t CrashReporterBasic::GetModuleVersion(char* attributes, uint32_t capacity) {
  if (!m_cursors.moduleBase)
    return 0;
  uintptr_t first = uintptr_t(m_cursors.moduleBase);
  uintptr_t last = first + uintptr_t(m_cursors.moduleSize) - (m_cursors.moduleSize ? 1 : 0);
  uint32_t length = Format(attributes, capacity, "base=\"0x%p-0x%p\"",
                           reinterpret_cast<void*>(first), reinterpret_cast<void*>(last));
  Debug::VersionResource resource(m_textBuffer);
  if (!resource.IsValid())
    return length;
  for (const char* name : {"FileVersion", "FileDescription", "CompanyName", "OriginalFilename"}) {
    char value[256];
    if (resource.Query(name, value, sizeof value))
      length = Append(attributes, capacity, length, "\n                %s=\"%s\"", name, value);
  }
  return length;
}

void CrashReporterBasic::RewindCollectors() {
  EndThreads();
  EndModules();
  EndEnvironment();
  EndProcesses();
  Memory::Free(m_cursors.adapterList);
  m_cursors.adapterList = nullptr;
  m_cursors.adapterCurrent = nullptr;
  m_cursors.adapterIndex = 0;
}

}  // namespace Vorq
