#include "libs/crashreport/win32/crash_file_stream.h"

#include <windows.h>

#include "libs/ccutility/win/wide_text.h"

namespace Vorq {

CrashPath::CrashPath(const char* utf8) {
  cc::win::Utf8ToWide(utf8, m_text, kCapacity);
}

CrashFileStream::CrashFileStream(const char* utf8Path, bool appendZero) : m_appendZero(appendZero) {
  HANDLE file = CreateFileW(CrashPath(utf8Path), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return;
  LARGE_INTEGER size;
  // Lengths on the wire are 32-bit: a file that does not fit is not sent at all.
  if (!GetFileSizeEx(file, &size) || uint64_t(size.QuadPart) + 1 > UINT32_MAX) {
    CloseHandle(file);
    return;
  }
  m_file = file;
  m_size = uint32_t(size.QuadPart) + (appendZero ? 1 : 0);
}

CrashFileStream::~CrashFileStream() {
  if (m_file)
    CloseHandle(m_file);
}

void CrashFileStream::Rewind() {
  m_delivered = 0;
  LARGE_INTEGER start = {};
  if (m_file)
    SetFilePointerEx(m_file, start, nullptr, FILE_BEGIN);
}

const char* CrashFileStream::Read(uint32_t& length) {
  length = 0;
  if (!m_file || m_delivered >= m_size)
    return nullptr;
  const uint32_t fileSize = m_size - (m_appendZero ? 1 : 0);
  if (m_delivered == fileSize) {
    // Only the appended zero is left.
    m_chunk[0] = '\0';
    length = 1;
  } else {
    const uint32_t left = fileSize - m_delivered;
    DWORD read = 0;
    if (!ReadFile(m_file, m_chunk, left < kChunkSize ? left : kChunkSize, &read, nullptr) || !read)
      return nullptr;
    length = read;
  }
  m_delivered += length;
  return m_chunk;
}

}  // namespace Vorq
