#include "launcher/self_update.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "plugin/action_dll_holder.h"
#include "plugin/per_user_folders.h"
#include "tests/support/launcher_process.h"
#include "tests/support/test_folder.h"
#include "tests/support/peer_env.h"

namespace {

const std::wstring kNewPlugin = WindowsPathOfBuildFile(GV_FIXTURE_PLUGIN_NEW);

TEST(SelfUpdate, ProgressNeverShowsZeroOnceReported) {
  const struct {
    int64_t done, total;
    int32_t percent;
  } cases[] = {
      {1, 1000, 1},     {999, 1000, 99}, {0, 1000, 1},
      {1000, 1000, 100}, {0, 0, 100},    {2000, 1000, 100},
      {int64_t(1) << 40, int64_t(1) << 41, 50},
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

// The reference plug-in, loaded as the launcher loads it. (The successful update under the
// dialog is covered end to end in tests/plugin_integration.)
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
  CCString TargetFolder() const { return m_target.Path() + "\\"; }

  TestFolder m_target{L"selfupdate"};
};

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
