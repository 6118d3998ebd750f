// The crash dialog: its in-memory template byte by byte, and the real dialog run on the test's
// thread while a second thread plays the user through window messages.
#include "libs/crashreport/win32/crash_dialog.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

// ---- The template ----

// Reads little-endian template fields in order; reading past the end yields zeros and is
// reported by Overrun().
class Reader {
 public:
  explicit Reader(const std::vector<uint8_t>& bytes) : m_bytes(bytes) {}
  uint8_t Byte() { return m_at < m_bytes.size() ? m_bytes[m_at++] : (m_overrun = true, 0); }
  uint16_t Word() { return static_cast<uint16_t>(Byte() | Byte() << 8); }
  uint32_t Dword() { return Word() | static_cast<uint32_t>(Word()) << 16; }
  std::vector<int> Box() {
    return {int16_t(Word()), int16_t(Word()), int16_t(Word()), int16_t(Word())};
  }
  // A UTF-16 text up to its terminator; non-ASCII units read as '?'.
  std::string Text() {
    std::string text;
    for (uint16_t unit = Word(); unit && !m_overrun; unit = Word())
      text += unit < 0x80 ? static_cast<char>(unit) : '?';
    return text;
  }
  // Skips the padding before a DWORD-aligned record; answers whether it was all zero.
  bool SkipZeroPadding() {
    bool zero = true;
    while (m_at % 4)
      zero = Byte() == 0 && zero;
    return zero;
  }
  size_t At() const { return m_at; }
  bool Overrun() const { return m_overrun; }

 private:
  const std::vector<uint8_t>& m_bytes;
  size_t m_at = 0;
  bool m_overrun = false;
};

TEST(CrashDialogTemplate, FieldsInOrderWithEachItemOnADwordBoundary) {
  std::vector<uint8_t> bytes(Vorq::ReproDialogTemplateSize());
  ASSERT_EQ(Vorq::BuildReproDialogTemplate(bytes.data(), bytes.size()), bytes.size());
  Reader r(bytes);
  EXPECT_EQ(r.Word(), 1);       // version
  EXPECT_EQ(r.Word(), 0xFFFF);  // the extended form
  EXPECT_EQ(r.Dword(), 0u);     // help id
  EXPECT_EQ(r.Dword(), 0u);     // extended style
  EXPECT_EQ(r.Dword(), 0x80C000C8u);
  EXPECT_EQ(r.Word(), 3);  // items
  EXPECT_EQ(r.Box(), (std::vector<int>{0, 0, 200, 100}));
  EXPECT_EQ(r.Word(), 0);  // menu
  EXPECT_EQ(r.Word(), 0);  // class
  EXPECT_EQ(r.Text(), "Crash Reporter");
  EXPECT_EQ(r.Word(), 8);    // points
  EXPECT_EQ(r.Word(), 400);  // weight
  EXPECT_EQ(r.Byte(), 0);    // italic
  r.Byte();                  // character set
  EXPECT_EQ(r.Text(), "MS Shell Dlg");

  struct Item {
    uint32_t style;
    std::vector<int> box;
    uint32_t id;
    uint16_t classNumber;
    std::string text;
  };
  const Item items[] = {
      {0x50000000,
       {2, 2, 196, 16},
       150,
       0x0082,
       "Please enter some information about what you were doing when the crash occurred:"},
      {0x508110C4, {2, 20, 196, 64}, 200, 0x0081, ""},
      {0x58010001, {80, 86, 40, 12}, 1, 0x0080, "OK"},
  };
  for (const Item& item : items) {
    SCOPED_TRACE(item.id);
    EXPECT_TRUE(r.SkipZeroPadding());
    EXPECT_EQ(r.Dword(), 0u);  // help id
    EXPECT_EQ(r.Dword(), 0u);  // extended style
    EXPECT_EQ(r.Dword(), item.style);
    EXPECT_EQ(r.Box(), item.box);
    EXPECT_EQ(r.Dword(), item.id);
    EXPECT_EQ(r.Word(), 0xFFFF);  // a predefined class follows
    EXPECT_EQ(r.Word(), item.classNumber);
    EXPECT_EQ(r.Text(), item.text);
    EXPECT_EQ(r.Word(), 0);  // no creation data
  }
  EXPECT_FALSE(r.Overrun());
  EXPECT_EQ(r.At(), bytes.size());

  // A buffer one byte short is left untouched.
  std::vector<uint8_t> tooSmall(bytes.size(), 0xAB);
  EXPECT_EQ(Vorq::BuildReproDialogTemplate(tooSmall.data(), bytes.size() - 1), 0u);
  EXPECT_EQ(tooSmall, std::vector<uint8_t>(bytes.size(), 0xAB));
}

// ---- The running dialog ----

constexpr size_t kGuard = 64;  // bytes past the buffer that must never change
constexpr char kGuardByte = '#';

// A repro-steps buffer with a guard zone behind it.
struct ReproBuffer {
  std::vector<char> bytes;
  explicit ReproBuffer(const char* initial)
      : bytes(Vorq::kReproStepsCapacity + kGuard, kGuardByte) {
    std::memset(bytes.data(), 'Z', Vorq::kReproStepsCapacity);
    std::strcpy(bytes.data(), initial);
  }
  char* data() { return bytes.data(); }
  std::string Text() const { return bytes.data(); }
  bool GuardIntact() const {
    return std::string(bytes.end() - kGuard, bytes.end()) == std::string(kGuard, kGuardByte);
  }
};

HWND FindDialog() {
  for (int attempt = 0; attempt < 1000; ++attempt) {
    HWND dialog = FindWindowA("#32770", "Crash Reporter");
    if (dialog && IsWindowVisible(dialog))
      return dialog;
    Sleep(10);
  }
  return nullptr;
}

// Runs AskReproSteps on this thread while `user` acts on the dialog from a second thread.
// Whatever `user` does, a dialog still open afterwards is cancelled and reported, so a
// failing case cannot hang the suite.
int RunDialog(ReproBuffer& buffer, const std::function<void(HWND dialog)>& user) {
  std::thread userThread([&] {
    HWND dialog = FindDialog();
    if (!dialog) {
      ADD_FAILURE() << "no \"Crash Reporter\" window appeared";
      return;
    }
    user(dialog);
    for (int attempt = 0; attempt < 500 && IsWindow(dialog); ++attempt)
      Sleep(10);
    if (IsWindow(dialog)) {
      ADD_FAILURE() << "the dialog is still open";
      PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
    }
  });
  const int result = Vorq::AskReproSteps(buffer.data());
  userThread.join();
  return result;
}

HWND Item(HWND dialog, uint32_t id) {
  return GetDlgItem(dialog, static_cast<int>(id));
}

void Type(HWND dialog, const std::string& text) {
  for (char c : text)
    SendMessageA(Item(dialog, Vorq::kReproTextId), WM_CHAR, static_cast<unsigned char>(c), 1);
}

void PressOk(HWND dialog) {
  SendMessageA(Item(dialog, Vorq::kReproOkId), BM_CLICK, 0, 0);
}

TEST(CrashDialog, CentredFocusedAndOkOnlyAfterTheTextChanged) {
  ReproBuffer buffer("");
  const int result = RunDialog(buffer, [&](HWND dialog) {
    RECT own, desktop;
    GetWindowRect(dialog, &own);
    GetWindowRect(GetDesktopWindow(), &desktop);
    EXPECT_NEAR(own.left + own.right, desktop.left + desktop.right, 1);
    EXPECT_NEAR(own.top + own.bottom, desktop.top + desktop.bottom, 1);

    GUITHREADINFO gui = {};
    gui.cbSize = sizeof gui;
    ASSERT_TRUE(GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &gui));
    EXPECT_EQ(gui.hwndFocus, Item(dialog, Vorq::kReproTextId));

    EXPECT_FALSE(IsWindowEnabled(Item(dialog, Vorq::kReproOkId)));
    Type(dialog, "Opened the map\r");
    EXPECT_TRUE(IsWindowEnabled(Item(dialog, Vorq::kReproOkId)));
    Type(dialog, "then clicked Play");
    PressOk(dialog);
  });
  EXPECT_EQ(result, 1);
  EXPECT_EQ(buffer.Text(), "Opened the map\r\nthen clicked Play");
  EXPECT_TRUE(buffer.GuardIntact());
}

TEST(CrashDialog, AnAnswerTypedThenErasedLeavesAnEmptyBuffer) {
  ReproBuffer buffer("left over");
  const int result = RunDialog(buffer, [](HWND dialog) {
    Type(dialog, "x\b");
    EXPECT_TRUE(IsWindowEnabled(Item(dialog, Vorq::kReproOkId)));
    PressOk(dialog);
  });
  EXPECT_EQ(result, 1);
  EXPECT_EQ(buffer.Text(), "");
}

// (The Escape key is pressed at the X display by the fixture's test.)
TEST(CrashDialog, CancelKeepsTheBufferAsItWas) {
  ReproBuffer buffer("");
  const std::vector<char> before = buffer.bytes;
  const int result = RunDialog(buffer, [](HWND dialog) {
    Type(dialog, "not sent");
    SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, 0), 0);
  });
  EXPECT_EQ(result, 0);
  EXPECT_TRUE(buffer.bytes == before);
}

TEST(CrashDialog, ALongAnswerIsCutTo4095Bytes) {
  std::string answer;
  for (int i = 0; i < 5000; ++i)
    answer += static_cast<char>('a' + i % 26);
  ReproBuffer buffer("");
  const int result = RunDialog(buffer, [&](HWND dialog) {
    Type(dialog, "-");  // the change that enables OK
    SendMessageA(Item(dialog, Vorq::kReproTextId), WM_SETTEXT, 0,
                 reinterpret_cast<LPARAM>(answer.c_str()));
    PressOk(dialog);
  });
  EXPECT_EQ(result, 1);
  EXPECT_EQ(buffer.bytes[Vorq::kReproStepsCapacity - 1], '\0');
  EXPECT_EQ(buffer.Text(), answer.substr(0, Vorq::kReproStepsCapacity - 1));
  EXPECT_TRUE(buffer.GuardIntact());
}

}  // namespace
