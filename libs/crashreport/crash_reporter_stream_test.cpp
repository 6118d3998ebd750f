// The crash report document rendered in-process from the reporter's real collectors, with
// exception pointers built from a captured context; and the frame template language.
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
#include "libs/crashreport/win32/debug_symbols.h"

namespace {

using Vorq::CrashReporterStream;
namespace CrashFlag = Vorq::CrashFlag;

// What differs between the two builds: register names and the width of an address.
#if defined(_WIN64)
constexpr int kAddressDigits = 16;
constexpr const char* kPcName = "RIP";
uint64_t ProgramCounter(const CONTEXT& context) {
  return context.Rip;
}
uint64_t StackPointer(const CONTEXT& context) {
  return context.Rsp;
}
constexpr const char* kRegisterNames[] = {"RAX", "R15", "RBP", "SEGCS", "EFLAGS", "RSP", "SEGSS"};
#else
constexpr int kAddressDigits = 8;
constexpr const char* kPcName = "EIP";
uint64_t ProgramCounter(const CONTEXT& context) {
  return context.Eip;
}
uint64_t StackPointer(const CONTEXT& context) {
  return context.Esp;
}
constexpr const char* kRegisterNames[] = {"EAX", "ESI", "EBP", "SEGCS", "EFLAGS", "ESP", "SEGSS"};
#endif

// A register value or bare frame address as the report prints it (lower case).
std::string Value(uint64_t value) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%0*llx", kAddressDigits, (unsigned long long)value);
  return text;
}

// An address as the report prints it with "0x%p".
std::string Pointer(uint64_t value) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%p", reinterpret_cast<void*>(uintptr_t(value)));
  return text;
}

std::string Digits(int count) {
  return "{" + std::to_string(count) + "}";
}

// A reporter whose crash is set by the test instead of by the filter.
class TestReporter : public Vorq::CrashReporterBasic {
 public:
  void SetCrash(EXCEPTION_POINTERS* pointers) { m_exceptionPointers = pointers; }
  void SetReproSteps(const std::string& text) {
    std::snprintf(ReproSteps(), kReproStepsSize, "%s", text.c_str());
  }
};

std::string ReadAll(CrashReporterStream& stream, size_t* pieces = nullptr) {
  std::string text;
  uint32_t length = 0;
  size_t count = 0;
  while (const char* piece = stream.Read(length)) {
    EXPECT_GT(length, 0u);
    EXPECT_LE(length, CrashReporterStream::kWorkBufferSize);
    text.append(piece, length);
    ++count;
  }
  if (pieces)
    *pieces = count;
  return text;
}

struct Tag {
  std::string name;
  bool closing;
  bool empty;
};

// The tags of the document in order, CDATA and the declaration skipped. Attribute values are
// written unescaped, so a ">" inside one would end the tag early: the reports rendered here
// have none.
std::vector<Tag> Tags(const std::string& xml) {
  std::vector<Tag> tags;
  size_t at = 0;
  while ((at = xml.find('<', at)) != std::string::npos) {
    if (xml.compare(at, 9, "<![CDATA[") == 0) {
      at = xml.find("]]>", at);
      continue;
    }
    size_t end = xml.find('>', at);
    if (end == std::string::npos)
      break;
    std::string inner = xml.substr(at + 1, end - at - 1);
    at = end + 1;
    if (inner.empty() || inner[0] == '?')
      continue;
    Tag tag{"", inner[0] == '/', inner.back() == '/'};
    size_t start = tag.closing ? 1 : 0;
    size_t stop = inner.find_first_of(" \n/", start);
    tag.name = inner.substr(start, stop == std::string::npos ? std::string::npos : stop - start);
    tags.push_back(tag);
  }
  return tags;
}

// Every opening tag is closed in order; answers what went wrong, or "".
std::string Balance(const std::string& xml) {
  std::vector<std::string> open;
  for (const Tag& tag : Tags(xml)) {
    if (tag.empty)
      continue;
    if (!tag.closing) {
      open.push_back(tag.name);
    } else if (open.empty() || open.back() != tag.name) {
      return "unexpected </" + tag.name + ">";
    } else {
      open.pop_back();
    }
  }
  return open.empty() ? "" : "unclosed <" + open.back() + ">";
}

std::vector<std::string> OpeningNames(const std::string& xml) {
  std::vector<std::string> names;
  for (const Tag& tag : Tags(xml)) {
    if (!tag.closing)
      names.push_back(tag.name);
  }
  return names;
}

// The text of the first element `name` whose opening tag contains `marker`.
std::string ElementOf(const std::string& xml,
                      const std::string& name,
                      const std::string& marker = "") {
  size_t at = 0;
  for (; (at = xml.find("<" + name, at)) != std::string::npos; at += name.size()) {
    char next = xml[at + 1 + name.size()];
    if (next != ' ' && next != '>')
      continue;
    size_t end = xml.find("</" + name + ">", at);
    size_t tagEnd = xml.find('>', at);
    if (end == std::string::npos)
      return "";
    if (xml.substr(at, tagEnd - at).find(marker) != std::string::npos)
      return xml.substr(at, end - at + name.size() + 3);
  }
  return "";
}

class CrashReporterStreamTest : public ::testing::Test {
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
    return ReadAll(stream);
  }

  uint32_t m_savedFlags = 0;
  CONTEXT m_context;
  EXCEPTION_RECORD m_record;
  EXCEPTION_POINTERS m_pointers;
  TestReporter m_reporter;
};

TEST_F(CrashReporterStreamTest, RendersAWellFormedDocumentInOrder) {
  std::string xml = Render();
  ASSERT_EQ(xml.rfind("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<crash_report>\n", 0), 0u);
  EXPECT_EQ(xml.substr(xml.size() - 16), "</crash_report>\n");
  EXPECT_EQ(Balance(xml), "");

  // The launcher's settings: no computer, host_ip, user, curdir or environment.
  std::vector<std::string> names = OpeningNames(xml);
  std::vector<std::string> outline;
  for (const std::string& name : names) {
    if (name != "thread" && name != "callstack" && name != "frame" && name != "stack" &&
        name != "module" && (outline.empty() || outline.back() != name))
      outline.push_back(name);
  }
  const std::vector<std::string> expected = {
      "crash_report",   "version_cookie", "platform",        "os_info", "cpu_info",
      "memory_info",    "timestamp",      "lasterror",       "type",    "bad_address",
      "processes",      "process",        "cmdline",         "threads", "modules",
      "process_memory", "app_xml",        "user_repro_steps"};
  EXPECT_EQ(outline, expected);

  EXPECT_NE(xml.find("\n  <version_cookie />\n"), std::string::npos);
  EXPECT_NE(xml.find("\n  <platform>win32</platform>\n"), std::string::npos);
  EXPECT_NE(xml.find("\n  <type>EXCEPTION_ACCESS_VIOLATION</type>\n"), std::string::npos);
  EXPECT_NE(xml.find("<bad_address access=\"write\">" + Pointer(0xDEAD0000) + "</bad_address>"),
            std::string::npos);
  EXPECT_TRUE(std::regex_search(xml, std::regex("<timestamp>[0-9]+</timestamp>")));
  EXPECT_TRUE(std::regex_search(xml, std::regex("<lasterror>0x[0-9a-f]{2,}</lasterror>")));
  char process[64];
  std::snprintf(process, sizeof process, "<process id=\"0x%08x\" parent_id=\"0x",
                unsigned(GetCurrentProcessId()));
  EXPECT_NE(xml.find(process), std::string::npos);
  EXPECT_NE(xml.find("\" self=\"yes\">\n"), std::string::npos);
}

TEST_F(CrashReporterStreamTest, NamesTheExceptionAndOnlyAnAccessViolationHasABadAddress) {
  struct Case {
    DWORD code;
    std::vector<ULONG_PTR> parameters;
    const char* type;
    const char* access;  // null: no bad_address element
    uint64_t address;
  } cases[] = {
      {EXCEPTION_ACCESS_VIOLATION, {0, 0x10}, "EXCEPTION_ACCESS_VIOLATION", "read", 0x10},
      {EXCEPTION_ACCESS_VIOLATION, {8, 0xab0}, "EXCEPTION_ACCESS_VIOLATION", "write", 0xab0},
      {EXCEPTION_INT_DIVIDE_BY_ZERO, {}, "EXCEPTION_INT_DIVIDE_BY_ZERO", nullptr, 0},
      {EXCEPTION_STACK_OVERFLOW, {}, "EXCEPTION_STACK_OVERFLOW", nullptr, 0},
      {EXCEPTION_BREAKPOINT, {}, "EXCEPTION_BREAKPOINT", nullptr, 0},
      {0xE06D7363, {1, 2, 3}, "0xe06d7363", nullptr, 0},
      {0x40010006, {}, "0x40010006", nullptr, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    SetException(c.code, c.parameters);
    std::string xml = Render();
    EXPECT_NE(xml.find(std::string("<type>") + c.type + "</type>"), std::string::npos);
    if (c.access)
      EXPECT_NE(xml.find(std::string("<bad_address access=\"") + c.access + "\">" +
                         Pointer(c.address) + "</bad_address>"),
                std::string::npos);
    else
      EXPECT_EQ(xml.find("<bad_address"), std::string::npos);
  }
}

TEST_F(CrashReporterStreamTest, CrashingThreadCarriesRegistersFramesAndStackDump) {
  // A second thread of the process, waiting: listed, but without registers or call stack.
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
  SetEvent(release);
  other.join();
  CloseHandle(release);
  ASSERT_EQ(Balance(xml), "");

  char id[32];
  std::snprintf(id, sizeof id, "id=\"0x%08x\"", unsigned(GetCurrentThreadId()));
  std::string crashing = ElementOf(xml, "thread", id);
  ASSERT_FALSE(crashing.empty()) << xml;
  EXPECT_NE(crashing.find(" status=\"RUNNING\" crash=\"yes\""), std::string::npos);
  EXPECT_NE(crashing.find(std::string("\n          ") + kPcName + "=\"" +
                          Value(ProgramCounter(m_context)) + "\""),
            std::string::npos);
  for (const char* name : kRegisterNames)
    EXPECT_NE(crashing.find(std::string("\n          ") + name + "=\"0x"), std::string::npos)
        << name;

  // NoSymbols: every frame is a bare address; the first is where the context stands.
  std::regex frame("<frame>(0x[0-9a-f]" + Digits(kAddressDigits) + ")</frame>");
  std::vector<std::string> frames;
  for (auto it = std::sregex_iterator(crashing.begin(), crashing.end(), frame);
       it != std::sregex_iterator(); ++it)
    frames.push_back((*it)[1]);
  ASSERT_GE(frames.size(), 2u) << crashing;
  EXPECT_LE(frames.size(), Debug::kMaxFrames);
  EXPECT_EQ(frames[0], Value(ProgramCounter(m_context)));

  // Stack dump: 32 bytes below to 128 above the stack pointer, 16 per line.
  std::regex line(" {14}([* ])([0-9A-Fa-f]" + Digits(kAddressDigits) +
                  ") ((?: (?:[0-9a-f]{2}|\\?\\?)){8}) -"
                  "((?: (?:[0-9a-f]{2}|\\?\\?)){8})  ([\\x20-\\x7e]{16})\n");
  std::vector<std::smatch> lines;
  for (auto it = std::sregex_iterator(crashing.begin(), crashing.end(), line);
       it != std::sregex_iterator(); ++it)
    lines.push_back(*it);
  ASSERT_EQ(lines.size(), 10u) << crashing;
  EXPECT_EQ(std::stoull(lines[0][2], nullptr, 16), StackPointer(m_context) - 32);
  EXPECT_EQ(lines[2][1], "*");
  EXPECT_EQ(lines[0][1], " ");
  EXPECT_NE(crashing.find("<stack>\n"), std::string::npos);
  EXPECT_NE(crashing.find("<![CDATA[\n"), std::string::npos);

  std::snprintf(id, sizeof id, "id=\"0x%08x\"", unsigned(otherId));
  std::string waiting = ElementOf(xml, "thread", id);
  ASSERT_FALSE(waiting.empty());
  EXPECT_EQ(waiting.find("crash="), std::string::npos);
  EXPECT_EQ(waiting.find("RIP="), std::string::npos);
  EXPECT_EQ(waiting.find("<frame>"), std::string::npos);
  EXPECT_EQ(waiting.find("<stack>"), std::string::npos);
  EXPECT_NE(waiting.find("<callstack>\n"), std::string::npos);
}

TEST_F(CrashReporterStreamTest, FramesNameFunctionsWhenSymbolsAreLoaded) {
  Vorq::CrashReporterFlags &= ~CrashFlag::NoSymbols;
  char* path = Debug::BuildSymbolSearchPath();
  ASSERT_NE(path, nullptr);
  Debug::AcquireSymbolEngine(path);
  ASSERT_TRUE(Debug::SymbolsLoaded());
  std::string xml = Render();
  Debug::ReleaseSymbolEngine();
  Vorq::Memory::Free(path);
  EXPECT_FALSE(Debug::SymbolsLoaded());
  std::string callstack = ElementOf(ElementOf(xml, "thread", "crash=\"yes\""), "callstack");
  // "[#a] #F: #M": every frame has the shape; the system's own modules carry names.
  std::regex frame("<frame>\\[0x[0-9a-f]" + Digits(kAddressDigits) +
                   "\\] ( [^<(]+\\([0-9]+\\))?: ([^<]+)</frame>");
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

TEST_F(CrashReporterStreamTest, OtherThreadsWithContextsReadTheirRegisters) {
  Vorq::CrashReporterFlags |= CrashFlag::ThreadContexts;
  HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD otherId = 0;
  std::thread other([&] {
    otherId = GetCurrentThreadId();
    WaitForSingleObject(release, INFINITE);
  });
  while (!otherId)
    Sleep(1);
  std::string xml = Render();
  SetEvent(release);
  other.join();
  CloseHandle(release);
  char id[32];
  std::snprintf(id, sizeof id, "id=\"0x%08x\"", unsigned(otherId));
  std::string waiting = ElementOf(xml, "thread", id);
  ASSERT_FALSE(waiting.empty());
  // Not suspended by a crash sequence here, so its previous count is 0: running.
  EXPECT_NE(waiting.find("status=\"RUNNING\""), std::string::npos) << waiting;
  EXPECT_NE(waiting.find(std::string(kPcName) + "=\"0x"), std::string::npos);
  EXPECT_NE(waiting.find("<frame>0x"), std::string::npos);
  EXPECT_EQ(Balance(xml), "");
}

TEST_F(CrashReporterStreamTest, StackDumpMarksUnreadableBytesAndEndsAtAnUnreadableLine) {
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
  EXPECT_EQ(lines[2].substr(14, 1), "*");
  const std::string straddling =
      " 5d 5d 3e 5d 5d 3e 5d 5d - ?? ?? ?? ?? ?? ?? ?? ??  ]].]].]]????????";
  ASSERT_GT(lines[4].size(), straddling.size());
  EXPECT_EQ(lines[4].substr(lines[4].size() - straddling.size()), straddling);
  for (size_t i = 0; i < lines.size(); ++i)
    EXPECT_EQ(lines[i].substr(lines[i].size() - 16).find("]]>"), std::string::npos) << lines[i];
}

TEST_F(CrashReporterStreamTest, RendersOutsideACrashWithoutTheExceptionParts) {
  m_reporter.SetCrash(nullptr);
  Vorq::CrashReporterFlags |= CrashFlag::AllProcesses;
  std::string xml = Render();
  EXPECT_EQ(Balance(xml), "");
  EXPECT_NE(xml.find("\n  <type />\n"), std::string::npos);
  EXPECT_EQ(xml.find("<bad_address"), std::string::npos);
  EXPECT_EQ(xml.find("crash=\"yes\""), std::string::npos);
  EXPECT_EQ(xml.find("<frame>"), std::string::npos);
  // Other processes: listed after the own one, without the parts only the own one has.
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

TEST_F(CrashReporterStreamTest, ModulesListTheTestExecutable) {
  std::string xml = Render();
  char path[MAX_PATH];
  ASSERT_GT(GetModuleFileNameA(nullptr, path, sizeof path), 0u);
  std::string module = ElementOf(xml, "module");
  ASSERT_FALSE(module.empty());
  std::string hex = "[0-9A-Fa-f]" + Digits(kAddressDigits);
  EXPECT_TRUE(
      std::regex_search(module, std::regex("^<module base=\"0x" + hex + "-0x" + hex + "\"")))
      << module;
  EXPECT_NE(xml.find(std::string("\">") + path + "</module>"), std::string::npos) << path;
  // kernel32 carries a version resource.
  EXPECT_TRUE(std::regex_search(xml, std::regex("\n {16}FileVersion=\"[^\"]+\"")));
}

TEST_F(CrashReporterStreamTest, EscapesTextsButNotAttributes) {
  Vorq::CrashReporterFlags |= CrashFlag::IncludeEnvironment;
  ASSERT_TRUE(SetEnvironmentVariableA("GVDOC_<&'", "v<&\"'>"));
  m_reporter.SetReproSteps("steps: a<b & \"c\" 'd' > e");
  std::string xml = Render();
  SetEnvironmentVariableA("GVDOC_<&'", nullptr);
  EXPECT_NE(xml.find("<variable name=\"GVDOC_<&'\">v&lt;&amp;&quot;&apos;&gt;</variable>"),
            std::string::npos);
  EXPECT_NE(xml.find("<user_repro_steps>\n"
                     "steps: a&lt;b &amp; &quot;c&quot; &apos;d&apos; &gt; e"
                     "  </user_repro_steps>\n"),
            std::string::npos);
  EXPECT_NE(xml.find("<environment>\n"), std::string::npos);
}

TEST_F(CrashReporterStreamTest, LongReproTextPassesThroughTheEscaperWhole) {
  // Longer than one piece of the collector and than the escaper's output: every entity is
  // written whole across the piece boundaries.
  std::string repro;
  for (int i = 0; repro.size() < Vorq::CrashReporterBasic::kReproStepsSize - 1; ++i)
    repro += i % 7 == 0 ? '<' : i % 5 == 0 ? '&' : char('a' + i % 26);
  repro.resize(Vorq::CrashReporterBasic::kReproStepsSize - 1);
  m_reporter.SetReproSteps(repro);
  std::string xml = Render();
  size_t start = xml.find("<user_repro_steps>\n") + 19;
  size_t end = xml.find("  </user_repro_steps>");
  ASSERT_LT(start, end);
  std::string text = xml.substr(start, end - start);
  std::string plain = std::regex_replace(std::regex_replace(text, std::regex("&lt;"), "<"),
                                         std::regex("&amp;"), "&");
  EXPECT_EQ(plain, repro);
}

TEST_F(CrashReporterStreamTest, RewindRendersTheSameElementsWithinTheMeasuredSize) {
  Vorq::CrashReporterFlags |= CrashFlag::IncludeComputer | CrashFlag::IncludeUser |
                              CrashFlag::IncludeEnvironment | CrashFlag::AllProcesses;
  CrashReporterStream stream(m_reporter);
  uint32_t measured = stream.Measure();
  EXPECT_EQ(stream.GetSize(), measured);  // measured once
  size_t firstPieces = 0, secondPieces = 0;
  std::string first = ReadAll(stream, &firstPieces);
  stream.Rewind();
  std::string second = ReadAll(stream, &secondPieces);
  EXPECT_EQ(OpeningNames(first), OpeningNames(second));
  EXPECT_GE(measured, first.size());
  EXPECT_GE(measured, second.size());
  EXPECT_LE(measured, first.size() + CrashReporterStream::kMeasureMargin + 4096);
  // A finished stream stays finished.
  uint32_t length = 99;
  EXPECT_EQ(stream.Read(length), nullptr);
  EXPECT_EQ(length, 0u);
  for (const char* name : {"<computer>", "<host_ip>", "<user local=", "<curdir>"})
    EXPECT_NE(first.find(name), std::string::npos) << name;
}

TEST(CrashReporterStreamEscape, ReplacesTheFiveCharactersAndWritesWholeEntities) {
  struct Case {
    const char* in;
    uint32_t capacity;
    const char* out;
    uint32_t consumed;
  } cases[] = {
      {"a\"b'c&d<e>f", 64, "a&quot;b&apos;c&amp;d&lt;e&gt;f", 11},
      {"plain text", 64, "plain text", 10},
      {"<<", 7, "&lt;", 1},  // the second entity does not fit
      {"ab&", 4, "ab", 2},
      {"", 8, "", 0},
  };
  class Reporter : public Vorq::CrashReporterBasic {
  } reporter;
  CrashReporterStream stream(reporter);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    char out[64];
    uint32_t written = 0;
    uint32_t consumed = stream.Escape(c.in, uint32_t(std::strlen(c.in)), out, c.capacity, &written);
    EXPECT_EQ(std::string(out, written), c.out);
    EXPECT_EQ(consumed, c.consumed);
  }
}

TEST(DebugFrameTemplate, ExpandsEveryCodeAndCutsAt255) {
  const std::string longName(300, 'x');
  Debug::FrameSymbol full;
  full.address = 0x40001234;
  full.function = "Launch";
  full.displacement = 0x1f;
  full.moduleBase = 0x40000000;
  full.file = "C:\\src\\launcher/main.cpp";
  full.line = 42;
  Debug::FrameSymbol bare;
  bare.address = 0x40001234;
  Debug::FrameSymbol inModule = bare;
  inModule.moduleBase = 0x40000000;
  Debug::FrameSymbol longSymbol = full;
  longSymbol.function = longName.c_str();
  const std::string a = Value(0x40001234);
  struct Case {
    const char* frameTemplate;
    const Debug::FrameSymbol* frame;
    std::string expected;
  } cases[] = {
      {"#a", &full, a},
      {"#'%x'a", &full, "40001234"},
      {"#'%llX'a", &full, "40001234"},
      {"#M", &full, "Launch+0x0000001f"},
      {"#'%s@%u'M", &full, "Launch@31"},
      {"#m", &full, "Launch"},
      {"#j", &full, "0x1f"},
      {"#F", &full, " main.cpp(42)"},
      {"#P", &full, " C:\\src\\launcher/main.cpp(42)"},
      {"#f|#p|#l", &full, "main.cpp|C:\\src\\launcher/main.cpp|42"},
      {"[#a] #F: #M\n", &full, "[" + a + "]  main.cpp(42): Launch+0x0000001f\n"},
      {"#a\n", &bare, a + "\n"},
      {"#M", &bare, a},
      {"#M", &inModule, a + " 0x00001234"},
      {"#m", &inModule, a + " 0x00001234"},
      {"#j", &bare, "0x0"},
      {"#F#P", &bare, ""},
      {"#f #p #l", &bare, "??? ??? ???"},
      {"100% #x #", &bare, "100% #x #"},
      {"#'%x", &bare, "#'%x"},
      {Debug::kDefaultFrameTemplate, &full, "\n    Launch+0x0000001f main.cpp(42)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.frameTemplate);
    char out[Debug::kMaxFrameText + 1];
    uint32_t length = Debug::ExpandFrameTemplate(c.frameTemplate, *c.frame, out, sizeof out);
    EXPECT_EQ(std::string(out), c.expected);
    EXPECT_EQ(length, c.expected.size());
  }
  Debug::FrameSymbol none;
  char out[300];
  Debug::ExpandFrameTemplate("#a", none, out, sizeof out);
  EXPECT_STREQ(out, "???");
  // The frame text never exceeds 255 characters, nor the caller's buffer.
  EXPECT_EQ(Debug::ExpandFrameTemplate("[#a] #m", longSymbol, out, sizeof out), 255u);
  EXPECT_EQ(std::string(out), ("[" + a + "] " + longName).substr(0, 255));
  EXPECT_EQ(Debug::ExpandFrameTemplate("#m", longSymbol, out, 10), 9u);
  EXPECT_EQ(std::string(out), longName.substr(0, 9));
}

TEST(DebugSymbols, SearchPathNamesTheModuleFoldersOnce) {
  SetEnvironmentVariableA("_NT_SYMBOL_PATH", "srv*C:\\symbols");
  char* path = Debug::BuildSymbolSearchPath();
  SetEnvironmentVariableA("_NT_SYMBOL_PATH", nullptr);
  ASSERT_NE(path, nullptr);
  std::string text = path;
  Vorq::Memory::Free(path);
  char exe[MAX_PATH];
  GetModuleFileNameA(nullptr, exe, sizeof exe);
  std::string folder(exe, std::strrchr(exe, '\\'));
  EXPECT_EQ(text.rfind(".;", 0), 0u) << text;
  size_t first = text.find(";" + folder + ";");
  EXPECT_NE(first, std::string::npos) << text;
  EXPECT_EQ(text.find(";" + folder + ";", first + 1), std::string::npos) << text;
  EXPECT_EQ(text.substr(text.size() - 15), ";srv*C:\\symbols");
}

TEST(DebugSymbols, WalkEndsItsFramesAndFallsBackToFramePointers) {
  CONTEXT context;
  RtlCaptureContext(&context);
  uint64_t addresses[Debug::kMaxFrames + 1];
  // No engine: the frame-pointer chain, starting at the instruction pointer.
  uint32_t count = Debug::WalkStack(GetCurrentThread(), &context, addresses, 3);
  ASSERT_GE(count, 1u);
  EXPECT_LE(count, 2u);
  EXPECT_EQ(addresses[0], ProgramCounter(context));
  EXPECT_EQ(addresses[count], Debug::kEndOfFrames);
  // With the engine the debug-help walker finds the callers too.
  Debug::AcquireSymbolEngine(nullptr);
  count = Debug::WalkStack(GetCurrentThread(), &context, addresses, Debug::kMaxFrames + 1);
  Debug::ReleaseSymbolEngine();
  EXPECT_GE(count, 2u);
  EXPECT_EQ(addresses[0], ProgramCounter(context));
  EXPECT_EQ(addresses[count], Debug::kEndOfFrames);
  EXPECT_EQ(Debug::WalkStack(GetCurrentThread(), nullptr, addresses, 4), 0u);
}

}  // namespace
