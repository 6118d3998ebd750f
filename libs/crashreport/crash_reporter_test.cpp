// The crash reporter's files, minidumps, upload and crash sequence: real files in a temporary
// crash folder, real minidumps from the system's debug-help library, and the telemetry
// collection service on 127.0.0.1 (a peer of the test run, queried through its control port).
// The crash sequence is driven in-process with a captured context and NoTerminate.

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "libs/ccutility/binxml/binxml_streamable.h"
#include "libs/crashreport/crash_reporter_wox.h"
#include "libs/tovik/tovik.h"
#include "libs/tovik/tovik_test_support.h"
#include "logging/assert_logger.h"
#include "tests/support/test_folder.h"

namespace {

using namespace Vorq;
using namespace tovik_test;
namespace fs = std::filesystem;

// Lines the library logs while a case runs.
class LogCapture : public Assert::Logger {
 public:
  LogCapture() { SetCrashLogTarget(this); }
  ~LogCapture() override { SetCrashLogTarget(nullptr); }
  void Log(uint32_t, uint32_t, uint32_t, uint32_t, const char*, int32_t, const char* text,
           ...) override {
    lines.push_back(text);
  }
  bool Has(const std::string& part) const {
    for (const auto& line : lines) {
      if (line.find(part) != std::string::npos)
        return true;
    }
    return false;
  }
  std::vector<std::string> lines;
};

// A rendered report as the crash stream delivers it: the document in pieces, its measured
// size leaving room for values that grow between renderings; that room is either filled or
// left short (`fill` false: the document ends before its size).
class Document : public BinXML::Streamable {
 public:
  explicit Document(std::vector<std::string> pieces, uint32_t margin = 64, bool fill = true)
      : m_pieces(std::move(pieces)), m_filler(fill ? margin : 0, ' ') {
    for (const auto& p : m_pieces)
      m_size += uint32_t(p.size());
    m_size += margin;
  }
  uint32_t GetSize() override { return m_size; }
  void Rewind() override { m_next = 0; }
  const char* Read(uint32_t& length) override {
    const std::string* piece = m_next < m_pieces.size()    ? &m_pieces[m_next]
                               : m_next == m_pieces.size() ? &m_filler
                                                           : nullptr;
    ++m_next;
    length = piece ? uint32_t(piece->size()) : 0;
    return piece ? piece->data() : nullptr;
  }

 private:
  std::vector<std::string> m_pieces;
  std::string m_filler;
  uint32_t m_size = 0;
  size_t m_next = 0;
};

const std::vector<std::string> kReport = {"<?xml version=\"1.0\"?>\n<crash_report>\n",
                                          "  <type>EXCEPTION_BREAKPOINT</type>\n",
                                          "</crash_report>\n"};
const std::string kReportText = kReport[0] + kReport[1] + kReport[2];

// The launcher's reporter with the protected parts a test needs.
class TestReporter : public CrashReporterWox {
 public:
  using CrashReporterWox::CrashReporterWox;
  using CrashReporterBasic::BaseName;
  using CrashReporterBasic::CopyReport;
};

// A client of the collection service on a fixed-host connection, with a session.
struct Client {
  Tovik tovik;
  uint32_t session = 0;
  explicit Client(uint16_t port = gvtest::PortOf("GV_TOVIK_PORT")) {
    auto* connection = new TovikSimpleConnection("127.0.0.1", port);
    tovik.SetConnection(connection, true);
    EXPECT_TRUE(connection->Open(true));
    tovik.StartSession("CrashReporterTest", "1.4", 0, 0);
    if (port == gvtest::PortOf("GV_TOVIK_PORT"))
      session = tovik.GetSessionId();
  }
};

// Every case: its own crash folder, the option word restored afterwards.
class CrashFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    m_flags = CrashReporterFlags;
    CrashReporterFlags = CrashFlag::NoSymbols | CrashFlag::NoTerminate;
  }
  void TearDown() override { CrashReporterFlags = m_flags; }

  // Points `reporter` at this case's folder (a trailing separator is added by SetFolder).
  void UseFolder(CrashReporter& reporter) { reporter.SetFolder(folder.Path().c_str()); }
  std::string Name(const char* rest) const { return CrashReporterBasic::FilePrefix() + std::string(rest); }
  // A file of `bytes` whose last write lies `minutes` in the past.
  void Touch(const std::string& name, int minutes, const std::string& bytes = "x") {
    ASSERT_TRUE(folder.Write(name, bytes));
    fs::last_write_time(folder.PathOf(name),
                        fs::file_time_type::clock::now() - std::chrono::minutes(minutes));
  }
  bool Has(const std::string& name) const { return folder.Exists(name); }

  TestFolder folder{"crash"};
  uint32_t m_flags = 0;
};

// A crash of `code` at the caller's place, as the filter would receive it.
struct CapturedCrash {
  CONTEXT context;
  EXCEPTION_RECORD record;
  EXCEPTION_POINTERS pointers;
  explicit CapturedCrash(DWORD code) {
    RtlCaptureContext(&context);
    record = EXCEPTION_RECORD();
    record.ExceptionCode = code;
#if defined(_WIN64)
    record.ExceptionAddress = reinterpret_cast<void*>(context.Rip);
#else
    record.ExceptionAddress = reinterpret_cast<void*>(context.Eip);
#endif
    pointers.ExceptionRecord = &record;
    pointers.ContextRecord = &context;
  }
};

// Sends the standard output into a file while it lives.
class StdoutToFile {
 public:
  explicit StdoutToFile(const fs::path& path) {
    fflush(stdout);
    m_saved = _dup(_fileno(stdout));
    int file = _wopen(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IWRITE);
    _dup2(file, _fileno(stdout));
    _close(file);
  }
  ~StdoutToFile() {
    fflush(stdout);
    _dup2(m_saved, _fileno(stdout));
    _close(m_saved);
  }

 private:
  int m_saved;
};

// Checks the layout of a minidump: signature, version, a stream directory whose entries lie
// inside the file, and the exception stream naming `thread` and `code`.
void ExpectMinidump(const std::string& dump, uint32_t thread, uint32_t code) {
  ASSERT_GE(dump.size(), 32u);
  auto u32 = [&](size_t at) {
    uint32_t v = 0;
    if (at + 4 <= dump.size())
      memcpy(&v, dump.data() + at, 4);
    return v;
  };
  EXPECT_EQ(dump.substr(0, 4), "MDMP");
  EXPECT_EQ(u32(4) & 0xFFFF, 0xA793u);  // MINIDUMP_VERSION
  const uint32_t streams = u32(8), directory = u32(12);
  ASSERT_GT(streams, 0u);
  ASSERT_LE(uint64_t(directory) + uint64_t(streams) * 12, dump.size());
  bool exceptionStream = false;
  for (uint32_t i = 0; i < streams; ++i) {
    const size_t entry = directory + i * 12;
    const uint32_t type = u32(entry), size = u32(entry + 4), rva = u32(entry + 8);
    SCOPED_TRACE(type);
    EXPECT_LE(uint64_t(rva) + size, dump.size());
    if (type == 6) {  // ExceptionStream: thread id, alignment, then the exception code
      exceptionStream = true;
      EXPECT_EQ(u32(rva), thread);
      EXPECT_EQ(u32(rva + 8), code);
    }
  }
  EXPECT_TRUE(exceptionStream);
}

}  // namespace

TEST_F(CrashFiles, PruningKeepsFourOfEachKindAndOnlyThisProgramsFiles) {
  TestReporter reporter(nullptr);
  UseFolder(reporter);
  for (int i = 0; i < 6; ++i)
    Touch(Name(("x" + std::to_string(i) + ".xml").c_str()), 60 - i);  // x0 oldest
  for (int i = 0; i < 5; ++i)
    Touch(Name(("d" + std::to_string(i) + ".dmp").c_str()), 50 - i);
  for (int i = 0; i < 4; ++i)
    Touch(Name(("g" + std::to_string(i) + ".gid").c_str()), 40 - i);
  for (int i = 0; i < 6; ++i) {
    Touch(Name(("t" + std::to_string(i) + ".tmp").c_str()), 90 - i);
    Touch("other_" + std::to_string(i) + ".xml", 90 - i);
  }
  ASSERT_TRUE(fs::create_directory(folder.PathOf(Name("dir.xml"))));
  LogCapture log;
  reporter.DeleteOldLoggedFiles();

  const struct {
    std::string name;
    bool kept;
  } expected[] = {
      {Name("x0.xml"), false}, {Name("x1.xml"), false}, {Name("x2.xml"), true},
      {Name("x5.xml"), true},  {Name("d0.dmp"), false}, {Name("d1.dmp"), true},
      {Name("d4.dmp"), true},  {Name("g0.gid"), true},  {Name("t0.tmp"), true},
      {"other_0.xml", true},   {Name("dir.xml"), true},
  };
  for (const auto& e : expected) {
    SCOPED_TRACE(e.name);
    EXPECT_EQ(Has(e.name), e.kept);
  }
  EXPECT_EQ(log.lines.size(), 3u);
  EXPECT_TRUE(log.Has("CrashReporterFile::DeleteOldLoggedFiles Deleting '" +
                      std::string(CrashReporterBasic::CrashFolder()) + Name("x0.xml") + "'"));
}

TEST_F(CrashFiles, FolderRules) {
  TestReporter reporter(nullptr);
  const std::string base = folder.Path().c_str();
  const struct {
    std::string given;
    std::string folder;
  } cases[] = {
      {base, base + "\\"},
      {base + "\\", base + "\\"},
      {base + "/", base + "/"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.given);
    reporter.SetFolder(c.given.c_str());
    EXPECT_EQ(CrashReporterBasic::CrashFolder(), c.folder);
  }
  // None given, or too long: the per-user folder, created.
  std::string perUser;
  for (const std::string& given : {std::string(), "C:\\" + std::string(300, 'a')}) {
    reporter.SetFolder(given.empty() ? nullptr : given.c_str());
    perUser = CrashReporterBasic::CrashFolder();
    EXPECT_NE(perUser.find("\\Zum\\CrashReport\\"), std::string::npos) << perUser;
    EXPECT_EQ(perUser.back(), '\\');
    EXPECT_TRUE(GetFileAttributesA(perUser.c_str()) & FILE_ATTRIBUTE_DIRECTORY);
  }
  EXPECT_EQ(CrashReporterBasic::FilePrefix(), std::string("crashreport_test_"));
}

TEST_F(CrashFiles, SaveReplacesTheReportOnlyWithACompleteOne) {
  TestReporter reporter(nullptr);
  UseFolder(reporter);
  const std::string xml = Name(reporter.BaseName()) + ".xml";
  Touch(xml, 0, "old report");

  // The filler after the closing tag is not written; an empty report writes nothing.
  // The report file is written in text mode: lines end in CR LF on disk.
  std::string saved;
  for (char c : kReportText)
    saved += c == '\n' ? "\r\n" : std::string(1, c);
  Document report(kReport);
  EXPECT_TRUE(reporter.Save(report, nullptr));
  EXPECT_EQ(folder.Read(xml), saved);
  EXPECT_FALSE(Has(xml + ".tmp"));
  Document empty({}, 0);
  EXPECT_FALSE(reporter.Save(empty, nullptr));
  EXPECT_EQ(folder.Read(xml), saved);

  // When the temporary file cannot be written the old report stays as it was.
  ASSERT_TRUE(fs::create_directory(folder.PathOf(xml + ".tmp")));
  Document other({"<crash_report>\n", "</crash_report>\n"});
  EXPECT_FALSE(reporter.Save(other, nullptr));
  EXPECT_EQ(folder.Read(xml), saved);
}

TEST_F(CrashFiles, CopyStopsAtTheMeasuredSizeOrTheDocumentsEnd) {
  const struct {
    std::vector<std::string> pieces;
    uint32_t margin;
    std::string written;
  } cases[] = {
      {kReport, 100, kReportText},
      // A closing tag inside a piece does not end the copy; only a piece ending with it.
      {{"<a></crash_report>\n<b>", "</crash_report>\n"}, 10, "<a></crash_report>\n<b></crash_report>\n"},
      // Without a closing tag, the measured size is the limit (the filler is part of it).
      {{"<crash_report>\n", "<cut>"}, 3, "<crash_report>\n<cut>   "},
  };
  for (const auto& c : cases) {
    Document report(c.pieces, c.margin);
    const fs::path path = folder.PathOf("copy.txt");
    FILE* file = _wfopen(path.c_str(), L"wb");
    ASSERT_TRUE(file);
    EXPECT_EQ(TestReporter::CopyReport(report, file), c.written.size());
    fclose(file);
    EXPECT_EQ(folder.Read("copy.txt"), c.written);
  }
}

TEST_F(CrashFiles, SendReportAgainstTheCollectionService) {
  NEED_COLLECTOR();
  ServiceBehaviour normal;
  Client client;
  ASSERT_NE(client.session, 0u);
  TestReporter reporter(&client.tovik);
  UseFolder(reporter);
  const std::string dumpName = Name("20240101_000000_1.dmp");
  Touch(dumpName, 0, std::string(5000, 'm'));
  const std::string dumpPath = folder.Join(dumpName.c_str()).c_str();
  const std::string session = "session=" + std::to_string(client.session);

  // A report that ends before its measured size goes out blank-filled to that size.
  Document report(kReport, 100, false);
  EXPECT_TRUE(reporter.SendReport(report, dumpPath.c_str(), &client.tovik));
  BinXML::String nothing;
  EXPECT_TRUE(reporter.SendReport(nothing, dumpPath.c_str(), &client.tovik));
  reporter.SetMinidumpEnabled(false);
  EXPECT_TRUE(reporter.SendReport(nothing, dumpPath.c_str(), &client.tovik));  // nothing sent
  reporter.SetMinidumpEnabled(true);

  auto crashes = Query("crashes " + session);
  ASSERT_EQ(crashes.size(), 2u);
  EXPECT_EQ(crashes[0][3], "8");
  EXPECT_EQ(crashes[0][8], std::to_string(kReportText.size() + 100));
  EXPECT_EQ(crashes[1][3], "10");
  auto attachments = Query("attachments " + session);
  ASSERT_EQ(attachments.size(), 2u);
  EXPECT_EQ(attachments[0][2], dumpName);
  EXPECT_EQ(attachments[0][3], "5000");
}

TEST_F(CrashFiles, SendReportFailsWithoutReceiptOrConnection) {
  NEED_COLLECTOR();
  LogCapture log;
  BinXML::String report(kReportText.c_str());
  {
    Client client;
    ServiceBehaviour silent("silent kinds=8,10");
    FastClock clock;
    TestReporter reporter(&client.tovik);
    EXPECT_FALSE(reporter.SendReport(report, nullptr, &client.tovik));
    EXPECT_TRUE(log.Has("CrashReporterTovik::SendReport failed to receive receipt from "
                        "'127.0.0.1:"));
  }
  Client refused(RefusingPort());
  TestReporter reporter(&refused.tovik);
  EXPECT_FALSE(reporter.SendReport(report, nullptr, &refused.tovik));
  EXPECT_TRUE(log.Has("CrashReporterTovik::SendReport not connected to '127.0.0.1:"));
  EXPECT_FALSE(reporter.SendReport(report, nullptr, nullptr));
}

TEST_F(CrashFiles, SessionMarkerHoldsTheSessionOfTheCrash) {
  NEED_COLLECTOR();
  ServiceBehaviour normal;
  Client client;
  TestReporter reporter(&client.tovik);
  UseFolder(reporter);
  reporter.WriteSessionMarker();
  const std::string gid = Name(reporter.BaseName()) + ".gid";
  EXPECT_EQ(folder.Read(gid), std::to_string(client.session));

  // No session, no marker.
  fs::remove(folder.PathOf(gid));
  Client refused(RefusingPort());
  TestReporter noSession(&refused.tovik);
  noSession.WriteSessionMarker();
  EXPECT_FALSE(Has(gid));
}

TEST_F(CrashFiles, UploadSendsStoredReportsAndRemovesThemOnlyOnSuccess) {
  NEED_COLLECTOR();
  ServiceBehaviour normal;
  Client client;
  TestReporter reporter(&client.tovik);
  UseFolder(reporter);
  // A crashed run's session, continued by the upload.
  Client crashed;
  const std::string crashedSession = std::to_string(crashed.session);
  Touch(Name("a.xml"), 3, kReportText);
  Touch(Name("a.dmp"), 3, std::string(3000, 'd'));
  Touch(Name("a.gid"), 3, crashedSession);
  Touch(Name("b.xml"), 2, kReportText);
  Touch(Name("b.dmp"), 2, "");
  Touch(Name("c.xml"), 1, kReportText);
  Touch(Name("d.xml.tmp"), 1, "half a rep");
  Touch("other_e.xml", 1, kReportText);

  // Silent service: every report stays (the stale ".tmp" goes all the same).
  {
    ServiceBehaviour silent("silent kinds=8,10");
    FastClock clock;
    EXPECT_EQ(reporter.UploadLoggedFiles(), 0u);
  }
  EXPECT_FALSE(Has(Name("d.xml.tmp")));
  for (const char* name : {"a.xml", "a.dmp", "a.gid", "b.xml", "c.xml"})
    EXPECT_TRUE(Has(Name(name))) << name;

  LogCapture log;
  EXPECT_EQ(reporter.UploadLoggedFiles(), 3u);
  for (const char* name : {"a.xml", "a.dmp", "a.gid", "b.xml", "b.dmp", "c.xml"})
    EXPECT_FALSE(Has(Name(name))) << name;
  EXPECT_TRUE(Has("other_e.xml"));
  const std::string sending = "CrashReporterTovik::UploadLoggedFiles Sending '" +
                              std::string(CrashReporterBasic::CrashFolder());
  EXPECT_TRUE(log.Has(sending + Name("a.xml") + "' with minidump"));
  EXPECT_TRUE(log.Has(sending + Name("b.xml") + "' w/o minidump"));
  EXPECT_TRUE(log.Has(sending + Name("c.xml") + "' w/o minidump"));

  // The silent service stored the first attempt too; both went to the crashed run's session.
  auto crashes = Query("crashes session=" + crashedSession);
  ASSERT_EQ(crashes.size(), 2u);
  EXPECT_EQ(crashes[1][3], "8");
  auto attachments = Query("attachments session=" + crashedSession);
  ASSERT_EQ(attachments.size(), 2u);
  EXPECT_EQ(attachments[1][2], Name("a.dmp"));
  EXPECT_EQ(attachments[1][3], "3000");
}

TEST_F(CrashFiles, InstallTwiceInstallsOnceAndPrunesEachTime) {
  TestReporter reporter(nullptr);
  UseFolder(reporter);
  const LPTOP_LEVEL_EXCEPTION_FILTER original = SetUnhandledExceptionFilter(nullptr);
  SetUnhandledExceptionFilter(original);
  for (int i = 0; i < 5; ++i)
    Touch(Name(("d" + std::to_string(i) + ".dmp").c_str()), 50 - i);

  EXPECT_EQ(reporter.Install(), 0);
  EXPECT_FALSE(Has(Name("d0.dmp")));
  Touch(Name("d5.dmp"), 60);
  EXPECT_EQ(reporter.Install(), 0);
  EXPECT_FALSE(Has(Name("d5.dmp")));
  EXPECT_TRUE(reporter.IsInstalled());

  // Installed once: one uninstall gives the original filter back.
  EXPECT_EQ(reporter.Uninstall(), 0);
  EXPECT_FALSE(reporter.IsInstalled());
  EXPECT_EQ(SetUnhandledExceptionFilter(original), original);
}

// The crash sequence in-process: the report reaches the standard output and the service;
// what stays in the crash folder depends on the delivery.
TEST_F(CrashFiles, CrashSequenceDeliversOrKeepsTheFiles) {
  NEED_COLLECTOR();
  {
    TestReporter reporter(nullptr);
    CapturedCrash crash(0xC0000005);
    EXPECT_FALSE(reporter.WriteMinidump(&crash.pointers, folder.Join("no/such.dmp").c_str()));
  }
  const struct {
    const char* mode;
    uint32_t flags;
    bool delivered, dump;
  } cases[] = {
      {"normal", 0, true, true},
      {"normal", CrashFlag::NoMinidump, true, false},
      {"silent kinds=8,10", 0, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.mode) + " flags " + std::to_string(c.flags));
    TestFolder caseFolder("sequence");
    Client client;
    ASSERT_NE(client.session, 0u);
    ServiceBehaviour behaviour(c.mode);
    FastClock clock(!c.delivered);
    CrashReporterFlags = CrashFlag::NoSymbols | CrashFlag::NoTerminate | c.flags;
    TestReporter reporter(&client.tovik);
    reporter.SetFolder(caseFolder.Path().c_str());

    CapturedCrash crash(0x80000003);
    long verdict;
    {
      StdoutToFile out(caseFolder.PathOf("stdout.txt"));
      SetLastError(0x1234);
      verdict = reporter.HandleException(&crash.pointers);
    }
    EXPECT_EQ(verdict, 1);  // NoTerminate: execute-handler
    EXPECT_EQ(reporter.GetLastErrorValue(), 0x1234u);
    EXPECT_EQ(reporter.GetExceptionPointers(), nullptr);
    const std::string printed = caseFolder.Read("stdout.txt");
    EXPECT_EQ(printed.rfind("<?xml", 0), 0u);
    EXPECT_NE(printed.find("<lasterror>0x1234</lasterror>"), std::string::npos);
    EXPECT_EQ(printed.substr(printed.size() - 16), "</crash_report>\n");

    // A kept dump is a real one. (Wine's dump writer takes seconds: one case checks it.)
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(caseFolder.Native())) {
      std::string name = entry.path().filename().string();
      if (name == "stdout.txt")
        continue;
      left.push_back(name.substr(name.size() - 4));
      if (left.back() == ".dmp")
        ExpectMinidump(caseFolder.Read(name), GetCurrentThreadId(), 0x80000003);
    }
    std::sort(left.begin(), left.end());
    std::vector<std::string> expected;
    if (!c.delivered)
      expected = {".dmp", ".gid", ".xml"};
    EXPECT_EQ(left, expected);

    auto crashes = Query("crashes session=" + std::to_string(client.session));
    ASSERT_EQ(crashes.size(), 1u);  // stored in every mode, answered only in some
    auto attachments = Query("attachments session=" + std::to_string(client.session));
    EXPECT_EQ(attachments.size(), c.dump ? 1u : 0u);
  }
}

TEST_F(CrashFiles, SecondCrashDuringHandlingIsPassedOnAtOnce) {
  struct Nested : CrashCallback {
    TestReporter* reporter = nullptr;
    EXCEPTION_POINTERS* pointers = nullptr;
    int begins = 0, ends = 0;
    long nestedVerdict = -1;
    void OnCrashBegin() override {
      ++begins;
      nestedVerdict = reporter->HandleException(pointers);
    }
    void OnCrashEnd() override { ++ends; }
  } nested;
  CrashReporterFlags |= CrashFlag::NoMinidump;
  TestReporter reporter(nullptr);
  UseFolder(reporter);
  CapturedCrash crash(0xC0000005);
  nested.reporter = &reporter;
  nested.pointers = &crash.pointers;
  reporter.SetCrashCallback(&nested);
  long verdict;
  {
    StdoutToFile out(folder.PathOf("stdout.txt"));
    verdict = reporter.HandleException(&crash.pointers);
  }
  EXPECT_EQ(nested.nestedVerdict, 0);  // continue-search, without a sequence of its own
  EXPECT_EQ(nested.begins, 1);
  EXPECT_EQ(nested.ends, 1);
  EXPECT_EQ(verdict, 1);
  // And the counter went back: the next crash is handled again.
  reporter.SetCrashCallback(nullptr);
  {
    StdoutToFile out(folder.PathOf("stdout.txt"));
    verdict = reporter.HandleException(&crash.pointers);
  }
  EXPECT_EQ(verdict, 1);
  EXPECT_EQ(nested.begins, 1);
}
