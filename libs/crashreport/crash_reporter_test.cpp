// The crash reporter's files, upload and crash sequence: a temporary crash folder, the collection
// service on 127.0.0.1, and the crash sequence driven in-process with NoTerminate.

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
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

// Lines the library logs while it lives.
struct LogCapture : Assert::Logger {
  LogCapture() { SetCrashLogTarget(this); }
  ~LogCapture() override { SetCrashLogTarget(nullptr); }
  void Log(uint32_t, uint32_t, uint32_t, uint32_t, const char*, int32_t, const char* text, ...)
      override {
    lines.push_back(text);
  }
  bool Has(const std::string& part) const {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.find(part) != std::string::npos; });
  }
  std::vector<std::string> lines;
};

// A report as the crash stream delivers it: the document in pieces, its size measured with a
// margin that is filled with blanks or (`fill` false) left short.
class Document : public BinXML::Streamable {
 public:
  explicit Document(std::vector<std::string> pieces, uint32_t margin = 64, bool fill = true)
      : m_pieces(std::move(pieces)) {
    for (const auto& p : m_pieces)
      m_size += uint32_t(p.size());
    m_size += margin;
    if (fill)
      m_pieces.push_back(std::string(margin, ' '));
  }
  uint32_t GetSize() override { return m_size; }
  void Rewind() override { m_next = 0; }
  const char* Read(uint32_t& length) override {
    const std::string* piece = m_next < m_pieces.size() ? &m_pieces[m_next++] : nullptr;
    length = piece ? uint32_t(piece->size()) : 0;
    return piece ? piece->data() : nullptr;
  }

 private:
  std::vector<std::string> m_pieces;
  uint32_t m_size = 0;
  size_t m_next = 0;
};

const std::vector<std::string> kReport = {"<?xml version=\"1.0\"?>\n<crash_report>\n",
                                          "  <type>EXCEPTION_BREAKPOINT</type>\n",
                                          "</crash_report>\n"};
const std::string kReportText = kReport[0] + kReport[1] + kReport[2];

class TestReporter : public CrashReporterWox {
 public:
  using CrashReporterBasic::BaseName;
  using CrashReporterWox::CrashReporterWox;
};

// A client of the service (or of a refusing port) on a fixed-host connection, with a session.
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

// A crash of `code` as the filter would receive it.
struct CapturedCrash {
  CONTEXT context;
  EXCEPTION_RECORD record = {};
  EXCEPTION_POINTERS pointers = {&record, &context};
  explicit CapturedCrash(DWORD code) {
    RtlCaptureContext(&context);
    record.ExceptionCode = code;
  }
};

// Sends the standard output into a file while it lives.
class StdoutToFile {
 public:
  explicit StdoutToFile(const fs::path& path) : m_saved(_dup(_fileno(stdout))) {
    fflush(stdout);
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

// Every case: its own crash folder, the option word restored afterwards.
class CrashFiles : public ::testing::Test {
 protected:
  void SetUp() override { CrashReporterFlags = CrashFlag::NoSymbols | CrashFlag::NoTerminate; }
  void TearDown() override { CrashReporterFlags = m_flags; }

  void UseFolder(CrashReporter& reporter) { reporter.SetFolder(folder.Path().c_str()); }
  static std::string Name(const std::string& rest) {
    return CrashReporterBasic::FilePrefix() + rest;
  }
  // A file of `bytes` last written `minutes` ago.
  void Touch(const std::string& name, int minutes, const std::string& bytes = "x") {
    ASSERT_TRUE(folder.Write(name, bytes));
    fs::last_write_time(folder.PathOf(name),
                        fs::file_time_type::clock::now() - std::chrono::minutes(minutes));
  }
  bool Has(const std::string& name) const { return folder.Exists(name); }

  TestFolder folder{"crash"};
  const uint32_t m_flags = CrashReporterFlags;
};

}  // namespace

TEST_F(CrashFiles, PruningKeepsFourOfEachKindAndOnlyThisProgramsFiles) {
  TestReporter reporter(nullptr);
  UseFolder(reporter);
  for (int i = 0; i < 6; ++i) {
    const std::string n = std::to_string(i);
    Touch(Name("x" + n + ".xml"), 60 - i);  // x0 is the oldest
    Touch(Name("t" + n + ".tmp"), 90 - i);
    Touch("other_" + n + ".xml", 90 - i);
    if (i < 5)
      Touch(Name("d" + n + ".dmp"), 50 - i);
    if (i < 4)
      Touch(Name("g" + n + ".gid"), 40 - i);
  }
  ASSERT_TRUE(fs::create_directory(folder.PathOf(Name("dir.xml"))));
  LogCapture log;
  reporter.DeleteOldLoggedFiles();

  for (const char* gone : {"x0.xml", "x1.xml", "d0.dmp"})
    EXPECT_FALSE(Has(Name(gone))) << gone;
  for (const char* kept : {"x2.xml", "x5.xml", "d1.dmp", "d4.dmp", "g0.gid", "t0.tmp", "dir.xml"})
    EXPECT_TRUE(Has(Name(kept))) << kept;
  EXPECT_TRUE(Has("other_0.xml"));
  EXPECT_EQ(log.lines.size(), 3u);
  EXPECT_TRUE(log.Has("CrashReporterFile::DeleteOldLoggedFiles Deleting '" +
                      std::string(CrashReporterBasic::CrashFolder()) + Name("x0.xml") + "'\n"));
}

TEST_F(CrashFiles, FolderRules) {
  TestReporter reporter(nullptr);
  const std::string base = folder.Path().c_str();
  const std::pair<std::string, std::string> cases[] = {
      {base, base + "\\"}, {base + "\\", base + "\\"}, {base + "/", base + "/"}};
  for (const auto& [given, used] : cases) {
    reporter.SetFolder(given.c_str());
    EXPECT_EQ(CrashReporterBasic::CrashFolder(), used);
  }
  // None given, or one too long: the per-user folder, created.
  for (const std::string& given : {std::string(), "C:\\" + std::string(300, 'a')}) {
    reporter.SetFolder(given.empty() ? nullptr : given.c_str());
    const std::string perUser = CrashReporterBasic::CrashFolder();
    EXPECT_EQ(perUser.substr(perUser.size() - 17), "\\Zum\\CrashReport\\");
    EXPECT_TRUE(GetFileAttributesA(perUser.c_str()) & FILE_ATTRIBUTE_DIRECTORY);
  }
}

TEST_F(CrashFiles, SaveReplacesTheReportOnlyWithACompleteOne) {
  TestReporter reporter(nullptr);
  UseFolder(reporter);
  const std::string xml = Name(reporter.BaseName()) + ".xml";
  Touch(xml, 0, "old report");

  // Written as rendered, up to the closing tag: the blanks after it stay out.
  const std::string saved = kReportText;
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

TEST_F(CrashFiles, SendReportAgainstTheCollectionService) {
  NEED_COLLECTOR();
  ServiceBehaviour normal;
  Client client;
  ASSERT_NE(client.session, 0u);
  TestReporter reporter(&client.tovik);
  Touch("crash.dmp", 0, std::string(5000, 'm'));
  const std::string dump = folder.Join("crash.dmp").c_str();

  // A report that ends before its measured size goes out blank-filled to that size.
  Document report(kReport, 100, false);
  EXPECT_TRUE(reporter.SendReport(report, dump.c_str(), &client.tovik));
  BinXML::String nothing;
  EXPECT_TRUE(reporter.SendReport(nothing, dump.c_str(), &client.tovik));
  reporter.SetMinidumpEnabled(false);
  EXPECT_TRUE(reporter.SendReport(nothing, dump.c_str(), &client.tovik));  // nothing to send
  reporter.SetMinidumpEnabled(true);

  const std::string session = "session=" + std::to_string(client.session);
  auto crashes = Query("crashes " + session);
  ASSERT_EQ(crashes.size(), 2u);
  EXPECT_EQ(crashes[0][3], "8");
  EXPECT_EQ(crashes[0][8], std::to_string(kReportText.size() + 100));
  EXPECT_EQ(crashes[1][3], "10");
  EXPECT_EQ(Query("attachments " + session).size(), 2u);
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
    EXPECT_TRUE(
        log.Has("CrashReporterTovik::SendReport failed to receive receipt from "
                "'127.0.0.1:"));
  }
  Client refused(RefusingPort());
  TestReporter reporter(&refused.tovik);
  EXPECT_FALSE(reporter.SendReport(report, nullptr, &refused.tovik));
  EXPECT_TRUE(log.Has("CrashReporterTovik::SendReport not connected to '127.0.0.1:"));
  EXPECT_FALSE(reporter.SendReport(report, nullptr, nullptr));
}

TEST_F(CrashFiles, UploadSendsStoredReportsAndRemovesThemOnlyOnSuccess) {
  NEED_COLLECTOR();
  ServiceBehaviour normal;
  Client client, crashed;  // the upload continues the crashed run's session
  TestReporter reporter(&client.tovik);
  UseFolder(reporter);
  Touch(Name("a.xml"), 3, kReportText);
  Touch(Name("a.dmp"), 3, std::string(3000, 'd'));
  Touch(Name("a.gid"), 3, std::to_string(crashed.session));
  Touch(Name("b.xml"), 2, kReportText);
  Touch(Name("b.dmp"), 2, "");
  Touch(Name("c.xml"), 1, kReportText);
  Touch(Name("d.xml.tmp"), 1, "half a rep");
  Touch("other_e.xml", 1, kReportText);
  {
    ServiceBehaviour silent("silent kinds=8,10");
    FastClock clock;
    EXPECT_EQ(reporter.UploadLoggedFiles(), 0u);
  }
  EXPECT_FALSE(Has(Name("d.xml.tmp")));
  for (const char* kept : {"a.xml", "a.dmp", "a.gid", "b.xml", "c.xml"})
    EXPECT_TRUE(Has(Name(kept))) << kept;

  LogCapture log;
  EXPECT_EQ(reporter.UploadLoggedFiles(), 3u);
  for (const char* gone : {"a.xml", "a.dmp", "a.gid", "b.xml", "b.dmp", "c.xml"})
    EXPECT_FALSE(Has(Name(gone))) << gone;
  EXPECT_TRUE(Has("other_e.xml"));
  const std::string sending = "CrashReporterTovik::UploadLoggedFiles Sending '" +
                              std::string(CrashReporterBasic::CrashFolder());
  EXPECT_TRUE(log.Has(sending + Name("a.xml") + "' with minidump"));
  EXPECT_TRUE(log.Has(sending + Name("b.xml") + "' w/o minidump"));

  // In the crashed run's session (the silent service stored the first attempt as well).
  auto attachments = Query("attachments session=" + std::to_string(crashed.session));
  ASSERT_EQ(attachments.size(), 2u);
  EXPECT_EQ(attachments[1][2], Name("a.dmp"));
}

TEST_F(CrashFiles, InstallTwiceInstallsOnce) {
  TestReporter reporter(nullptr);
  UseFolder(reporter);
  const LPTOP_LEVEL_EXCEPTION_FILTER original = SetUnhandledExceptionFilter(nullptr);
  SetUnhandledExceptionFilter(original);
  EXPECT_EQ(reporter.Install(), 0);
  EXPECT_EQ(reporter.Install(), 0);
  // Installed once: one uninstall gives the original filter back.
  EXPECT_EQ(reporter.Uninstall(), 0);
  EXPECT_FALSE(reporter.IsInstalled());
  EXPECT_EQ(SetUnhandledExceptionFilter(original), original);
}

// Without a minidump: the report goes to the standard output and the service, the last error
// survives the sequence, and a delivered report leaves nothing behind.
TEST_F(CrashFiles, CrashSequenceReportsAndKeepsTheLastError) {
  NEED_COLLECTOR();
  Client client;
  ServiceBehaviour normal;
  CrashReporterFlags |= CrashFlag::NoMinidump;
  TestReporter reporter(&client.tovik);
  UseFolder(reporter);
  CapturedCrash crash(0x80000003);
  long verdict;
  {
    StdoutToFile out(folder.PathOf("stdout.txt"));
    SetLastError(0x1234);
    verdict = reporter.HandleException(&crash.pointers);
  }
  EXPECT_EQ(verdict, 1);
  EXPECT_EQ(reporter.GetLastErrorValue(), 0x1234u);
  const std::string printed = folder.Read("stdout.txt");
  EXPECT_EQ(printed.rfind("<?xml", 0), 0u);
  EXPECT_NE(printed.find("<lasterror>0x1234</lasterror>"), std::string::npos);
  EXPECT_EQ(printed.substr(printed.size() - 16), "</crash_report>\n");
  for (const auto& entry : fs::directory_iterator(folder.Native()))
    EXPECT_EQ(entry.path().filename(), "stdout.txt");
  EXPECT_EQ(Query("crashes session=" + std::to_string(client.session)).size(), 1u);
  EXPECT_TRUE(Query("attachments session=" + std::to_string(client.session)).empty());
  EXPECT_FALSE(reporter.WriteMinidump(&crash.pointers, folder.Join("no/such.dmp").c_str()));
}

// Crashes again as soon as the handling of the first crash begins.
TEST_F(CrashFiles, SecondCrashDuringHandlingIsPassedOnAtOnce) {
  struct Nested : CrashCallback {
    CrashReporter* reporter = nullptr;
    EXCEPTION_POINTERS* pointers = nullptr;
    int begins = 0, ends = 0;
    long verdict = -1;
    void OnCrashBegin() override {
      if (++begins == 1)
        verdict = reporter->HandleException(pointers);
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
  long first, next;
  {
    StdoutToFile out(folder.PathOf("stdout.txt"));
    first = reporter.HandleException(&crash.pointers);
    next = reporter.HandleException(&crash.pointers);  // handled again once the first is done
  }
  EXPECT_EQ(nested.verdict, 0);  // continue-search, without a sequence of its own
  EXPECT_EQ(first, 1);
  EXPECT_EQ(next, 1);
  EXPECT_EQ(nested.begins, 2);
  EXPECT_EQ(nested.ends, 2);
}
