#include "launcher/pathutil/path_util.h"

#include <cerrno>

namespace PathUtil {

namespace {

constexpr const char* kSeparators = "\\/";

bool IsSeparator(char c) {
  return c == '\\' || c == '/';
}

// Every separator becomes `separator`, and runs of separators become one.
CCString UnifySeparators(const CCString& text, char separator) {
  CCString out;
  out.Reserve(text.Length());
  bool previousWasSeparator = false;
  for (uint32_t i = 0; i < text.Length(); ++i) {
    char c = text[i];
    if (IsSeparator(c)) {
      if (!previousWasSeparator)
        out.Append(separator);
      previousWasSeparator = true;
    } else {
      out.Append(c);
      previousWasSeparator = false;
    }
  }
  return out;
}

}  // namespace

PathError::PathError(const CCString& text, const CCString& failedPath)
    : message(text.IsEmpty() ? CCString("Path Error") : text), path(failedPath) {}

CCString NormalizePath(const CCString& path, bool forwardSlash) {
  CCString trimmed = path;
  trimmed.Trim();
  if (trimmed.IsEmpty())
    return trimmed;
  bool network = trimmed.StartsWith("\\\\");
  if (forwardSlash) {
    // A network path keeps its leading pair of backslashes as it stands: "//server" would
    // name something else to the Windows calls.
    if (network)
      return CCString("\\\\").Append(UnifySeparators(trimmed.Substring(2), '/'));
    return UnifySeparators(trimmed, '/');
  }
  CCString out = UnifySeparators(trimmed, '\\');
  if (network && out.StartsWith("\\"))
    out.Prepend("\\");
  return out;
}

CCString JoinPath(const CCString& folder, const CCString& name, bool forwardSlash) {
  CCString f = NormalizePath(folder, forwardSlash);
  CCString n = NormalizePath(name, forwardSlash);
  if (!n.IsEmpty() && IsSeparator(n[0]))
    return n;
  if (!f.IsEmpty() && !IsSeparator(f[f.Length() - 1]))
    f.Append(forwardSlash ? '/' : '\\');
  return f.Append(n);
}

CCString GetDirectoryPart(const CCString& path) {
  int last = path.FindLastOf(kSeparators);
  if (last != CCString::kNotFound && last == int(path.Length()) - 1)
    last = last == 0 ? CCString::kNotFound : path.FindLastOf(kSeparators, last - 1);
  if (last == CCString::kNotFound)
    return CCString();
  return path.Substring(0, last + 1);
}

CCString GetBaseName(const CCString& path) {
  int last = path.FindLastOf(kSeparators);
  CCString name = last == CCString::kNotFound ? path : path.Substring(last + 1);
  int dot = name.FindLastOf(".");
  return dot == CCString::kNotFound ? name : name.Substring(0, dot);
}

CCString CreateFolders(const CCString& path, bool createParents) {
  CCString normalized = NormalizePath(path);
  if (normalized.IsEmpty() || normalized == ".")
    return normalized;

  // The part that names a server or a drive is never created.
  int root = 0;
  if (normalized.StartsWith("\\\\")) {
    int afterServer = normalized.FindFirstOf("\\", 2);
    root = afterServer == CCString::kNotFound ? int(normalized.Length()) : afterServer + 1;
  } else if (normalized.Length() >= 2 && normalized[1] == ':' &&
             ((normalized[0] >= 'A' && normalized[0] <= 'Z') ||
              (normalized[0] >= 'a' && normalized[0] <= 'z'))) {
    root = (normalized.Length() >= 3 && normalized[2] == '\\') ? 3 : 2;
  }

  if (createParents) {
    for (int at = normalized.FindFirstOf("\\", root); at != CCString::kNotFound;
         at = normalized.FindFirstOf("\\", at + 1)) {
      // Most of these exist already; only the last one's result matters.
      CreateFolder(normalized.Substring(0, at));
      errno = 0;
    }
  }

  int error = CreateFolder(normalized) == 0 ? 0 : errno;
  if (error != 0 && error != EEXIST) {
    CCString message("Could not create destination folder ");
    message.Append(normalized).Append(" due to err ").AppendNumber(error, 16, 4);
    throw PathError(message, normalized);
  }
  errno = 0;
  return normalized;
}

int ReplaceFile(const CCString& source, const CCString& destination) {
  if (FileExists(destination)) {
    MakeWritable(destination);
    if (DeletePath(destination, false) != 0) {
      // A file in use (a running executable) cannot be removed but can still be moved aside.
      CCString backup = destination;
      backup.Append(".bak");
      if (FileExists(backup))
        DeletePath(backup, true);
      RenamePath(destination, backup);
    }
  }
  if (RenamePath(source, destination) == 0)
    return 0;
  // Rename fails across volumes; copying still gets the file into place.
  if (!CopyPath(source, destination))
    return 1;
  DeletePath(source, false);
  return 0;
}

int ReplaceFileW(const CCString& source, const CCString& destination) {
  return ReplaceFile(source, destination);
}

int ReplaceFileA(const CCString& source, const CCString& destination) {
  return ReplaceFile(source, destination);
}

}  // namespace PathUtil
