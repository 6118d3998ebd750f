// The crash dialog: its in-memory template byte by byte, and the real dialog run on the test's
// thread while a second thread plays the user through window messages.
#include "libs/crashreport/win32/crash_dialog.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

// ---- The template ----

// The template a dialog expects, written field by field: little-endian words, UTF-16 texts,
// and each item on a DWORD boundary.
struct Expected {
  std::vector<uint8_t> bytes;
  Expected& Word(uint16_t value) {
    bytes.insert(bytes.end(), {uint8_t(value), uint8_t(value >> 8)});
    return *this;
  }
  Expected& Dword(uint32_t value) { return Word(uint16_t(value)).Word(uint16_t(value >> 16)); }
  Expected& Text(const char* text) {
    while (*text)
      Word(uint8_t(*text++));
    return Word(0);
  }
  Expected& Align() {
    bytes.resize((bytes.size() + 3) / 4 * 4);
    return *this;
  }
};

TEST(CrashDialogTemplate, FieldsInOrderWithEachItemOnADwordBoundary) {
  Expected t;
  // Version 1 of the extended form, no help id or extended style, the style, three items.
  t.Word(1).Word(0xFFFF).Dword(0).Dword(0).Dword(0x80C000C8).Word(3);
  t.Word(0).Word(0).Word(200).Word(100);  // x, y, width, height
  // No menu, the default class, the title; the font: points, weight, not italic, charset.
  t.Word(0).Word(0).Text("Crash Reporter").Word(8).Word(400).Word(DEFAULT_CHARSET << 8);
  t.Text("MS Shell Dlg");
  const struct {
    uint32_t style;
    int x, y, width, height;
    uint32_t id;
    uint16_t classNumber;  // of a predefined class
    const char* text;
  } items[] = {
      {0x50000000, 2, 2, 196, 16, 150, 0x0082,
       "Please enter some information about what you were doing when the crash occurred:"},
      {0x508110C4, 2, 20, 196, 64, 200, 0x0081, ""},
      {0x58010001, 80, 86, 40, 12, 1, 0x0080, "OK"},
  };
  for (const auto& i : items) {  // help id, extended style, ..., no creation data
    t.Align().Dword(0).Dword(0).Dword(i.style);
    t.Word(i.x).Word(i.y).Word(i.width).Word(i.height).Dword(i.id);
    t.Word(0xFFFF).Word(i.classNumber).Text(i.text).Word(0);
  }
  std::vector<uint8_t> bytes(Vorq::ReproDialogTemplateSize());
  ASSERT_EQ(Vorq::BuildReproDialogTemplate(bytes.data(), bytes.size()), bytes.size());
  EXPECT_EQ(bytes, t.bytes);

  // A buffer one byte short is left untouched.
  std::vector<uint8_t> tooSmall(bytes.size(), 0xAB);
  EXPECT_EQ(Vorq::BuildReproDialogTemplate(tooSmall.data(), bytes.size() - 1), 0u);
  EXPECT_EQ(tooSmall, std::vector<uint8_t>(bytes.size(), 0xAB));
}

// ---- The running dialog ----

// Runs AskReproSteps on this thread while `user` acts on the dialog from a second thread.
// A dialog still open afterwards is cancelled and reported, so a failing case cannot hang
// the suite.
int RunDialog(char* buffer, const std::function<void(HWND dialog)>& user) {
  std::thread userThread([&] {
    // A loaded machine may take seconds to show the window; one that shows up only after
    // the wait is still closed, so the dialog's own thread cannot stay blocked.
    HWND dialog = nullptr;
    for (int attempt = 0; attempt < 6000 && !(dialog && IsWindowVisible(dialog)); ++attempt) {
      Sleep(10);
      dialog = FindWindowA("#32770", "Crash Reporter");
    }
    if (!dialog || !IsWindowVisible(dialog)) {
      ADD_FAILURE() << "no \"Crash Reporter\" window appeared";
      for (int attempt = 0; attempt < 6000 && !dialog; ++attempt) {
        Sleep(10);
        dialog = FindWindowA("#32770", "Crash Reporter");
      }
      if (dialog)
        PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
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
  const int result = Vorq::AskReproSteps(buffer);
  userThread.join();
  return result;
}

// The user types character by character, may then replace the whole text, and confirms or
// cancels. The dialog is centred with the focus in the text; OK is enabled once the text
// changed, even back to empty. Line ends become CR LF, a long answer is cut to fit with its
// terminator, a cancel leaves the buffer as it was, and nothing is written past it.
TEST(CrashDialog, TheAnswerIsWrittenWholeCutOrNotAtAll) {
  constexpr size_t kGuard = 64;
  std::string longAnswer;
  for (int i = 0; i < 5000; ++i)
    longAnswer += static_cast<char>('a' + i % 26);
  const struct {
    const char* initial;
    std::string typed, replacement;
    bool confirm;
    std::string answer;
  } cases[] = {
      {"", "Opened the map\rthen clicked Play", "", true, "Opened the map\r\nthen clicked Play"},
      {"left over", "x\b", "", true, ""},
      {"", "-", longAnswer, true, longAnswer.substr(0, Vorq::kReproStepsCapacity - 1)},
      {"", "not sent", "", false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.typed);
    std::vector<char> buffer(Vorq::kReproStepsCapacity + kGuard, '#');
    std::memset(buffer.data(), 'Z', Vorq::kReproStepsCapacity);
    std::strcpy(buffer.data(), c.initial);
    const std::vector<char> before = buffer;
    const int result = RunDialog(buffer.data(), [&](HWND dialog) {
      SCOPED_TRACE(c.typed);  // a trace is the thread's own
      RECT own, desktop;
      GetWindowRect(dialog, &own);
      GetWindowRect(GetDesktopWindow(), &desktop);
      EXPECT_NEAR(own.left + own.right, desktop.left + desktop.right, 1);
      EXPECT_NEAR(own.top + own.bottom, desktop.top + desktop.bottom, 1);
      HWND text = GetDlgItem(dialog, Vorq::kReproTextId), ok = GetDlgItem(dialog, Vorq::kReproOkId);
      GUITHREADINFO gui = {};
      gui.cbSize = sizeof gui;
      EXPECT_TRUE(GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &gui));
      EXPECT_EQ(gui.hwndFocus, text);

      EXPECT_FALSE(IsWindowEnabled(ok));
      for (char ch : c.typed)
        SendMessageA(text, WM_CHAR, static_cast<unsigned char>(ch), 1);
      EXPECT_TRUE(IsWindowEnabled(ok));
      if (!c.replacement.empty())
        SendMessageA(text, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(c.replacement.c_str()));
      if (c.confirm)
        SendMessageA(ok, BM_CLICK, 0, 0);
      else
        SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, 0), 0);
    });
    EXPECT_EQ(result, c.confirm ? 1 : 0);
    if (c.confirm)
      EXPECT_EQ(std::string(buffer.data()), c.answer);
    else
      EXPECT_TRUE(buffer == before);
    EXPECT_TRUE(std::equal(buffer.end() - kGuard, buffer.end(), before.end() - kGuard));
  }
}

}  // namespace
