#pragma once

#include <exception>

#include "launcher/text/cc_string.h"

// Path text and simple file operations shared by every module. Paths are UTF-8; "\" and "/"
// are both accepted on input, and functions that produce paths write "\" unless asked for
// "/". On Windows every call converts the path to UTF-16 and uses the wide functions; the
// host build accepts "\" as a separator too and keeps the Windows rules where they differ
// (a file without write permission is read-only even for root, rename never overwrites).
namespace PathUtil {

// A failure the caller cannot continue from (a folder that cannot be made). Owns its text.
class PathError : public std::exception {
 public:
  // An empty message becomes "Path Error".
  PathError(const CCString& message, const CCString& path);
  const char* what() const noexcept override { return message.c_str(); }

  CCString message;
  CCString path;
};

// Trimmed copy with one kind of separator and no doubled separators; a leading "\\" of a
// network path is kept.
CCString NormalizePath(const CCString& path, bool forwardSlash = false);
// The folder and the name joined by one separator; a name that begins with a separator is
// returned alone.
CCString JoinPath(const CCString& folder, const CCString& name, bool forwardSlash = false);
// The text up to and including the last separator, ignoring one at the very end (a folder
// path yields its parent); empty when there is none.
CCString GetDirectoryPart(const CCString& path);
// The last component cut before its last ".".
CCString GetBaseName(const CCString& path);

// True for an existing file that is not a folder.
bool FileExists(const CCString& path);
// Clears read-only, hidden and system; false when the path does not exist or that failed.
bool MakeWritable(const CCString& path);
// Removes a file (after MakeWritable when forced); 0 on success, else the runtime's result.
int DeletePath(const CCString& path, bool force);
// Makes one folder level; 0 on success, else the runtime's result (errno tells why).
int CreateFolder(const CCString& path);
// Makes the folder (and with `createParents` every missing folder above it); an existing
// folder is fine. Returns the normalised path; throws PathError when it cannot be made.
CCString CreateFolders(const CCString& path, bool createParents);
// Renames without overwriting; 0 on success.
int RenamePath(const CCString& from, const CCString& to);
// Renames over an existing file in one step, so that the destination is at every moment
// either the old file or the new one; 0 on success. Fails (changing nothing) when the
// destination is in use or lies on another volume.
int MoveReplacing(const CCString& from, const CCString& to);
// Copies, overwriting the destination; true on success.
bool CopyPath(const CCString& from, const CCString& to);
// Puts `source` in the place of `destination`: a destination that cannot be removed is moved
// aside to destination + ".bak"; when renaming fails the file is copied. 0 on success, 1 when
// neither rename nor copy worked (the destination may then be at its ".bak" name).
int ReplaceFile(const CCString& source, const CCString& destination);
// <windows.h> turns ReplaceFile into ReplaceFileW or ReplaceFileA by a macro; these two
// spellings take callers that include it to the same function.
int ReplaceFileW(const CCString& source, const CCString& destination);
int ReplaceFileA(const CCString& source, const CCString& destination);

}  // namespace PathUtil
