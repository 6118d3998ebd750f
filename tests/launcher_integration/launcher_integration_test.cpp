// The real Galvorand.exe, run in a fresh folder per case beside the fixture application DLL
// (tests/fixtures/app_dll). Checked: exit code, the log beside it and what the DLL received.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "tests/support/launcher_process.h"
#include "tests/support/peer_env.h"
#include "tests/support/test_folder.h"

namespace {

const std::wstring kLauncher = WindowsPathOfBuildFile(GV_LAUNCHER_EXE);
const std::wstring kAppDll = WindowsPathOfBuildFile(GV_FIXTURE_APP_DLL);
const std::wstring kNoLaunchDll = WindowsPathOfBuildFile(GV_FIXTURE_NO_LAUNCH_DLL);

// The launcher's exit codes of its own.
constexpr int32_t kDllNotLoaded = -4;
constexpr int32_t kDllTooOld = -5;
// A C++ exception nothing caught becomes a crash with the code of C++ exceptions.
constexpr int32_t kUncaughtException = int32_t(0xE06D7363);

// One launcher folder: the executable under `exeName` ("Galvorand.exe" unless a case needs
// another), the application DLL beside it under the same base name, a record file for the
// fixture's calls, and the environment that drives the fixture.
class LauncherFolder {
 public:
  explicit LauncherFolder(const std::wstring& label = L"launch",
                          const std::wstring& exeName = L"Galvorand.exe")
      : m_folder(label), m_exeName(exeName) {
    m_baseName = exeName.substr(0, exeName.rfind(L'.'));
    EXPECT_TRUE(m_folder.IsValid());
    EXPECT_TRUE(m_folder.CopyIn(kLauncher, m_exeName));
    // The plug-in refresh is tested on its own road (tests/plugin_integration): off here, so
    // each case sees only the application DLL's. A case may write its own "-user.ini".
    EXPECT_TRUE(m_folder.Write(m_baseName + L"-user.ini", "[Settings]\nselfPatch=false\n"));
    SetFixture(L"GV_FIXTURE_RECORD", m_folder.PathOf(L"record.txt"));
  }

  const TestFolder& Folder() const { return m_folder; }
  std::wstring DllName() const { return m_baseName + L".dll"; }
  std::wstring LogName() const { return m_baseName + L".log"; }
  std::string DllPathText() const { return Narrow(m_folder.PathOf(DllName())); }

  void InstallDll(const std::wstring& source) { EXPECT_TRUE(m_folder.CopyIn(source, DllName())); }
  void SetFixture(const std::wstring& name, const std::wstring& value) {
    m_options.environment.emplace_back(name, value);
  }
  // The log beside the launcher holds one banner naming `version`, then `line`. (The banner's
  // form is the file logger's business: its date is skipped here.)
  void ExpectLog(const std::string& version, const std::string& line) const {
    std::string text = m_folder.Read(LogName());
    EXPECT_EQ(text.substr(0, 17), "**** Starting at ") << text;
    EXPECT_EQ(text.substr(std::min<size_t>(42, text.size())),
              "with version " + version + " ****\r\n" + line + "\r\n");
  }
  std::vector<FixtureCall> Calls() const {
    return ParseFixtureRecord(m_folder.Read(L"record.txt"));
  }
  ProcessOptions& Options() { return m_options; }

  // Runs the launcher; a run that does not end in time or does not start fails the case.
  int32_t Run(const std::wstring& arguments = L"") {
    m_options.arguments = arguments;
    ProcessResult result = RunProcess(m_folder.PathOf(m_exeName), m_options);
    EXPECT_TRUE(result.started) << "CreateProcessW error " << result.startError;
    EXPECT_TRUE(result.finished) << "the launcher did not end in time";
    return result.exitCode;
  }

 private:
  TestFolder m_folder;
  std::wstring m_exeName;
  std::wstring m_baseName;
  ProcessOptions m_options;
};

// Folder, executable and DLL names that are not ASCII (the DLL takes the executable's).
const wchar_t kNonAsciiFolder[] = L"Lan\u00e7eur \u03a9\u03bc\u03ad\u03b3\u03b1 \u6d4b\u8bd5";
const wchar_t kNonAsciiExe[] = L"Galv\u00f8rand.exe";

TEST(LauncherRun, HandsTheProcessToTheDllWithItsOwnArguments) {
  LauncherFolder launcher(kNonAsciiFolder, kNonAsciiExe);
  launcher.InstallDll(kAppDll);
  // The exit code is whatever the DLL answers, even the most negative one.
  launcher.SetFixture(L"GV_FIXTURE_EXIT", L"0x80000000");
  // Started elsewhere: the launcher must make its own folder the current directory.
  TestFolder elsewhere(L"cwd");
  launcher.Options().currentDirectory = elsewhere.Native().wstring();
  launcher.Options().showCommand = SW_SHOWMINNOACTIVE;
  const std::wstring arguments = L"loggingLevel=trace a=b=c  lonelyword url=site \"quoted=x y\"";

  EXPECT_EQ(launcher.Run(arguments), INT32_MIN);

  std::vector<FixtureCall> calls = launcher.Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0]["call"], "SL_GetDLLVersion");
  EXPECT_EQ(calls[0]["size"], "32");
  EXPECT_EQ(calls[0]["zeroed"], "1");
  EXPECT_EQ(calls[1]["call"], "SL_Launch2");
  EXPECT_EQ(calls[1]["instance_is_exe"], "1");
  EXPECT_EQ(calls[1]["previous_instance"], "null");
  EXPECT_EQ(calls[1]["command_line"], Narrow(arguments));
  EXPECT_EQ(calls[1]["show"], std::to_string(SW_SHOWMINNOACTIVE));
  EXPECT_EQ(calls[1]["launcher_version"], "4.0.0.320");
  EXPECT_EQ(calls[1]["reserved"], "0");
  EXPECT_EQ(calls[1]["module"], launcher.DllPathText());
  EXPECT_EQ(calls[1]["current_directory"], Narrow(launcher.Folder().Native().wstring()));
  // Nothing was worth logging, so the log file was never opened.
  EXPECT_FALSE(launcher.Folder().Exists(launcher.LogName()));
}

TEST(LauncherRun, TooOldBuildQuitsWithMinusFive) {
  // Which versions are too old is the start-up's table; a new enough one is every other run.
  LauncherFolder launcher;
  launcher.InstallDll(kAppDll);
  launcher.SetFixture(L"GV_FIXTURE_VERSION", L"1.0.0.151");
  // It fills all 32 offered bytes and writes no terminator: only those bytes are read.
  launcher.SetFixture(L"GV_FIXTURE_UNTERMINATED", L"1");
  launcher.SetFixture(L"GV_FIXTURE_EXIT", L"33");
  EXPECT_EQ(launcher.Run(), kDllTooOld);
  std::vector<FixtureCall> calls = launcher.Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0]["call"], "SL_GetDLLVersion");
  // The first message came after the DLL's version was known: the banner shows it.
  launcher.ExpectLog("1.0.0.151" + std::string(32 - 9, 'x'),
                     "*Error: Application DLL version 151 of " + launcher.DllPathText() +
                         " is too old! Quitting.");
}

TEST(LauncherRun, DllWithoutLaunchExportEndsAsACrashOfTheUncaughtException) {
  LauncherFolder launcher;
  launcher.InstallDll(kNoLaunchDll);
  // No service: the report stays in the crash folder.
  launcher.Folder().Write(L"Galvorand.ini", "[Settings]\ntovik=127.0.0.1:1\n");
  // Must end by itself, promptly and without a dialog that waits for a person.
  launcher.Options().timeoutMs = 60000;
  EXPECT_EQ(launcher.Run(), kUncaughtException);
  launcher.ExpectLog("1.0.0.200",
                     "*Error: Uncaught exception: Cannot load function: SL_Launch2! Quitting.");
}

TEST(LauncherRun, CrashInTheDllEndsWithItsExceptionCode) {
  // A code of no system's own, in all 32 bits (the crash road checks each kind of crash).
  LauncherFolder launcher;
  launcher.InstallDll(kAppDll);
  launcher.Folder().Write(L"Galvorand.ini", "[Settings]\ntovik=127.0.0.1:1\n");
  launcher.SetFixture(L"GV_FIXTURE_CRASH", L"raise");
  EXPECT_EQ(uint32_t(launcher.Run()), 0xE0C0FFEEu);
  ASSERT_EQ(launcher.Calls().size(), 2u);  // it did get as far as SL_Launch2
}

TEST(LauncherRun, NonAsciiFolderAndNamesAndADllThatDoesNotLoad) {
  // A DLL that does not load (which system error each cause gives is the DLL holder's
  // business). The log beside the launcher takes its name, and names the DLL in UTF-8.
  LauncherFolder launcher(kNonAsciiFolder, kNonAsciiExe);
  EXPECT_EQ(launcher.Run(), kDllNotLoaded);
  // The message came before any DLL version was known: the banner shows the launcher's.
  launcher.ExpectLog("4.0.0.320", "*Error: Failed to load " + launcher.DllPathText() +
                                      " with error " + std::to_string(ERROR_MOD_NOT_FOUND) +
                                      "! Quitting.");
}

// ---- The one-time notification -------------------------------------------------------

// An address on a test peer that no other case (or lane) asks for.
std::string NotifyAddress(const char* portVariable, const std::string& path) {
  return "http://127.0.0.1:" + gvtest::PeerText(portVariable) + path +
         "?case=" + gvtest::UniqueKey();
}

// Requests for `address` that reached the test web server, from its access log.
int RequestsSeen(const std::string& address) {
  std::string target = address.substr(address.find('/', std::string("http://").size()));
  std::string log = ReadWholeFile(
      WindowsPathOfBuildFile((gvtest::PeerText("GV_PEERS_DIR") + "/nginx-access.log").c_str()));
  int count = 0;
  for (size_t at = log.find(" " + target + " "); at != std::string::npos;
       at = log.find(" " + target + " ", at + 1))
    ++count;
  return count;
}

TEST(LauncherNotification, SentOnceThenRecordedBesideTheLauncher) {
  NEED_PEER("GV_HTTP_PORT");
  NEED_PEER("GV_PEERS_DIR");
  LauncherFolder launcher;
  launcher.InstallDll(kAppDll);
  launcher.SetFixture(L"GV_FIXTURE_EXIT", L"21");
  // The application's session lasts until the notification went through (at most 30 s).
  launcher.SetFixture(L"GV_FIXTURE_SESSION_UNTIL", launcher.Folder().PathOf(L"Galvorand.notified"));
  const std::string address = NotifyAddress("GV_HTTP_PORT", "/notify-ok");
  ASSERT_TRUE(launcher.Folder().Write(L"Galvorand.notify", address));

  EXPECT_EQ(launcher.Run(), 21);
  EXPECT_FALSE(launcher.Folder().Exists(L"Galvorand.notify"));
  EXPECT_EQ(launcher.Folder().Read(L"Galvorand.notified"), address);
  EXPECT_EQ(RequestsSeen(address), 1);

  // Sent once: with the record there, a new marker is left alone.
  ASSERT_TRUE(launcher.Folder().Write(L"Galvorand.notify", address));
  EXPECT_EQ(launcher.Run(), 21);
  EXPECT_EQ(RequestsSeen(address), 1);
  EXPECT_EQ(launcher.Folder().Read(L"Galvorand.notify"), address);
  EXPECT_EQ(launcher.Folder().Read(L"Galvorand.notified"), address);
}

TEST(LauncherNotification, SlowServerDoesNotHoldUpTheLauncher) {
  NEED_PEER("GV_FAULT_PORT");
  LauncherFolder launcher;
  launcher.InstallDll(kAppDll);
  launcher.SetFixture(L"GV_FIXTURE_EXIT", L"-9");
  launcher.SetFixture(L"GV_FIXTURE_COUNT_THREADS", L"1");
  // Answers after 60 s; the launcher must neither wait for that at the start nor at the end.
  const std::string address = NotifyAddress("GV_FAULT_PORT", "/slow/60000");
  ASSERT_TRUE(launcher.Folder().Write(L"Galvorand.notify", address));
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(launcher.Run(), -9);
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(took, std::chrono::seconds(15));  // a few seconds at most, even under emulation
  ASSERT_EQ(launcher.Calls().size(), 3u);
  EXPECT_EQ(launcher.Calls()[1]["call"], "SL_Launch2");
  // The notification's thread ran beside the application, and had ended before the process
  // went on to its exit (where the run-time's clean-up would pull things from under it).
  // Once the application runs, the background thread starts the crash handler's thread and
  // the telemetry thread; the telemetry thread comes and goes on its own (it ends once its
  // sessions are settled), so fewer may be left at the unload, never more.
  constexpr int kStartedOnceTheApplicationRuns = 2;
  EXPECT_EQ(launcher.Calls()[2]["call"], "unload");
  EXPECT_LE(std::stoi(launcher.Calls()[2]["threads"]),
            std::stoi(launcher.Calls()[1]["threads"]) - 1 + kStartedOnceTheApplicationRuns);
  // Cut off with the process: the marker waits for the next start.
  EXPECT_EQ(launcher.Folder().Read(L"Galvorand.notify"), address);
  EXPECT_FALSE(launcher.Folder().Exists(L"Galvorand.notified"));
}

}  // namespace
