// The crash report stream against a scripted reporter: the document's layout, escaping,
// CDATA, cuts at the buffer's capacity, lists, and Measure/Rewind. The fuzz target checks
// well-formedness, Measure's bound and Rewind over scripts of its own.
#include "libs/crashreport/crash_reporter_stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <string>
#include <vector>

#include "libs/crashreport/crash_library.h"
#include "libs/crashreport/scripted_crash_reporter.h"

namespace {

using Vorq::CrashReporterStream;
using Vorq::ReadReport;
using Vorq::ReportProblem;
using Vorq::ScriptedCrashReporter;
namespace CrashFlag = Vorq::CrashFlag;
constexpr uint32_t kAllParts =
    CrashFlag::IncludeComputer | CrashFlag::IncludeUser | CrashFlag::IncludeEnvironment;

// The timestamp's digits as "T", after checking they are the time of the rendering.
std::string WithoutTime(std::string xml, time_t before) {
  const size_t at = xml.find("<timestamp>") + 11, end = xml.find("</timestamp>");
  EXPECT_LT(at, end);
  if (at >= end || end == std::string::npos)
    return xml;
  const unsigned long seconds = std::stoul(xml.substr(at, end - at));
  EXPECT_GE(seconds, static_cast<unsigned long>(before));
  EXPECT_LE(seconds, static_cast<unsigned long>(std::time(nullptr)));
  return xml.replace(at, end - at, "T");
}

// Reads pieces up to the one that holds `marker`.
void ReadThrough(CrashReporterStream& stream, const std::string& marker) {
  uint32_t length = 0;
  while (const char* piece = stream.Read(length)) {
    if (std::string(piece, length).find(marker) != std::string::npos)
      return;
  }
  ADD_FAILURE() << "no " << marker;
}

class CrashReporterStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_savedFlags = Vorq::CrashReporterFlags;
    Vorq::CrashReporterFlags = kAllParts;
  }
  void TearDown() override { Vorq::CrashReporterFlags = m_savedFlags; }

  // A crash with one of everything; the crashing thread has two frames and two dump lines.
  void Script() {
    r.versionCookie = "cookie 7";
    r.osInfo = "Version 6.1 Build 7601";
    r.cpuDetails = "number=\"4\" architecture=\"AMD64\"";
    r.cpuInfo = "Some CPU";
    r.computer = "host.example";
    r.adapters = {"ip=\"127.0.0.1\" type=\"LOOPBACK\""};
    r.memoryInfo = "Used=\" 42%\"\n    PageSize=\"      4096\"";
    r.lastError = 5;
    r.exceptionType = "EXCEPTION_ACCESS_VIOLATION";
    r.accessKind = "access=\"write\"";
    r.badAddress = "0x00000010";
    r.processes = {{"id=\"0x00000010\" parent_id=\"0x00000001\" self=\"yes\"", true}};
    r.userPrivileges = "local=\"yes\" logon=\"no\" ";
    r.userName = "HOST\\player";
    r.commandLine = "Galvorand.exe a=b";
    r.currentFolder = "C:\\Games";
    r.threads = {{"id=\"0x00000011\" crash=\"yes\"",
                  true,
                  {"0x00401000", "0x00402000"},
                  {"  line 1\n", "  line 2\n"}},
                 {"id=\"0x00000012\"", false, {"0x00403000"}, {"  not shown\n"}}};
    r.variables = {{"PATH", "C:\\bin"}};
    r.modules = {{"C:\\Games\\Galvorand.exe", "base=\"0x00400000-0x00410000\""}};
    r.processMemory = "PageFaultCount=\"1\"";
    r.appXml = {"<app name=\"x\" />\n", "<more />\n"};
    r.reproSteps = {"clicked ", "Play"};
  }
  std::string Render() {
    CrashReporterStream stream(r);
    return ReadReport(stream);
  }

  ScriptedCrashReporter r;
  uint32_t m_savedFlags = 0;
};

// Every part in order, with the launcher's settings leaving out the computer's, the user's
// and the environment's.
TEST_F(CrashReporterStreamTest, RendersEveryPartInOrder) {
  Script();
  const time_t before = std::time(nullptr);
  const std::string xml = Render();
  EXPECT_EQ(WithoutTime(xml, before), R"(<?xml version="1.0" encoding="ISO-8859-1"?>
<crash_report>
  <version_cookie>cookie 7</version_cookie>
  <platform>win32</platform>
  <os_info>Version 6.1 Build 7601</os_info>
  <cpu_info number="4" architecture="AMD64">Some CPU</cpu_info>
  <computer>host.example</computer>
  <host_ip>
    <adapter ip="127.0.0.1" type="LOOPBACK" />
  </host_ip>
  <memory_info Used=" 42%"
    PageSize="      4096" />
  <timestamp>T</timestamp>
  <lasterror>0x05</lasterror>
  <type>EXCEPTION_ACCESS_VIOLATION</type>
  <bad_address access="write">0x00000010</bad_address>
  <processes>
    <process id="0x00000010" parent_id="0x00000001" self="yes">
      <user local="yes" logon="no" >HOST\player</user>
      <cmdline>Galvorand.exe a=b</cmdline>
      <curdir>C:\Games</curdir>
      <threads>
        <thread id="0x00000011" crash="yes">
          <callstack>
            <frame>0x00401000</frame>
            <frame>0x00402000</frame>
          </callstack>
          <stack>
            <![CDATA[
  line 1
  line 2
            ]]>
          </stack>
        </thread>
        <thread id="0x00000012">
          <callstack>
          </callstack>
        </thread>
      </threads>
      <environment>
        <variable name="PATH">C:\bin</variable>
      </environment>
      <modules>
        <module base="0x00400000-0x00410000">C:\Games\Galvorand.exe</module>
      </modules>
      <process_memory PageFaultCount="1"></process_memory>
    </process>
  </processes>
  <app_xml>
<app name="x" />
<more />
  </app_xml>
  <user_repro_steps>
clicked Play  </user_repro_steps>
</crash_report>
)");
  EXPECT_EQ(ReportProblem(xml), "");
  Vorq::CrashReporterFlags = 0;
  const std::string launcher = Render();
  EXPECT_EQ(ReportProblem(launcher), "");
  for (const char* part : {"<computer>", "<host_ip>", "<user ", "<curdir>", "<environment>"})
    EXPECT_EQ(launcher.find(part), std::string::npos) << part;
}

// Collectors that know nothing: empty elements, bare attribute lists, and neither a bad
// address without an access kind nor process_memory without counters.
TEST_F(CrashReporterStreamTest, EmptyCollectorsLeaveEmptyOrNoElements) {
  r.adapters = {""};
  r.processes = {{"", false}};
  r.threads = {{"", true, {}, {}}};
  r.variables = {{"", ""}};
  r.modules = {{"", ""}};
  const std::string xml = Render();
  EXPECT_EQ(ReportProblem(xml), "");
  for (const char* part :
       {"<version_cookie />\n", "<os_info />\n", "<cpu_info />\n", "<computer />\n",
        "<adapter  />\n", "<memory_info />\n", "<type />\n  <processes>\n    <process >\n",
        "<user />\n", "<cmdline />\n", "<curdir />\n", "<![CDATA[\n            ]]>\n",
        "<variable name=\"\" />\n", "<module />\n      </modules>\n    </process>\n",
        "<app_xml>\n  </app_xml>\n  <user_repro_steps>\n  </user_repro_steps>\n"})
    EXPECT_NE(xml.find(part), std::string::npos) << part;
}

// Element texts are escaped; attributes are not (their collectors write them as attributes),
// nor the texts taken as they are. Control bytes pass unchanged. A text longer than its room
// is cut there, also when its collector answers more than it wrote; attributes are cut at
// their own limits and the text gets what they leave.
TEST_F(CrashReporterStreamTest, EscapesTextsNotAttributesAndCutsThemToTheirRoom) {
  const std::string raw = "a<b&c\"d'e>f\x01\x1f", esc = "a&lt;b&amp;c&quot;d&apos;e&gt;f\x01\x1f";
  const std::string huge(100000, '#');
  const size_t kText = CrashReporterStream::kCollectorCapacity;  // 4048
  using Set = void (*)(ScriptedCrashReporter&, const std::string&);
  const struct {
    const char* part;
    Set set;
    std::string escaped;  // with `raw`
    size_t kept;          // of `huge`: the attributes' and the text's share
  } cases[] = {
      {"version_cookie", [](auto& rep, auto& t) { rep.versionCookie = t; },
       "<version_cookie>" + raw + "</", kText},
      {"os_info", [](auto& rep, auto& t) { rep.osInfo = t; }, "<os_info>" + esc + "</", kText},
      {"cpu_info", [](auto& rep, auto& t) { rep.cpuDetails = rep.cpuInfo = t; },
       "<cpu_info " + raw + ">" + esc + "</", kText / 2 + kText / 2 - 1},
      {"computer", [](auto& rep, auto& t) { rep.computer = t; }, "<computer>" + esc + "</", kText},
      {"adapter", [](auto& rep, auto& t) { rep.adapters = {t}; }, "<adapter " + raw + " />", kText},
      {"memory_info", [](auto& rep, auto& t) { rep.memoryInfo = t; }, "<memory_info " + raw + " />",
       kText},
      {"type", [](auto& rep, auto& t) { rep.exceptionType = t; }, "<type>" + esc + "</", kText},
      {"bad_address", [](auto& rep, auto& t) { rep.accessKind = rep.badAddress = t; },
       "<bad_address " + raw + ">" + raw + "</", 64 + kText - 65},
      {"process", [](auto& rep, auto& t) { rep.processes[0].first = t; }, "<process " + raw + ">\n",
       kText},
      {"user", [](auto& rep, auto& t) { rep.userPrivileges = rep.userName = t; },
       "<user " + raw + ">" + raw + "</", kText - 1},
      {"cmdline", [](auto& rep, auto& t) { rep.commandLine = t; }, "<cmdline>" + esc + "</", kText},
      {"curdir", [](auto& rep, auto& t) { rep.currentFolder = t; }, "<curdir>" + esc + "</", kText},
      {"thread", [](auto& rep, auto& t) { rep.threads[0].attributes = t; },
       "<thread " + raw + ">\n", kText},
      {"frame", [](auto& rep, auto& t) { rep.threads[0].frames = {t}; }, "<frame>" + esc + "</",
       kText},
      {"stack", [](auto& rep, auto& t) { rep.threads[0].stackLines = {t}; },
       "<![CDATA[\n" + raw + "            ]]>", kText},
      {"variable",
       [](auto& rep, auto& t) {
         rep.variables = {{t, t}};
       },
       "<variable name=\"" + raw + "\">" + esc + "</", 2016 + kText - 2024},
      {"module",
       [](auto& rep, auto& t) {
         rep.modules = {{t, t}};
       },
       "<module " + raw + ">" + esc + "</", 2015 + 2032},
      {"process_memory", [](auto& rep, auto& t) { rep.processMemory = t; },
       "<process_memory " + raw + "></process_memory>\n", kText},
      {"app_xml", [](auto& rep, auto& t) { rep.appXml = {t}; }, "<app_xml>\n" + raw + "  </",
       kText},
      {"user_repro_steps",
       [](auto& rep, auto& t) {
         rep.reproSteps = {t, "#"};
       },
       "<user_repro_steps>\n" + esc + "#  </", kText + 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.part);
    r = ScriptedCrashReporter();
    Script();
    c.set(r, raw);
    std::string xml = Render();
    EXPECT_NE(xml.find(c.escaped), std::string::npos) << xml;
    r = ScriptedCrashReporter();
    r.processes = {{"", true}};
    r.threads = {{"", true, {}, {}}};
    c.set(r, huge);
    xml = Render();
    EXPECT_EQ(size_t(std::count(xml.begin(), xml.end(), '#')), c.kept);
    EXPECT_EQ(xml.substr(xml.size() - 16), "</crash_report>\n");
  }
}

// A zero byte would end the text for a reader: it becomes "~" in the texts read in pieces.
TEST_F(CrashReporterStreamTest, ZeroBytesInPiecesBecomeTildes) {
  Script();
  const std::string nul("n\0l", 3);
  r.versionCookie = nul;
  r.threads[0].stackLines = r.appXml = r.reproSteps = {nul};
  const std::string xml = Render();
  EXPECT_EQ(xml.find('\0'), std::string::npos);
  for (const char* part :
       {"<version_cookie>n~l<", "<![CDATA[\nn~l ", "<app_xml>\nn~l ", "<user_repro_steps>\nn~l "})
    EXPECT_NE(xml.find(part), std::string::npos) << part;
}

// "]]>" in a dump line, or split over two, must not end the CDATA section early.
TEST_F(CrashReporterStreamTest, StackDumpCannotEndItsCdataSection) {
  Script();
  r.threads[0].stackLines = {"a]]>b]]]>c]]", ">d]", "]>e\n"};
  const std::string xml = Render();
  EXPECT_NE(xml.find("<![CDATA[\na]].b]]].c]].d]].e\n            ]]>\n"), std::string::npos) << xml;
  EXPECT_EQ(ReportProblem(xml), "");
}

// Every list with none, one and several items: each item complete, groups around their
// threads, and every process with its own threads, environment and modules.
TEST_F(CrashReporterStreamTest, ListsOfNoneOneOrSeveral) {
  for (size_t n : {0, 1, 7}) {
    SCOPED_TRACE(n);
    r = ScriptedCrashReporter();
    const ScriptedCrashReporter::Thread thread{"id=\"1\"", true, std::vector<std::string>(n, "f"),
                                               std::vector<std::string>(n, "dump\n")};
    r.adapters.assign(n, "ip=\"1\"");
    r.processes.assign(n, {"id=\"1\"", false});
    r.threads.assign(n, thread);
    r.groups.assign(n, std::vector<ScriptedCrashReporter::Thread>(n, thread));
    r.variables.assign(n, {"v", "1"});
    r.modules.assign(n, {"m", "base=\"1\""});
    r.appXml.assign(n, "<piece />");
    r.reproSteps.assign(n, "step;");
    const std::string xml = Render();
    ASSERT_EQ(ReportProblem(xml), "");
    const size_t threads = n * (n + n * n);
    const std::pair<std::string, size_t> counts[] = {
        {"<adapter ", n},      {"<process ", n},           {"<group>", n * n},
        {"<thread ", threads}, {"<frame>f<", threads * n}, {"dump\n", threads * n},
        {"<variable ", n * n}, {"<module ", n * n},        {"<piece />", n},
        {"step;", n},
    };
    for (const auto& [marker, expected] : counts) {
      size_t found = 0;
      for (size_t at = 0; (at = xml.find(marker, at)) != std::string::npos; at += marker.size())
        ++found;
      EXPECT_EQ(found, expected) << marker;
    }
  }
}

// Measure reads the whole document once and leaves the stream rewound; its size is not taken
// again. A finished stream stays finished. (The fuzz target rewinds at every point and compares
// the renderings.) Lists a rendering stopped in are ended by Rewind and by the destructor.
TEST_F(CrashReporterStreamTest, MeasureOnceAndRewindEndsOpenLists) {
  Script();
  uint32_t length = 0;
  {
    CrashReporterStream stream(r);
    const uint32_t size = stream.Measure();
    EXPECT_EQ(size, ReadReport(stream).size() + CrashReporterStream::kMeasureMargin);
    EXPECT_EQ(stream.Read(length), nullptr);
    EXPECT_EQ(length, 0u);
    r.osInfo += " and more";
    EXPECT_EQ(stream.GetSize(), size);
    for (const char* stop : {"<frame>", "<module "}) {
      SCOPED_TRACE(stop);
      stream.Rewind();
      ReadThrough(stream, stop);
      EXPECT_NE(r.openLists, 0u);
      stream.Rewind();
      EXPECT_EQ(r.openLists, 0u);
    }
    ReadThrough(stream, "<frame>");
  }
  EXPECT_EQ(r.openLists, 0u);
}

// The escaper writes whole entities into any room, and its pieces join up to the one-shot
// result.
TEST_F(CrashReporterStreamTest, EscapeWritesWholeEntitiesIntoAnyRoom) {
  CrashReporterStream stream(r);
  const std::string text = "<&>\"'plain \x01\xff",
                    whole = "&lt;&amp;&gt;&quot;&apos;plain \x01\xff";
  char out[64];
  uint32_t written = 0;
  for (uint32_t room = 1; room <= whole.size(); ++room) {
    SCOPED_TRACE(room);
    std::string joined;
    for (size_t at = 0; at < text.size();) {
      const uint32_t used =
          stream.Escape(text.data() + at, uint32_t(text.size() - at), out, room, &written);
      ASSERT_LE(written, room);
      if (!used)
        break;  // the next entity is longer than the room
      joined.append(out, written);
      at += used;
    }
    EXPECT_EQ(joined, room >= 6 ? whole : whole.substr(0, joined.size()));
  }
}

}  // namespace

// While a crash is handled the library's memory comes from the reserve alone: a block at a
// time, the latest given back, none when it runs out, and the heap's blocks left alone.
TEST(CrashReserve, TakesFromTheBlockAndLeavesTheHeapAlone) {
  alignas(16) static char block[256];
  void* fromHeap = Vorq::Memory::Allocate(32);
  ASSERT_NE(fromHeap, nullptr);
  Vorq::Memory::SetCrashReserve(block, sizeof block);
  Vorq::Memory::UseCrashReserve(true);
  char* first = static_cast<char*>(Vorq::Memory::Allocate(100));
  char* second = static_cast<char*>(Vorq::Memory::Allocate(100));
  EXPECT_EQ(first, block);
  EXPECT_EQ(second, block + 112);  // rounded up to 16
  EXPECT_EQ(Vorq::Memory::Allocate(100), nullptr);
  Vorq::Memory::Free(fromHeap);  // not now: the heap may be what failed
  Vorq::Memory::Free(first);     // not the latest: stays taken
  Vorq::Memory::Free(second);
  EXPECT_EQ(Vorq::Memory::Allocate(144), second);
  EXPECT_EQ(Vorq::Memory::Allocate(size_t(-8)), nullptr);
  Vorq::Memory::UseCrashReserve(false);
  EXPECT_FALSE(Vorq::Memory::UsingCrashReserve());
  Vorq::Memory::SetCrashReserve(nullptr, 0);
  Vorq::Memory::Free(fromHeap);  // still a live heap block: given back now
}
