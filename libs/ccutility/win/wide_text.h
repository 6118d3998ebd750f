#pragma once

// Text conversion at the Windows calls: UTF-8 (the program's text) to and from UTF-16 (the
// wide calls), and UTF-16 to the ANSI code page (the narrow calls) without allocating.

#include <cstdint>
#include <string>
#include <string_view>

namespace cc::win {

// UTF-8 to UTF-16; invalid sequences become U+FFFD. Embedded NULs are kept.
std::wstring Wide(std::string_view utf8);
// UTF-16 to UTF-8; unpaired surrogates become U+FFFD.
std::string Utf8(std::wstring_view wide);

// The NUL-terminated `text` in the ANSI code page, into `buffer` (characters it lacks become
// "?"). Answers the length written, terminator not counted; 0 with an empty text when the
// whole text does not fit. Allocates nothing: safe on the crash path.
uint32_t WideToAnsi(const wchar_t* text, char* buffer, uint32_t capacity);
// The NUL-terminated UTF-8 `text` as UTF-16 into `buffer`, and back; the same contract as
// WideToAnsi (the length written, or 0 with an empty text when it does not fit). Allocate
// nothing: for the crash path's file names.
uint32_t Utf8ToWide(const char* text, wchar_t* buffer, uint32_t capacity);
uint32_t WideToUtf8(const wchar_t* text, char* buffer, uint32_t capacity);

}  // namespace cc::win
