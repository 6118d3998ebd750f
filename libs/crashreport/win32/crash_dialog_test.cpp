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

// ---- Reading the template back ----

struct ParsedItem {
  size_t paddingFrom = 0;  // where the previous record ended
  size_t offset = 0;
  uint32_t helpId = 0, extendedStyle = 0, style = 0;
  int16_t x = 0, y = 0, width = 0, height = 0;
  uint32_t id = 0;
  uint16_t classMarker = 0, classNumber = 0;
  std::string text;
  uint16_t creationData = 0;
};

struct ParsedTemplate {
  uint16_t version = 0, signature = 0;
  uint32_t helpId = 0, extendedStyle = 0, style = 0;
  uint16_t itemCount = 0;
  int16_t x = 0, y = 0, width = 0, height = 0;
  uint16_t menu = 0, windowClass = 0;
  std::string title;
  uint16_t points = 0, weight = 0;
  uint8_t italic = 0, charset = 0;
  std::string face;
  std::vector<ParsedItem> items;
  size_t end = 0;  // where the last item ended
};

class Reader {
 public:
  explicit Reader(const std::vector<uint8_t>& bytes) : m_bytes(bytes) {}
  uint8_t Byte() { return m_at < m_bytes.size() ? m_bytes[m_at++] : (m_overrun = true, 0); }
  uint16_t Word() { return static_cast<uint16_t>(Byte() | Byte() << 8); }
  uint32_t Dword() { return Word() | static_cast<uint32_t>(Word()) << 16; }
  // A UTF-16 text up to its terminator, kept only when every unit is ASCII.
  std::string Text() {
    std::string text;
    for (uint16_t unit = Word(); unit && !m_overrun; unit = Word())
      text += unit < 0x80 ? static_cast<char>(unit) : '?';
    return text;
  }
  void AlignToDword() { m_at = (m_at + 3) & ~size_t{3}; }
  size_t At() const { return m_at; }
  bool Overrun() const { return m_overrun; }

 private:
  const std::vector<uint8_t>& m_bytes;
  size_t m_at = 0;
  bool m_overrun = false;
};

ParsedTemplate Parse(const std::vector<uint8_t>& bytes) {
  Reader r(bytes);
  ParsedTemplate t;
  t.version = r.Word();
  t.signature = r.Word();
  t.helpId = r.Dword();
  t.extendedStyle = r.Dword();
  t.style = r.Dword();
  t.itemCount = r.Word();
  t.x = r.Word(), t.y = r.Word(), t.width = r.Word(), t.height = r.Word();
  t.menu = r.Word();
  t.windowClass = r.Word();
  t.title = r.Text();
  t.points = r.Word();
  t.weight = r.Word();
  t.italic = r.Byte();
  t.charset = r.Byte();
  t.face = r.Text();
  for (int i = 0; i < t.itemCount && !r.Overrun(); ++i) {
    ParsedItem item;
    item.paddingFrom = r.At();
    r.AlignToDword();
    item.offset = r.At();
    item.helpId = r.Dword();
    item.extendedStyle = r.Dword();
    item.style = r.Dword();
    item.x = r.Word(), item.y = r.Word(), item.width = r.Word(), item.height = r.Word();
    item.id = r.Dword();
    item.classMarker = r.Word();
    item.classNumber = r.Word();
    item.text = r.Text();
    item.creationData = r.Word();
    t.items.push_back(item);
  }
  EXPECT_FALSE(r.Overrun()) << "the template ends inside a field";
  t.end = r.At();
  return t;
}

std::vector<uint8_t> BuiltTemplate() {
  std::vector<uint8_t> bytes(Vorq::ReproDialogTemplateSize());
  EXPECT_EQ(Vorq::BuildReproDialogTemplate(bytes.data(), bytes.size()), bytes.size());
  return bytes;
}

TEST(CrashDialogTemplate, HeaderTitleAndFont) {
  const ParsedTemplate t = Parse(BuiltTemplate());
  EXPECT_EQ(t.version, 1);
  EXPECT_EQ(t.signature, 0xFFFF);
  EXPECT_EQ(t.helpId, 0u);
  EXPECT_EQ(t.extendedStyle, 0u);
  EXPECT_EQ(t.style, 0x80C000C8u);
  EXPECT_EQ(t.itemCount, 3);
  EXPECT_EQ((std::vector<int>{t.x, t.y, t.width, t.height}), (std::vector<int>{0, 0, 200, 100}));
  EXPECT_EQ(t.menu, 0);
  EXPECT_EQ(t.windowClass, 0);
  EXPECT_EQ(t.title, "Crash Reporter");
  EXPECT_EQ(t.points, 8);
  EXPECT_EQ(t.weight, 400);
  EXPECT_EQ(t.italic, 0);
  EXPECT_EQ(t.face, "MS Shell Dlg");
}

TEST(CrashDialogTemplate, ThreeItemsEachOnADwordBoundaryAndNothingAfter) {
  const std::vector<uint8_t> bytes = BuiltTemplate();
  const ParsedTemplate t = Parse(bytes);
  struct Expected {
    uint32_t id;
    uint16_t classNumber;
    uint32_t style;
    std::vector<int> box;
    std::string text;
  };
  const Expected expected[] = {
      {150,
       0x0082,
       0x50000000,
       {2, 2, 196, 16},
       "Please enter some information about what you were doing when the crash occurred:"},
      {200, 0x0081, 0x508110C4, {2, 20, 196, 64}, ""},
      {1, 0x0080, 0x58010001, {80, 86, 40, 12}, "OK"},
  };
  ASSERT_EQ(t.items.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(expected[i].id);
    const ParsedItem& item = t.items[i];
    EXPECT_EQ(item.offset % 4, 0u);
    EXPECT_EQ(item.helpId, 0u);
    EXPECT_EQ(item.extendedStyle, 0u);
    EXPECT_EQ(item.style, expected[i].style);
    EXPECT_EQ((std::vector<int>{item.x, item.y, item.width, item.height}), expected[i].box);
    EXPECT_EQ(item.id, expected[i].id);
    EXPECT_EQ(item.classMarker, 0xFFFF);
    EXPECT_EQ(item.classNumber, expected[i].classNumber);
    EXPECT_EQ(item.text, expected[i].text);
    EXPECT_EQ(item.creationData, 0);
  }
  // Padding before each item is zero, and the template ends with the last item.
  for (const ParsedItem& item : t.items) {
    for (size_t at = item.paddingFrom; at < item.offset; ++at)
      EXPECT_EQ(bytes[at], 0) << "padding at " << at;
  }
  EXPECT_EQ(t.end, bytes.size());
}

TEST(CrashDialogTemplate, TooSmallABufferIsLeftUntouched) {
  const uint32_t size = Vorq::ReproDialogTemplateSize();
  std::vector<uint8_t> bytes(size, 0xAB);
  EXPECT_EQ(Vorq::BuildReproDialogTemplate(bytes.data(), size - 1), 0u);
  EXPECT_EQ(bytes, std::vector<uint8_t>(size, 0xAB));
  EXPECT_EQ(Vorq::BuildReproDialogTemplate(nullptr, size), 0u);
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
  bool looked = false;
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
    looked = true;
    PressOk(dialog);
  });
  EXPECT_TRUE(looked);
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

TEST(CrashDialog, CancelAndEscapeKeepTheBufferAsItWas) {
  struct Case {
    const char* name;
    std::function<void(HWND)> dismiss;
  };
  const Case cases[] = {
      {"cancel", [](HWND dialog) { SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, 0), 0); }},
      // Posted like a key press, so it goes through the dialog's own message loop.
      {"escape",
       [](HWND dialog) {
         PostMessageA(Item(dialog, Vorq::kReproTextId), WM_KEYDOWN, VK_ESCAPE, 0x00010001);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ReproBuffer buffer("");
    const std::vector<char> before = buffer.bytes;
    const int result = RunDialog(buffer, [&](HWND dialog) {
      Type(dialog, "not sent");
      c.dismiss(dialog);
    });
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(buffer.bytes == before);
  }
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
