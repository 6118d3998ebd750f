// The crash dialog: asks the user what they were doing when the process crashed. It runs on
// the crashing thread while every other thread is suspended, so nothing here allocates from
// the heap, takes a lock or throws: the template is written into a global memory block by
// hand, and the window functions are bound on first use.
#include "libs/crashreport/win32/crash_dialog.h"

#include <windows.h>

#include <cstddef>

#include "libs/ccutility/win/system_function.h"

namespace Vorq {

namespace {

// ---- The template ----

// Window styles of the dialog and its controls, with the values they have on the wire.
constexpr uint32_t kDialogStyle = WS_POPUP | WS_CAPTION | DS_MODALFRAME | DS_SHELLFONT;
constexpr uint32_t kPromptStyle = WS_CHILD | WS_VISIBLE;
constexpr uint32_t kTextStyle = WS_CHILD | WS_VISIBLE | WS_BORDER | WS_TABSTOP | ES_MULTILINE |
                                ES_AUTOVSCROLL | ES_AUTOHSCROLL | ES_WANTRETURN;
// Disabled until the first change of the text, so an empty answer cannot be confirmed.
constexpr uint32_t kOkStyle = WS_CHILD | WS_VISIBLE | WS_DISABLED | WS_TABSTOP | BS_DEFPUSHBUTTON;
static_assert(kDialogStyle == 0x80C000C8 && kPromptStyle == 0x50000000);
static_assert(kTextStyle == 0x508110C4 && kOkStyle == 0x58010001);

// Predefined window classes, written as 0xFFFF followed by the class number.
constexpr uint16_t kButtonClass = 0x0080;
constexpr uint16_t kEditClass = 0x0081;
constexpr uint16_t kStaticClass = 0x0082;

constexpr char kTitle[] = "Crash Reporter";
constexpr char kFontFace[] = "MS Shell Dlg";
constexpr uint16_t kFontPoints = 8;
constexpr uint16_t kFontWeight = FW_NORMAL;

// One control; position and size in dialog units.
struct ItemSpec {
  uint32_t id;
  uint16_t classNumber;
  uint32_t style;
  int16_t x, y, width, height;
  const char* text;  // ASCII
};

constexpr ItemSpec kItems[] = {
    {kReproPromptId, kStaticClass, kPromptStyle, 2, 2, 196, 16,
     "Please enter some information about what you were doing when the crash occurred:"},
    {kReproTextId, kEditClass, kTextStyle, 2, 20, 196, 64, ""},
    {kReproOkId, kButtonClass, kOkStyle, 80, 86, 40, 12, "OK"},
};

// Appends little-endian template fields at the end of a byte buffer; without a buffer it
// only counts, so the same code measures and writes.
class TemplateWriter {
 public:
  explicit TemplateWriter(uint8_t* out) : m_out(out) {}

  void Byte(uint8_t value) {
    if (m_out)
      m_out[m_size] = value;
    ++m_size;
  }
  void Word(uint16_t value) {
    Byte(static_cast<uint8_t>(value));
    Byte(static_cast<uint8_t>(value >> 8));
  }
  void Dword(uint32_t value) {
    Word(static_cast<uint16_t>(value));
    Word(static_cast<uint16_t>(value >> 16));
  }
  // A null-terminated UTF-16 text; the texts here are ASCII, so each byte widens as it is.
  void Text(const char* ascii) {
    for (; *ascii; ++ascii)
      Word(static_cast<uint8_t>(*ascii));
    Word(0);
  }
  // Every item template starts on a DWORD boundary.
  void AlignToDword() {
    while (m_size % 4)
      Byte(0);
  }
  uint32_t Size() const { return m_size; }

 private:
  uint8_t* m_out;
  uint32_t m_size = 0;
};

// The extended template (DLGTEMPLATEEX followed by DLGITEMTEMPLATEEX records). MinGW's
// headers have no structures for the extended forms, and their variable-length texts rule
// out structures anyway, so the fields are written one by one in their order.
void WriteTemplate(TemplateWriter& out) {
  out.Word(1);       // template version
  out.Word(0xFFFF);  // signature: the extended form
  out.Dword(0);      // help id
  out.Dword(0);      // extended style
  out.Dword(kDialogStyle);
  out.Word(sizeof kItems / sizeof kItems[0]);
  out.Word(0);  // x
  out.Word(0);  // y
  out.Word(200);
  out.Word(100);
  out.Word(0);  // no menu
  out.Word(0);  // the system's dialog class
  out.Text(kTitle);
  out.Word(kFontPoints);
  out.Word(kFontWeight);
  out.Byte(0);  // not italic
  out.Byte(DEFAULT_CHARSET);
  out.Text(kFontFace);
  for (const ItemSpec& item : kItems) {
    out.AlignToDword();
    out.Dword(0);  // help id
    out.Dword(0);  // extended style
    out.Dword(item.style);
    out.Word(static_cast<uint16_t>(item.x));
    out.Word(static_cast<uint16_t>(item.y));
    out.Word(static_cast<uint16_t>(item.width));
    out.Word(static_cast<uint16_t>(item.height));
    out.Dword(item.id);
    out.Word(0xFFFF);  // a predefined class follows as a number
    out.Word(item.classNumber);
    out.Text(item.text);
    out.Word(0);  // no creation data
  }
}

// ---- user32, bound on first use ----

// The window functions the dialog needs. Imported, user32 would be loaded (and its window
// station set up) in every launch for a dialog that almost never shows.
constexpr wchar_t kUser32[] = L"user32.dll";

struct User32Calls {
  GV_SYSTEM_FUNCTION(kUser32, DialogBoxIndirectParamA);
  GV_SYSTEM_FUNCTION(kUser32, EndDialog);
  GV_SYSTEM_FUNCTION(kUser32, GetParent);
  GV_SYSTEM_FUNCTION(kUser32, GetDesktopWindow);
  GV_SYSTEM_FUNCTION(kUser32, GetWindowRect);
  GV_SYSTEM_FUNCTION(kUser32, SetWindowPos);
  GV_SYSTEM_FUNCTION(kUser32, GetDlgItem);
  GV_SYSTEM_FUNCTION(kUser32, GetDlgCtrlID);
  GV_SYSTEM_FUNCTION(kUser32, SetFocus);
  GV_SYSTEM_FUNCTION(kUser32, EnableWindow);
  GV_SYSTEM_FUNCTION(kUser32, GetDlgItemTextA);
};
constinit User32Calls g_user32;

// True once every call is there; the dialog calls them without looking again.
bool BindUser32() {
  const User32Calls& u = g_user32;
  return u.DialogBoxIndirectParamA && u.EndDialog && u.GetParent && u.GetDesktopWindow &&
         u.GetWindowRect && u.SetWindowPos && u.GetDlgItem && u.GetDlgCtrlID && u.SetFocus &&
         u.EnableWindow && u.GetDlgItemTextA;
}

// ---- The dialog ----

// Where OK puts the answer; set by AskReproSteps before the dialog is shown.
char* g_reproBuffer = nullptr;
uint32_t g_reproCapacity = 0;

void CentreOnParent(HWND dialog) {
  const User32Calls& u = g_user32;
  HWND around = u.GetParent(dialog);
  if (!around)
    around = u.GetDesktopWindow();
  RECT own;
  RECT outer;
  if (!u.GetWindowRect(dialog, &own) || !u.GetWindowRect(around, &outer))
    return;
  const int x = outer.left + ((outer.right - outer.left) - (own.right - own.left)) / 2;
  const int y = outer.top + ((outer.bottom - outer.top) - (own.bottom - own.top)) / 2;
  u.SetWindowPos(dialog, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
}

INT_PTR CALLBACK ReproDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  const User32Calls& u = g_user32;
  if (message == WM_INITDIALOG) {
    CentreOnParent(dialog);
    // wParam is the control the system would focus; the answer's text field must have it.
    HWND proposed = reinterpret_cast<HWND>(wParam);
    if (!proposed || u.GetDlgCtrlID(proposed) != static_cast<int>(kReproTextId)) {
      u.SetFocus(u.GetDlgItem(dialog, kReproTextId));
      return FALSE;  // focus set here
    }
    return TRUE;
  }
  if (message != WM_COMMAND)
    return FALSE;
  const uint32_t id = LOWORD(wParam);
  if (id == kReproTextId && HIWORD(wParam) == EN_CHANGE) {
    u.EnableWindow(u.GetDlgItem(dialog, kReproOkId), TRUE);
    return TRUE;
  }
  if (id == kReproOkId) {
    // The edit cuts the text to fit, terminator included.
    if (u.GetDlgItemTextA(dialog, kReproTextId, g_reproBuffer, g_reproCapacity) == 0)
      g_reproBuffer[0] = '\0';
    u.EndDialog(dialog, 1);
    return TRUE;
  }
  if (id == IDCANCEL) {  // also the Escape key; the buffer keeps what it held
    u.EndDialog(dialog, 0);
    return TRUE;
  }
  return FALSE;
}

}  // namespace

uint32_t ReproDialogTemplateSize() {
  TemplateWriter counter(nullptr);
  WriteTemplate(counter);
  return counter.Size();
}

uint32_t BuildReproDialogTemplate(void* buffer, uint32_t capacity) {
  const uint32_t size = ReproDialogTemplateSize();
  if (!buffer || capacity < size)
    return 0;
  TemplateWriter writer(static_cast<uint8_t*>(buffer));
  WriteTemplate(writer);
  return writer.Size();
}

int AskReproSteps(char* buffer) {
  if (!buffer)
    return -1;
  g_reproBuffer = buffer;
  g_reproCapacity = kReproStepsCapacity;
  const uint32_t size = ReproDialogTemplateSize();
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, size);
  if (!block)
    return -1;
  void* locked = GlobalLock(block);
  if (!locked) {
    GlobalFree(block);
    return -1;
  }
  BuildReproDialogTemplate(locked, size);
  // The block stays locked while the dialog reads it: a movable block's handle is not its
  // address, and only a lock keeps that address fixed.
  INT_PTR result = -1;
  if (BindUser32()) {
    result = g_user32.DialogBoxIndirectParamA(nullptr, static_cast<LPCDLGTEMPLATEA>(locked),
                                              nullptr, ReproDialogProc, 0);
  }
  GlobalUnlock(block);
  GlobalFree(block);
  return result == 1 ? 1 : result == 0 ? 0 : -1;
}

}  // namespace Vorq
