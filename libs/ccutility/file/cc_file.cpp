#include "libs/ccutility/file/cc_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "launcher/pathutil/path_util.h"
#include "libs/ccutility/file/cc_file_platform.h"

namespace cc {

namespace {

constexpr size_t kAppendChunk = 65536;

}  // namespace

// ---- File::Exception ----

File::Exception::Exception(const CCString& message, int error)
    : m_message(message), m_error(error), m_text(message) {
  if (error != 0)
    m_text.Append(" (").AppendNumber(error).Append(")");
}

// ---- File ----

File::File(const CCString& name, int mode) {
  if (!Open(name, mode, true, true)) {
    int error = errno;
    throw Exception(CCString("Cannot open file - ").Append(name), error);
  }
}

File::~File() {
  File::Close();
}

bool File::Open(const CCString& name, int mode, bool clearReadOnly, bool createFolders) {
  Close();
  m_name = name;
  m_size = mode == kWrite ? 0 : -1;
  m_position = 0;
  m_mode = mode;
  m_lastDirection = Direction::kNone;
  if (mode == kRead)
    clearReadOnly = createFolders = false;

  m_stream = FilePlatform::OpenStream(name, mode);
  int error = m_stream ? 0 : errno;
  if (!m_stream && clearReadOnly && FilePlatform::ClearReadOnly(name)) {
    m_stream = FilePlatform::OpenStream(name, mode);
    error = m_stream ? 0 : errno;
  }
  if (!m_stream && createFolders) {
    CCString folder = PathUtil::GetDirectoryPart(name);
    if (!folder.IsEmpty()) {
      try {
        PathUtil::CreateFolders(folder, true);
      } catch (const PathUtil::PathError&) {
        // The open below fails and reports its own error.
      }
    }
    m_stream = FilePlatform::OpenStream(name, mode);
    error = m_stream ? 0 : errno;
  }
  if (!m_stream) {
    errno = error;
    return false;
  }
  if (mode == kAppend) {
    // Every write lands at the end anyway; start reading and counting there too.
    FilePlatform::SeekStream(m_stream, 0, SEEK_END);
    m_position = uint64_t(std::max<int64_t>(GetSize(), 0));
  }
  return true;
}

void File::Turn(Direction direction) {
  if (m_lastDirection != Direction::kNone && m_lastDirection != direction)
    FilePlatform::SeekStream(m_stream, 0, SEEK_CUR);
  m_lastDirection = direction;
}

void File::MovedTo(uint64_t position) {
  m_position = position;
  m_lastDirection = Direction::kNone;
  if (m_size >= 0 && int64_t(position) > m_size)
    m_size = int64_t(position);
}

void File::Advanced(size_t count) {
  m_position += count;
  if (m_size >= 0 && int64_t(m_position) > m_size)
    m_size = int64_t(m_position);
}

int File::SeekFromEnd(int64_t offset) {
  if (!m_stream)
    return -1;
  int64_t size = GetSize();
  int result = FilePlatform::SeekStream(m_stream, offset, SEEK_END);
  if (result == 0)
    MovedTo(uint64_t(size + offset));
  return result;
}

int File::Seek(uint64_t position) {
  if (!m_stream)
    return -1;
  int result = FilePlatform::SeekStream(m_stream, int64_t(position), SEEK_SET);
  if (result == 0)
    MovedTo(position);
  return result;
}

int File::SeekRelative(int64_t offset) {
  if (!m_stream)
    return -1;
  int result = FilePlatform::SeekStream(m_stream, offset, SEEK_CUR);
  if (result == 0)
    MovedTo(m_position + uint64_t(offset));
  return result;
}

void File::EnsureSize(int64_t size) {
  if (size <= 0 || GetSize() >= size)
    return;
  uint64_t old = Tell();
  Seek(uint64_t(size - 1));
  Put('\0');
  Seek(old);
}

uint64_t File::Tell() {
  return m_position;
}

size_t File::Read(void* data, size_t count) {
  if (!m_stream || count == 0)
    return 0;
  Turn(Direction::kReading);
  size_t got = std::fread(data, 1, count, m_stream);
  m_position += got;
  return got;
}

size_t File::Write(const char* text) {
  return text ? Write(text, std::strlen(text)) : 0;
}

size_t File::Write(const CCString& bytes) {
  return Write(bytes.c_str(), size_t(bytes.Length()));
}

size_t File::Write(const void* data, size_t count) {
  if (!m_stream || count == 0)
    return 0;
  Turn(Direction::kWriting);
  size_t put = std::fwrite(data, 1, count, m_stream);
  Advanced(put);
  return put;
}

size_t File::Put(char byte) {
  return Write(&byte, 1);
}

int File::Printf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  int result = VPrintf(format, args);
  va_end(args);
  return result;
}

int File::VPrintf(const char* format, va_list args) {
  if (!m_stream)
    return -1;
  Turn(Direction::kWriting);
  int result = std::vfprintf(m_stream, format, args);
  if (result > 0)
    Advanced(size_t(result));
  return result;
}

void File::AppendFile(const CCString& name) {
  File source(name, kRead);
  std::unique_ptr<char[]> chunk(new char[kAppendChunk]);
  for (;;) {
    size_t got = source.Read(chunk.get(), kAppendChunk);
    if (got)
      Write(chunk.get(), got);
    if (got < kAppendChunk)
      break;
  }
}

bool File::IsEOF() {
  return !m_stream || std::feof(m_stream) != 0;
}

int64_t File::GetSize() {
  if (m_size < 0 && m_stream)
    m_size = FilePlatform::StreamSize(m_stream);
  return m_size;
}

void File::Close() {
  if (m_stream) {
    std::fclose(m_stream);
    m_stream = nullptr;
  }
  m_lastDirection = Direction::kNone;
}

// ---- BufferedFile ----
//
// The buffer covers the file bytes from WindowStart() on. After a fill it holds m_readFill
// bytes read from the stream (which then stands m_readFill bytes past the window's start);
// otherwise it holds bytes written by the caller that the stream has not seen yet (the
// stream stands at the window's start). The logical position is always
// WindowStart() + m_bufferPos.

BufferedFile::BufferedFile(uint32_t capacity)
    : m_capacity(std::max<uint32_t>(capacity, 1)), m_configuredCapacity(m_capacity) {}

BufferedFile::~BufferedFile() {
  BufferedFile::Close();
}

bool BufferedFile::ReserveBuffer() {
  // Only ever called with an empty buffer, so nothing is lost by reallocating.
  if (m_allocated < m_capacity) {
    m_buffer.reset();
    m_allocated = 0;
    m_buffer.reset(new (std::nothrow) char[m_capacity]);
    if (m_buffer)
      m_allocated = m_capacity;
  }
  return m_buffer != nullptr;
}

void BufferedFile::WriteBack() {
  if (HoldsWrittenBytes() && m_stream && m_mode != kRead)
    File::Write(m_buffer.get(), m_fill);
  m_bufferPos = m_fill = m_readFill = 0;
}

void BufferedFile::SyncStream() {
  if (m_fill == 0)
    return;
  uint64_t logical = Tell();
  WriteBack();
  if (m_stream && m_position != logical)
    File::Seek(logical);
}

void BufferedFile::Flush() {
  SyncStream();
  if (m_stream)
    std::fflush(m_stream);
}

int BufferedFile::SeekFromEnd(int64_t offset) {
  if (!m_stream)
    return -1;
  WriteBack();
  return File::SeekFromEnd(offset);
}

int BufferedFile::Seek(uint64_t position) {
  if (!m_stream)
    return -1;
  if (m_fill > 0) {
    uint64_t start = WindowStart();
    if (position >= start && position <= start + m_fill) {
      m_bufferPos = uint32_t(position - start);
      return 0;
    }
  }
  WriteBack();
  return File::Seek(position);
}

int BufferedFile::SeekRelative(int64_t offset) {
  int64_t target = int64_t(Tell()) + offset;
  if (!m_stream || target < 0) {
    errno = EINVAL;
    return -1;
  }
  return Seek(uint64_t(target));
}

uint64_t BufferedFile::Tell() {
  return WindowStart() + m_bufferPos;
}

size_t BufferedFile::Read(void* data, size_t count) {
  if (!m_stream || count == 0)
    return 0;
  char* out = static_cast<char*>(data);
  size_t done = 0;
  if (m_bufferPos < m_fill) {
    done = std::min<size_t>(count, m_fill - m_bufferPos);
    std::memcpy(out, m_buffer.get() + m_bufferPos, done);
    m_bufferPos += uint32_t(done);
    if (done == count)
      return done;
  }
  SyncStream();

  size_t rest = count - done;
  if (!m_filled && m_mode == kRead && m_position == 0) {
    // A small file read from its start needs no more buffer than its own size.
    int64_t size = File::GetSize();
    if (size >= 0 && uint64_t(size) < m_capacity)
      m_capacity = std::max<uint32_t>(uint32_t(size), 1);
  }
  if (rest >= m_capacity || !ReserveBuffer())
    return done + File::Read(out + done, rest);

  m_filled = true;
  size_t got = File::Read(m_buffer.get(), m_capacity);
  m_fill = m_readFill = uint32_t(got);
  size_t take = std::min(rest, got);
  std::memcpy(out + done, m_buffer.get(), take);
  m_bufferPos = uint32_t(take);
  return done + take;
}

size_t BufferedFile::Write(const void* data, size_t count) {
  if (!m_stream || count == 0)
    return 0;
  if (m_mode == kRead)
    return File::Write(data, count);  // fails as the stream does
  if (m_readFill > 0)
    SyncStream();  // a read window gives way to a write buffer at the same position
  if (!ReserveBuffer())
    return File::Write(data, count);

  const char* in = static_cast<const char*>(data);
  size_t first = std::min<size_t>(count, m_capacity - m_bufferPos);
  std::memcpy(m_buffer.get() + m_bufferPos, in, first);
  m_bufferPos += uint32_t(first);
  m_fill = std::max(m_fill, m_bufferPos);
  if (first == count)
    return count;

  SyncStream();
  size_t rest = count - first;
  if (rest >= m_capacity)
    return first + File::Write(in + first, rest);
  std::memcpy(m_buffer.get(), in + first, rest);
  m_bufferPos = m_fill = uint32_t(rest);
  return count;
}

int BufferedFile::VPrintf(const char* format, va_list args) {
  if (!m_stream)
    return -1;
  if (m_mode == kRead)
    return File::VPrintf(format, args);
  // Formatted into a scratch buffer first and then written like any other bytes: printing
  // straight into the write buffer would end the text with a NUL over a buffered byte, and
  // bytes buffered after the position (after a seek back) must survive.
  char scratch[1024];
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(scratch, sizeof scratch, format, copy);
  va_end(copy);
  if (n < 0)
    return n;
  const char* text = scratch;
  std::unique_ptr<char[]> large;
  if (size_t(n) >= sizeof scratch) {
    large.reset(new (std::nothrow) char[size_t(n) + 1]);
    if (!large)
      return -1;
    std::vsnprintf(large.get(), size_t(n) + 1, format, args);
    text = large.get();
  }
  return Write(text, size_t(n)) == size_t(n) ? n : -1;
}

bool BufferedFile::IsEOF() {
  if (m_bufferPos < m_fill)
    return false;
  return File::IsEOF();
}

int64_t BufferedFile::GetSize() {
  int64_t size = File::GetSize();
  if (HoldsWrittenBytes())
    size = std::max(size, int64_t(WindowStart() + m_fill));
  return size;
}

void BufferedFile::Close() {
  WriteBack();
  File::Close();
  m_buffer.reset();
  m_allocated = 0;
  m_filled = false;
  m_capacity = m_configuredCapacity;
}

}  // namespace cc
