#pragma once

// A fresh folder under the system's temporary folder for one test case, removed with
// everything in it (read-only files included) when the object goes. Names inside it are
// either UTF-8 text ("/" separators allowed: Join, Native) or paths (wide on Windows).

#include <filesystem>
#include <string>

#include "launcher/text/cc_string.h"

class TestFolder {
 public:
  using FsPath = std::filesystem::path;

  // `label` becomes part of the folder's name; any characters a file name can hold.
  explicit TestFolder(const FsPath& label = "case");
  ~TestFolder();
  TestFolder(const TestFolder&) = delete;
  TestFolder& operator=(const TestFolder&) = delete;

  bool IsValid() const { return !m_path.empty(); }
  const FsPath& Native() const { return m_path; }
  // `name` (UTF-8) inside the folder, in the platform's own spelling.
  FsPath Native(const char* name) const;
  FsPath PathOf(const FsPath& name) const { return m_path / name; }
  // The same as UTF-8 text, for the code under test.
  CCString Path() const { return ToText(m_path); }
  CCString Join(const char* name) const { return ToText(Native(name)); }

  // Creates or replaces the file; false when that failed.
  bool Write(const FsPath& name, const std::string& bytes) const;
  // The whole file, or `missing` when it cannot be read.
  std::string Read(const FsPath& name, const std::string& missing = "") const;
  bool Exists(const FsPath& name) const;
  // Copies `source` (any path) to `name` in this folder; false when that failed.
  bool CopyIn(const FsPath& source, const FsPath& name) const;

  static CCString ToText(const FsPath& path);
  // Makes a file read-only (the attribute on Windows, no write bits on the host).
  static void MakeReadOnly(const FsPath& path);
  static bool IsReadOnly(const FsPath& path);

 private:
  FsPath m_path;
};

// Creates or replaces a file by its full path; false when that failed.
bool WriteWholeFile(const std::filesystem::path& path, const std::string& bytes);
// A whole file by its full path, or `missing` when it cannot be read.
std::string ReadWholeFile(const std::filesystem::path& path, const std::string& missing = "");
