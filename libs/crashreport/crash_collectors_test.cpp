// The Windows collectors seen through the report they render in-process, with exception
// pointers built from a captured context; and the frame template language. The stream's own
// rules (layout, escaping, cuts, Measure and Rewind) are tested on the host.
#include "libs/crashreport/crash_reporter_stream.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "libs/crashreport/crash_reporter_basic.h"
#include "libs/crashreport/scripted_crash_reporter.h"
#include "libs/crashreport/win32/debug_symbols.h"

namespace {

using Vorq::CrashReporterStream;
using Vorq::ReportProblem;
namespace CrashFlag = Vorq::CrashFlag;

// What differs between the two builds: register names and the width of an address.
#if defined(_WIN64)
constexpr int kAddressDigits = 16;
constexpr const char* kPcName = "RIP";
uint64_t ProgramCounter(const CONTEXT& context) {
  return context.Rip;
}
#else
constexpr int kAddressDigits = 8;
constexpr const char* kPcName = "EIP";
uint64_t ProgramCounter(const CONTEXT& context) {
  return context.Eip;
}
#endif

// A register value or bare frame address as the report prints it (lower case).
std::string Value(uint64_t value) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%0*llx", kAddressDigits, (unsigned long long)value);
  return text;
}

const std::string kHexAddress = "[0-9a-f]{" + std::to_string(kAddressDigits) + "}";

// A reporter whose crash is set by the test instead of by the filter.
class TestReporter : public Vorq::CrashReporterBasic {
 public:
  void SetCrash(EXCEPTION_POINTERS* pointers) { m_exceptionPointers = pointers; }
};

// The text of the first element `name` whose opening tag contains `marker`, or "".
std::string ElementOf(const std::string& xml,
                      const std::string& name,
                      const std::string& marker = "") {
  for (size_t at = 0; (at = xml.find("<" + name, at)) != std::string::npos; ++at) {
    const size_t tagEnd = xml.find('>', at), end = xml.find("</" + name + ">", at);
    const char next = xml[at + 1 + name.size()];
    if ((next == ' ' || next == '>') && end != std::string::npos &&
        xml.substr(at, tagEnd - at).find(marker) != std::string::npos)
      return xml.substr(at, end - at + name.size() + 3);
  }
  return "";
}

class CrashCollectors : public ::testing::Test {
 protected:
  void SetUp() override {
    m_savedFlags = Vorq::CrashReporterFlags;
    Vorq::CrashReporterFlags = CrashFlag::NoSymbols | CrashFlag::NoTerminate;
    RtlCaptureContext(&m_context);
    SetException(EXCEPTION_ACCESS_VIOLATION, {1, 0xDEAD0000});
    m_pointers.ExceptionRecord = &m_record;
    m_pointers.ContextRecord = &m_context;
    m_reporter.SetCrash(&m_pointers);
  }
  void TearDown() override {
    m_reporter.SetCrash(nullptr);
    Vorq::CrashReporterFlags = m_savedFlags;
  }
  void SetException(DWORD code, std::vector<ULONG_PTR> parameters) {
    m_record = {};
    m_record.ExceptionCode = code;
    m_record.NumberParameters = DWORD(parameters.size());
    for (size_t i = 0; i < parameters.size(); ++i)
      m_record.ExceptionInformation[i] = parameters[i];
  }
  std::string Render() {
    CrashReporterStream stream(m_reporter);
    return ReadReport(stream);
  }

  uint32_t m_savedFlags = 0;
  CONTEXT m_context;
  EXCEPTION_RECORD m_record;
  EXCEPTION_POINTERS m_pointers;
  TestReporter m_reporter;
};

// (The launcher's settings and their outline are checked end to end.)
TEST_F(CrashCollectors, RenderAWellFormedDocumentWithEveryPart) {
  std::string xml = Render();
  ASSERT_EQ(ReportProblem(xml), "");
  // Modules: their address range, and a version resource (kernel32 has one).
  std::string hex = "[0-9A-Fa-f]{" + std::to_string(kAddressDigits) + "}";
  EXPECT_TRUE(std::regex_search(xml, std::regex("<module base=\"0x" + hex + "-0x" + hex + "\"")));
  EXPECT_TRUE(std::regex_search(xml, std::regex("\n {16}FileVersion=\"[^\"]+\"")));

  // Every part: the computer's, the user's, the environment, and the other processes, listed
  // after the own one without the parts only the own one has.
  Vorq::CrashReporterFlags |= CrashFlag::IncludeComputer | CrashFlag::IncludeUser |
                              CrashFlag::IncludeEnvironment | CrashFlag::AllProcesses;
  xml = Render();
  ASSERT_EQ(ReportProblem(xml), "");
  for (const char* part : {"<computer>", "<host_ip>", "<user local=", "<curdir>", "<variable "})
    EXPECT_NE(xml.find(part), std::string::npos) << part;
  std::vector<std::string> processes;
  for (size_t at = 0; (at = xml.find("<process id=", at)) != std::string::npos; ++at)
    processes.push_back(xml.substr(at, xml.find("</process>", at) - at));
  ASSERT_GE(processes.size(), 2u);
  EXPECT_NE(processes[0].find("self=\"yes\""), std::string::npos);
  for (size_t i = 1; i < processes.size(); ++i) {
    EXPECT_EQ(processes[i].find("self="), std::string::npos);
    EXPECT_NE(processes[i].find("<cmdline />"), std::string::npos);
    EXPECT_EQ(processes[i].find("<thread "), std::string::npos);
  }
}

// (The usual codes are named end to end.) An access violation's code 8, the execution of data,
// is a write; a code without a name is its number, with no bad address whatever its parameters.
// Elements are matched at the line's start: the stack dump shows the test's own `bad`.
TEST_F(CrashCollectors, NamesTheExceptionAndOnlyAnAccessViolationHasABadAddress) {
  SetException(EXCEPTION_ACCESS_VIOLATION, {8, 0xab0});
  char bad[64];
  std::snprintf(bad, sizeof bad, "\n  <bad_address access=\"write\">0x%p<",
                reinterpret_cast<void*>(0xab0));
  EXPECT_NE(Render().find(bad), std::string::npos);
  SetException(0xE06D7363, {1, 2, 3});
  std::string xml = Render();
  EXPECT_NE(xml.find("<type>0xe06d7363</type>"), std::string::npos);
  EXPECT_EQ(xml.find("\n  <bad_address"), std::string::npos);
}

TEST_F(CrashCollectors, CrashingThreadCarriesFramesAndStackDumpOthersOnlyOnRequest) {
  // A second thread of the process, waiting.
  HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD otherId = 0;
  std::thread other([&] {
    otherId = GetCurrentThreadId();
    WaitForSingleObject(release, INFINITE);
  });
  while (!otherId)
    Sleep(1);
  // As in the crash sequence: the engine is held while the report renders.
  Debug::AcquireSymbolEngine(nullptr);
  std::string xml = Render();
  Debug::ReleaseSymbolEngine();
  Vorq::CrashReporterFlags |= CrashFlag::ThreadContexts;
  std::string withContexts = Render();
  SetEvent(release);
  other.join();
  CloseHandle(release);
  ASSERT_EQ(ReportProblem(xml), "");
  EXPECT_EQ(ReportProblem(withContexts), "");

  char id[32];
  std::snprintf(id, sizeof id, "id=\"0x%08x\"", unsigned(GetCurrentThreadId()));
  std::string crashing = ElementOf(xml, "thread", id);
  ASSERT_FALSE(crashing.empty()) << xml;
  EXPECT_NE(crashing.find(" status=\"RUNNING\" crash=\"yes\""), std::string::npos);
  EXPECT_NE(crashing.find(std::string("\n          ") + kPcName + "=\"" +
                          Value(ProgramCounter(m_context)) + "\""),
            std::string::npos);

  // NoSymbols: every frame is a bare address; the first is where the context stands.
  std::regex frame("<frame>(0x" + kHexAddress + ")</frame>");
  std::vector<std::string> frames;
  for (auto it = std::sregex_iterator(crashing.begin(), crashing.end(), frame);
       it != std::sregex_iterator(); ++it)
    frames.push_back((*it)[1]);
  ASSERT_GE(frames.size(), 2u) << crashing;
  EXPECT_LE(frames.size(), Debug::kMaxFrames);
  EXPECT_EQ(frames[0], Value(ProgramCounter(m_context)));

  // Stack dump: 32 bytes below to 128 above the stack pointer, 16 per line.
  std::regex line(
      " {14}[* ][0-9A-Fa-f]{" + std::to_string(kAddressDigits) +
      "} (?: (?:[0-9a-f]{2}|\\?\\?)){8} -(?: (?:[0-9a-f]{2}|\\?\\?)){8}  [\\x20-\\x7e]{16}\n");
  EXPECT_EQ(std::distance(std::sregex_iterator(crashing.begin(), crashing.end(), line),
                          std::sregex_iterator()),
            10)
      << crashing;

  // The other thread: listed with its call stack, its registers and frames only when asked
  // for. Not suspended by a crash sequence here, so its previous count is 0: running.
  std::snprintf(id, sizeof id, "id=\"0x%08x\"", unsigned(otherId));
  std::string waiting = ElementOf(xml, "thread", id);
  ASSERT_FALSE(waiting.empty());
  EXPECT_EQ(waiting.find(std::string(kPcName) + "="), std::string::npos);
  EXPECT_EQ(waiting.find("<frame>"), std::string::npos);
  EXPECT_NE(waiting.find("<callstack>\n"), std::string::npos);
  waiting = ElementOf(withContexts, "thread", id);
  EXPECT_NE(waiting.find("status=\"RUNNING\""), std::string::npos) << waiting;
  EXPECT_NE(waiting.find(std::string(kPcName) + "=\"0x"), std::string::npos);
  EXPECT_NE(waiting.find("<frame>0x"), std::string::npos);
}

// The search path: the current folder, each module's folder once, then the user's own path.
TEST_F(CrashCollectors, FramesNameFunctionsWhenSymbolsAreLoaded) {
  Vorq::CrashReporterFlags &= ~CrashFlag::NoSymbols;
  SetEnvironmentVariableA("_NT_SYMBOL_PATH", "C:\\symbols");
  char* path = Debug::BuildSymbolSearchPath();
  SetEnvironmentVariableA("_NT_SYMBOL_PATH", nullptr);
  ASSERT_NE(path, nullptr);
  const std::string text = path;
  char exe[MAX_PATH];
  GetModuleFileNameA(nullptr, exe, sizeof exe);
  const std::string folder(exe, std::strrchr(exe, '\\'));
  EXPECT_EQ(text.rfind(".;", 0), 0u) << text;
  const size_t first = text.find(";" + folder + ";");
  EXPECT_NE(first, std::string::npos) << text;
  EXPECT_EQ(text.find(";" + folder + ";", first + 1), std::string::npos) << text;
  EXPECT_EQ(text.substr(text.size() - 11), ";C:\\symbols");
  Debug::AcquireSymbolEngine(path);
  ASSERT_TRUE(Debug::SymbolsLoaded());
  std::string xml = Render();
  Debug::ReleaseSymbolEngine();
  Vorq::Memory::Free(path);
  std::string callstack = ElementOf(ElementOf(xml, "thread", "crash=\"yes\""), "callstack");
  // "[#a] #F: #M": every frame has the shape; the system's own modules carry names.
  std::regex frame("<frame>\\[0x" + kHexAddress + "\\] ( [^<(]+\\([0-9]+\\))?: ([^<]+)</frame>");
  size_t frames = 0, named = 0;
  for (auto it = std::sregex_iterator(callstack.begin(), callstack.end(), frame);
       it != std::sregex_iterator(); ++it) {
    ++frames;
    if ((*it)[2].str().find("+0x") != std::string::npos)
      ++named;
  }
  EXPECT_EQ(frames, size_t(std::count(callstack.begin(), callstack.end(), '\n')) - 1) << callstack;
  EXPECT_GE(frames, 2u);
  EXPECT_GE(named, 1u) << callstack;
}

TEST_F(CrashCollectors, StackDumpMarksUnreadableBytesAndEndsAtAnUnreadableLine) {
  // A readable page followed by an inaccessible one; the stack pointer 40 bytes before the
  // boundary, so the fifth line straddles it and the sixth cannot be read at all.
  SYSTEM_INFO system;
  GetSystemInfo(&system);
  const size_t page = system.dwPageSize;
  auto* block = static_cast<unsigned char*>(
      VirtualAlloc(nullptr, 2 * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  ASSERT_NE(block, nullptr);
  DWORD old = 0;
  ASSERT_TRUE(VirtualProtect(block + page, page, PAGE_NOACCESS, &old));
  // "]]>" in the bytes must not end the CDATA section the dump stands in.
  for (size_t i = 0; i < page; ++i)
    block[i] = "]]>"[(i + 3 * page - (page - 8)) % 3];  // "]]>" again from 8 before the end
  uintptr_t sp = reinterpret_cast<uintptr_t>(block + page - 40);
#if defined(_WIN64)
  m_context.Rsp = sp;
#else
  m_context.Esp = sp;
#endif
  std::string xml = Render();
  VirtualFree(block, 0, MEM_RELEASE);
  std::string crashing = ElementOf(xml, "thread", "crash=\"yes\"");
  size_t start = crashing.find("<![CDATA[\n") + 10;
  size_t end = crashing.find("]]>\n", start);
  ASSERT_NE(end, std::string::npos);
  std::string dump = crashing.substr(start, end - start);
  std::vector<std::string> lines;
  for (size_t at = 0, next; (next = dump.find('\n', at)) != std::string::npos; at = next + 1)
    lines.push_back(dump.substr(at, next - at));
  ASSERT_EQ(lines.size(), 5u) << dump;
  EXPECT_EQ(lines[2].substr(0, 15), std::string(14, ' ') + "*");  // the stack pointer's line
  EXPECT_EQ(std::stoull(lines[2].substr(15, kAddressDigits), nullptr, 16), sp);
  const std::string straddling =
      " 5d 5d 3e 5d 5d 3e 5d 5d - ?? ?? ?? ?? ?? ?? ?? ??  ]].]].]]????????";
  ASSERT_GT(lines[4].size(), straddling.size());
  EXPECT_EQ(lines[4].substr(lines[4].size() - straddling.size()), straddling);
  for (size_t i = 0; i < lines.size(); ++i)
    EXPECT_EQ(lines[i].substr(lines[i].size() - 16).find("]]>"), std::string::npos) << lines[i];
}

TEST(DebugFrameTemplate, ExpandsEveryCodeAndCutsAt255) {
  const std::string longName(300, 'x');
  const Debug::FrameSymbol full{
      0x40001234, "Launch", 0x1f, 0x40000000, "C:\\src\\launcher/main.cpp", 42};
  const Debug::FrameSymbol none, bare{0x40001234}, inModule{0x40001234, nullptr, 0, 0x40000000};
  const Debug::FrameSymbol longSymbol{0x40001234, longName.c_str(), 0x1f, 0x40000000};
  const std::string a = Value(0x40001234);
  struct Case {
    const char* frameTemplate;
    const Debug::FrameSymbol* frame;
    std::string expected;
  } cases[] = {
      {"#a", &full, a},
      {"#'%x'a", &full, "40001234"},
      {"#M", &full, "Launch+0x0000001f"},
      {"#'%s@%u'M", &full, "Launch@31"},
      {"#m", &full, "Launch"},
      {"#j", &full, "0x1f"},
      {"#F", &full, " main.cpp(42)"},
      {"#P", &full, " C:\\src\\launcher/main.cpp(42)"},
      {"#f|#p|#l", &full, "main.cpp|C:\\src\\launcher/main.cpp|42"},
      {"[#a] #F: #M\n", &full, "[" + a + "]  main.cpp(42): Launch+0x0000001f\n"},
      {"#M", &bare, a},
      {"#M", &inModule, a + " 0x00001234"},
      {"#m", &inModule, a + " 0x00001234"},
      {"#j", &bare, "0x0"},
      {"#F#P", &bare, ""},
      {"#f #p #l", &bare, "??? ??? ???"},
      {"100% #x #", &bare, "100% #x #"},
      {"#'%x", &bare, "#'%x"},
      {"#a", &none, "???"},
      {Debug::kDefaultFrameTemplate, &full, "\n    Launch+0x0000001f main.cpp(42)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.frameTemplate);
    char out[Debug::kMaxFrameText + 1];
    uint32_t length = Debug::ExpandFrameTemplate(c.frameTemplate, *c.frame, out, sizeof out);
    EXPECT_EQ(std::string(out), c.expected);
    EXPECT_EQ(length, c.expected.size());
  }
  char out[300];  // the frame text never exceeds 255 characters, nor the caller's buffer.
  EXPECT_EQ(Debug::ExpandFrameTemplate("[#a] #m", longSymbol, out, sizeof out), 255u);
  EXPECT_EQ(std::string(out), ("[" + a + "] " + longName).substr(0, 255));
  EXPECT_EQ(Debug::ExpandFrameTemplate("#m", longSymbol, out, 10), 9u);
  EXPECT_EQ(std::string(out), longName.substr(0, 9));
}

}  // namespace
