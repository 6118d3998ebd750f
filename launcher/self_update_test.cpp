#include "launcher/self_update.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "plugin/action_dll_holder.h"
#include "plugin/per_user_folders.h"
#include "plugin/sha1.h"
#include "tests/launcher_integration/test_folder.h"
#include "tests/support/peer_env.h"

namespace {

const std::wstring kNewPlugin = WindowsPathOfBuildFile(GV_FIXTURE_PLUGIN_NEW);

TEST(SelfUpdate, ProgressNeverShowsZeroOnceReported) {
  const struct {
    int64_t done, total;
    int32_t percent;
  } cases[] = {
      {1, 1000, 1},    {999, 1000, 99},   {0, 1000, 1},
      {500, 1000, 50}, {1000, 1000, 100}, {0, 0, 100},
      {5, 0, 100},     {2000, 1000, 100}, {int64_t(1) << 40, int64_t(1) << 41, 50},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.done) + " of " + std::to_string(c.total));
    EXPECT_EQ(ProgressPercent(c.done, c.total), c.percent);
  }
}

TEST(SelfUpdate, ErrorTextNamesAbsoluteFoldersAndLooksUpOthers) {
  const char prefix[] = "ERROR within update.  Check for write permissions for ";
  for (const char* folder : {"C:\\Games\\Galvorand\\", "\\\\server\\share", "/games"}) {
    SCOPED_TRACE(folder);
    EXPECT_STREQ(UpdateErrorText(folder).c_str(), (CCString(prefix) + folder).c_str());
  }
  CCString loc = GetLocFilePath("gv-update-target");
  ASSERT_TRUE(WriteWholeFile(Widen(loc.c_str()), "\xEF\xBB\xBFthe game folder\r\n"));
  EXPECT_STREQ(UpdateErrorText("gv-update-target").c_str(),
               (CCString(prefix) + "the game folder").c_str());
  DeleteFileW(Widen(loc.c_str()).c_str());
  EXPECT_STREQ(UpdateErrorText("gv-update-target").c_str(), prefix);
}

// Watches for a message box with `caption` on another thread: keeps its text and presses OK.
class MessageBoxWatcher {
 public:
  explicit MessageBoxWatcher(const wchar_t* caption)
      : m_caption(caption), m_thread([this] { Watch(); }) {}
  ~MessageBoxWatcher() {
    m_stop = true;
    m_thread.join();
  }
  int Seen() const { return m_seen; }
  std::string Text() const { return m_text; }

 private:
  void Watch() {
    while (!m_stop) {
      if (HWND box = FindWindowW(L"#32770", m_caption)) {
        EnumChildWindows(box, &CollectStatic, reinterpret_cast<LPARAM>(this));
        ++m_seen;
        PostMessageW(box, WM_COMMAND, IDOK, 0);
        while (IsWindow(box) && !m_stop)
          Sleep(10);
      }
      Sleep(10);
    }
  }
  static BOOL CALLBACK CollectStatic(HWND child, LPARAM self) {
    wchar_t className[32] = {}, text[1024] = {};
    GetClassNameW(child, className, 32);
    if (lstrcmpiW(className, L"Static") == 0 && GetWindowTextW(child, text, 1024) > 0)
      reinterpret_cast<MessageBoxWatcher*>(self)->m_text = Narrow(text);
    return TRUE;
  }

  const wchar_t* m_caption;
  std::atomic<bool> m_stop{false};
  std::atomic<int> m_seen{0};
  std::string m_text;
  std::thread m_thread;
};

// The reference plug-in, loaded as the launcher loads it, updating a folder from a digest on
// the test web server.
class RunSelfUpdateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_pluginLoadCount = 0;
    ASSERT_TRUE(g_actionHolder.LoadFrom(Narrow(kNewPlugin).c_str()));
    SetEnvironmentVariableW(L"GV_PLUGIN_RECORD", m_target.PathOf(L"record.txt").c_str());
  }
  void TearDown() override {
    SetEnvironmentVariableW(L"GV_PLUGIN_RECORD", nullptr);
    g_actionHolder.Unload();
  }
  // Publishes `files` (name, bytes) under a fresh folder of the web server; returns the digest's
  // address.
  std::string Publish(const std::vector<std::pair<std::string, std::string>>& files) {
    std::string key = "selfupdate-" + gvtest::UniqueKey();
    std::wstring folder = WindowsPathOfBuildFile((gvtest::PeerText("GV_WWW") + "/" + key).c_str());
    CreateDirectoryW(folder.c_str(), nullptr);
    std::string digest = "galvorand-digest 1\n";
    for (const auto& [name, bytes] : files) {
      uint8_t sha[Sha1::kDigestSize];
      Sha1::Digest(bytes.data(), bytes.size(), sha);
      digest += std::string(Sha1::Hex(sha).c_str()) + " " + std::to_string(bytes.size()) + " " +
                name + "\n";
      EXPECT_TRUE(WriteWholeFile(folder + L"\\" + Widen(name), bytes));
    }
    EXPECT_TRUE(WriteWholeFile(folder + L"\\DIGEST", digest));
    return "http://127.0.0.1:" + std::to_string(gvtest::PortOf("GV_HTTP_PORT")) + "/" + key +
           "/DIGEST";
  }
  CCString TargetFolder() const { return Narrow(m_target.Path() + L"\\").c_str(); }

  TestFolder m_target{L"selfupdate"};
};

TEST_F(RunSelfUpdateTest, ThePluginUpdatesTheFolderUnderTheDialog) {
  NEED_PEER("GV_WWW");
  std::string dll = gvtest::Pattern(0, 300000);
  std::string url = Publish({{"Galvorand.dll", dll}, {"readme.txt", "hello"}});
  ASSERT_TRUE(m_target.Write(L"Galvorand.dll", "old contents"));
  ASSERT_TRUE(m_target.Write(L"readme.txt", "hello"));

  MessageBoxWatcher watcher(L"Update Error");
  EXPECT_EQ(RunSelfUpdate(url.c_str(), TargetFolder()), kSelfUpdateDone);
  EXPECT_EQ(watcher.Seen(), 0);
  EXPECT_EQ(m_target.Read(L"Galvorand.dll"), dll);

  std::string record = m_target.Read(L"record.txt");
  EXPECT_NE(record.find("digest=" + url + "\n"), std::string::npos) << record;
  EXPECT_NE(record.find("folder=" + std::string(TargetFolder().c_str()) + "\n"), std::string::npos);
  EXPECT_NE(record.find("product=Galvorand\ncontext=set\nreserved=0\n"), std::string::npos);
  EXPECT_NE(record.find("changed=1\n"), std::string::npos);  // readme.txt was current
  EXPECT_NE(record.find("progress=0/300000 answer=0\n"), std::string::npos);
  EXPECT_NE(record.find("progress=300000/300000 answer=0\n"), std::string::npos);
  EXPECT_NE(record.find("result=1\n"), std::string::npos);
}

TEST_F(RunSelfUpdateTest, AFailedUpdateShowsOneMessageBoxAndAnswersFailure) {
  NEED_PEER("GV_HTTP_PORT");
  std::string url =
      "http://127.0.0.1:" + std::to_string(gvtest::PortOf("GV_HTTP_PORT")) + "/status-404";
  MessageBoxWatcher watcher(L"Update Error");
  EXPECT_EQ(RunSelfUpdate(url.c_str(), TargetFolder()), kSelfUpdateFailed);
  EXPECT_EQ(watcher.Seen(), 1);
  EXPECT_EQ(watcher.Text(), "ERROR within update.  Check for write permissions for " +
                                std::string(TargetFolder().c_str()));
  EXPECT_NE(m_target.Read(L"record.txt").find("result=-1\n"), std::string::npos);
}

}  // namespace
