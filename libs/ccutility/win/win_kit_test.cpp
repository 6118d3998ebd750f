#include <windows.h>

#include <shlobj.h>

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "libs/ccutility/win/known_folder.h"
#include "libs/ccutility/win/system_function.h"
#include "libs/ccutility/win/wide_text.h"
#include "libs/ccutility/win/win_handles.h"

namespace {

using cc::win::ModuleSearch;
using cc::win::SystemFunction;
using VersionSize = decltype(&::GetFileVersionInfoSizeW);

// System DLLs this program does not import and nothing here loads before the tests do.
constexpr wchar_t kVersionDll[] = L"version.dll";
constexpr wchar_t kStatusDll[] = L"psapi.dll";

uintptr_t Address(HMODULE module, const char* name) {
  return reinterpret_cast<uintptr_t>(GetProcAddress(module, name));
}

template <class F>
uintptr_t Address(F function) {
  return reinterpret_cast<uintptr_t>(function);
}

TEST(SystemFunction, BindsAPresentExportAndKeepsAMiss) {
  static constinit SystemFunction<decltype(&::GetCurrentProcessId)> present{
      L"kernel32.dll", "GetCurrentProcessId", ModuleSearch::kLoadedOnly};
  ASSERT_TRUE(present);
  EXPECT_EQ(Address(present.Get()),
            Address(GetModuleHandleW(L"kernel32.dll"), "GetCurrentProcessId"));
  EXPECT_EQ(present(), GetCurrentProcessId());

  static constinit SystemFunction<void(WINAPI*)()> noExport{L"kernel32.dll", "GvNoSuchExport"};
  static constinit SystemFunction<void(WINAPI*)()> noDll{L"gv_no_such_library.dll", "Anything"};
  for (int attempt = 0; attempt < 2; ++attempt) {
    EXPECT_EQ(noExport.Get(), nullptr);
    EXPECT_FALSE(noDll);
  }
}

TEST(SystemFunction, LoadsADllThatIsNotLoadedYetOnlyWhenAllowedTo) {
  ASSERT_EQ(GetModuleHandleW(kVersionDll), nullptr);
  static constinit SystemFunction<VersionSize> loadedOnly{kVersionDll, "GetFileVersionInfoSizeW",
                                                          ModuleSearch::kLoadedOnly};
  static constinit SystemFunction<VersionSize> loading{kVersionDll, "GetFileVersionInfoSizeW"};
  EXPECT_FALSE(loadedOnly);
  EXPECT_EQ(GetModuleHandleW(kVersionDll), nullptr);

  ASSERT_TRUE(loading);
  HMODULE module = GetModuleHandleW(kVersionDll);
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(Address(loading.Get()), Address(module, "GetFileVersionInfoSizeW"));
  // A loaded-only miss is not kept: the DLL is there now.
  EXPECT_EQ(Address(loadedOnly.Get()), Address(loading.Get()));
}

TEST(SystemFunction, KeepsAModuleLoadedWhenItsOtherOwnerFreesIt) {
  ASSERT_EQ(GetModuleHandleW(kStatusDll), nullptr);
  cc::win::ScopedModule other(LoadLibraryW(kStatusDll));
  ASSERT_TRUE(other);
  static constinit SystemFunction<void(WINAPI*)()> bound{kStatusDll, "GetProcessMemoryInfo"};
  ASSERT_TRUE(bound);
  other.Reset();
  EXPECT_NE(GetModuleHandleW(kStatusDll), nullptr);
}

TEST(WideText, RoundTripsTextAndReplacesWhatIsNot) {
  const std::string texts[] = {"plain", "caf\xC3\xA9", "\xE2\x82\xAC 5", "\xF0\x9F\x98\x80 smile",
                               std::string("nul\0inside", 10)};
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    EXPECT_EQ(cc::win::Utf8(cc::win::Wide(text)), text);
  }
  EXPECT_EQ(cc::win::Wide("\xF0\x9F\x98\x80"), L"\xD83D\xDE00");  // beyond the BMP: a pair
  EXPECT_TRUE(cc::win::Wide("").empty());
  EXPECT_TRUE(cc::win::Utf8(L"").empty());

  // Stray continuation, cut sequence, overlong form, encoded surrogate, beyond U+10FFFF.
  for (const char* invalid : {"\x80", "\xE2\x82", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80"}) {
    SCOPED_TRACE(testing::PrintToString(invalid));
    std::wstring wide = cc::win::Wide(std::string("a") + invalid + "b");
    ASSERT_GE(wide.size(), 3u);
    EXPECT_EQ(wide.front(), L'a');
    EXPECT_EQ(wide.back(), L'b');
    EXPECT_EQ(wide.find_first_not_of(L'\xFFFD', 1), wide.size() - 1);
  }
  EXPECT_EQ(cc::win::Utf8(L"x\xD800y"), "x\xEF\xBF\xBDy");  // an unpaired surrogate
  EXPECT_EQ(cc::win::Utf8(L"x\xDC00"), "x\xEF\xBF\xBD");
}

TEST(WideText, AnsiTextFitsWholeOrIsEmpty) {
  char buffer[8] = "unset";
  EXPECT_EQ(cc::win::WideToAnsi(L"1234567", buffer, sizeof buffer), 7u);
  EXPECT_STREQ(buffer, "1234567");
  EXPECT_EQ(cc::win::WideToAnsi(L"12345678", buffer, sizeof buffer), 0u);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(cc::win::WideToAnsi(nullptr, buffer, sizeof buffer), 0u);
  buffer[0] = 'x';
  EXPECT_EQ(cc::win::WideToAnsi(L"a", buffer, 0), 0u);
  EXPECT_EQ(buffer[0], 'x');  // no room: not even a terminator is written
  // The same contract in UTF-8 and back: "Жук" is three characters and six bytes.
  wchar_t wide[4];
  EXPECT_EQ(cc::win::Utf8ToWide("\xD0\x96\xD1\x83\xD0\xBA", wide, 4), 3u);
  EXPECT_STREQ(wide, L"\x0416\x0443\x043A");
  EXPECT_EQ(cc::win::Utf8ToWide("abcd", wide, 4), 0u);
  EXPECT_EQ(cc::win::WideToUtf8(L"\x0416\x0443\x043A", buffer, 7), 6u);
  EXPECT_STREQ(buffer, "\xD0\x96\xD1\x83\xD0\xBA");
  EXPECT_EQ(cc::win::WideToUtf8(L"\x0416\x0443\x043A", buffer, 6), 0u);
}

// Counts the closes of each "handle" (an int the owner points at).
struct CountingTraits {
  using Handle = int*;
  static bool IsValid(Handle handle) { return handle != nullptr; }
  static void Close(Handle handle) { ++*handle; }
};
using Counted = cc::win::ScopedGeneric<CountingTraits>;

TEST(ScopedGeneric, ClosesEveryHandleExactlyOnce) {
  int a = 0, b = 0, c = 0, d = 0;
  {
    Counted first(&a);
    Counted second(std::move(first));
    EXPECT_FALSE(first);
    second = Counted(&b);
    EXPECT_EQ(a, 1);
    second.Reset(second.Get());  // the handle it holds: kept open
    Counted& same = second;
    second = std::move(same);
    EXPECT_EQ(b, 0);
    *second.Receive() = &c;
    EXPECT_EQ(b, 1);
    Counted kept(&d);
    EXPECT_EQ(kept.Release(), &d);
  }
  EXPECT_EQ(a + b + c, 3);
  EXPECT_EQ(d, 0);
}

TEST(ScopedHandle, ClosesTheKernelObjectAndTakesNoneForEmpty) {
  HANDLE raw = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DWORD flags = 0;
  {
    cc::win::ScopedHandle event(raw);
    ASSERT_TRUE(event);
    EXPECT_TRUE(GetHandleInformation(raw, &flags));
  }
  EXPECT_FALSE(GetHandleInformation(raw, &flags));
  EXPECT_FALSE(cc::win::ScopedHandle(INVALID_HANDLE_VALUE));
  EXPECT_FALSE(cc::win::ScopedFind(INVALID_HANDLE_VALUE));
}

TEST(KnownFolder, KnownAndShellFoldersAgreeAndTheShellOneStandsIn) {
  // FOLDERID_LocalAppData
  constexpr GUID kLocalAppData = {
      0xF1B32785, 0x6FBA, 0x4FCF, {0x9D, 0x55, 0x7B, 0x8E, 0x7F, 0x15, 0x70, 0x91}};
  constexpr GUID kNoFolder = {};
  std::optional<std::wstring> known = cc::win::KnownFolderPath(kLocalAppData, 0);
  std::optional<std::wstring> shell = cc::win::ShellFolderPath(CSIDL_LOCAL_APPDATA);
  ASSERT_TRUE(known && shell);
  EXPECT_EQ(*known, *shell);
  EXPECT_FALSE(cc::win::KnownFolderPath(kNoFolder, 0));
  EXPECT_EQ(cc::win::FolderPath(kNoFolder, 0, CSIDL_LOCAL_APPDATA), shell);
  EXPECT_EQ(cc::win::UserShellFolderPath(L"Local AppData"), known);
}

// Entries that do not name an existing folder by a full path are left to the shell.
TEST(KnownFolder, UserShellFolderEntriesThatNameNoFolderAreRefused) {
  constexpr wchar_t kKey[] =
      L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
  constexpr wchar_t kName[] = L"Galvorand test entry";
  HKEY raw = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kKey, 0, KEY_SET_VALUE | KEY_QUERY_VALUE, &raw),
            ERROR_SUCCESS);
  cc::win::ScopedKey key(raw);
  auto set = [&](DWORD type, const std::wstring& text) {
    return RegSetValueExW(key.Get(), kName, 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                          DWORD((text.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
  };
  wchar_t temp[MAX_PATH];
  ASSERT_GT(GetTempPathW(MAX_PATH, temp), 3u);  // ends in a separator
  std::wstring folder(temp);
  folder.pop_back();
  for (const auto& [type, text] : std::vector<std::pair<DWORD, std::wstring>>{
           {REG_EXPAND_SZ, L"%GALVORAND_NO_SUCH_VARIABLE%\\Local"},
           {REG_SZ, L"relative\\folder"},
           {REG_SZ, folder + L"\\no such folder"},
           {REG_DWORD, L"x"},
       }) {
    ASSERT_TRUE(set(type, text));
    EXPECT_FALSE(cc::win::UserShellFolderPath(kName)) << text;
  }
  ASSERT_TRUE(set(REG_EXPAND_SZ, std::wstring(temp)));
  EXPECT_EQ(cc::win::UserShellFolderPath(kName), folder);
  RegDeleteValueW(key.Get(), kName);
  EXPECT_FALSE(cc::win::UserShellFolderPath(kName));
}

}  // namespace
