#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "launcher/pathutil/native_path_posix.h"
#include "launcher/pathutil/path_util.h"

// The host has no read-only, hidden or system attributes: "read-only" is a regular file
// without any write permission bit, and it is treated as Windows treats the attribute.

namespace PathUtil {

bool FileExists(const CCString& path) {
  struct stat st;
  return stat(NativePath(path).c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool MakeWritable(const CCString& path) {
  std::string native = NativePath(path);
  struct stat st;
  if (stat(native.c_str(), &st) != 0)
    return false;
  if (!IsReadOnly(st))
    return true;
  return chmod(native.c_str(), (st.st_mode & 07777) | S_IWUSR) == 0;
}

int DeletePath(const CCString& path, bool force) {
  if (force)
    MakeWritable(path);
  std::string native = NativePath(path);
  struct stat st;
  if (stat(native.c_str(), &st) == 0 && IsReadOnly(st)) {
    errno = EACCES;
    return -1;
  }
  return std::remove(native.c_str());
}

int CreateFolder(const CCString& path) {
  return mkdir(NativePath(path).c_str(), 0777);
}

int RenamePath(const CCString& from, const CCString& to) {
  std::string target = NativePath(to);
  // Like the Windows runtime's rename, never replace an existing file.
  int result =
      renameat2(AT_FDCWD, NativePath(from).c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE);
  if (result != 0 && errno == EINVAL) {
    // File systems without RENAME_NOREPLACE.
    struct stat st;
    if (lstat(target.c_str(), &st) == 0) {
      errno = EEXIST;
      return -1;
    }
    result = std::rename(NativePath(from).c_str(), target.c_str());
  }
  return result;
}

int MoveReplacing(const CCString& from, const CCString& to) {
  return std::rename(NativePath(from).c_str(), NativePath(to).c_str());
}

bool CopyPath(const CCString& from, const CCString& to) {
  std::string target = NativePath(to);
  struct stat st;
  if (stat(target.c_str(), &st) == 0 && IsReadOnly(st)) {
    errno = EACCES;
    return false;
  }
  int in = open(NativePath(from).c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0)
    return false;
  if (fstat(in, &st) != 0 || S_ISDIR(st.st_mode)) {
    close(in);
    return false;
  }
  int out = open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, st.st_mode & 07777);
  if (out < 0) {
    close(in);
    return false;
  }
  bool ok = true;
  char buffer[65536];
  for (;;) {
    ssize_t got = read(in, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0) {
      ok = got == 0;
      break;
    }
    for (ssize_t done = 0; done < got;) {
      ssize_t put = write(out, buffer + done, size_t(got - done));
      if (put < 0 && errno == EINTR)
        continue;
      if (put <= 0) {
        ok = false;
        break;
      }
      done += put;
    }
    if (!ok)
      break;
  }
  close(in);
  if (close(out) != 0)
    ok = false;
  return ok;
}

}  // namespace PathUtil
