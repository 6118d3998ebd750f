#pragma once

#include <string>

// Helpers of the Windows tests that work with real files: build artifacts named by their
// Unix path (Wine shows the Unix tree as drive Z:), a fresh temporary folder per case, and
// whole-file reads and writes. Paths are wide; texts in files are bytes.

// "/a/b" -> "Z:\a\b"; a path that is already a Windows path only gets backslashes.
std::wstring WindowsPathOfBuildFile(const char* path);
std::wstring Widen(const std::string& utf8);
std::string Narrow(const std::wstring& wide);

// A new, empty folder under the user's temporary folder, removed with all its contents
// (read-only files included) when the object goes. `label` becomes part of its name and may
// hold any characters a file name can.
class TestFolder {
 public:
  explicit TestFolder(const std::wstring& label = L"case");
  ~TestFolder();
  TestFolder(const TestFolder&) = delete;
  TestFolder& operator=(const TestFolder&) = delete;

  // The folder, without a trailing separator.
  const std::wstring& Path() const { return m_path; }
  std::wstring PathOf(const std::wstring& name) const { return m_path + L"\\" + name; }

  // Creates or replaces the file; false when that failed.
  bool Write(const std::wstring& name, const std::string& bytes) const;
  // The whole file, or `missing` when it cannot be read.
  std::string Read(const std::wstring& name, const std::string& missing = "") const;
  bool Exists(const std::wstring& name) const;
  // Copies `source` (any path) to `name` in this folder; false when that failed.
  bool CopyIn(const std::wstring& source, const std::wstring& name) const;

 private:
  std::wstring m_path;
};

// Reads or writes a whole file by its full path.
std::string ReadWholeFile(const std::wstring& path, const std::string& missing = "");
bool WriteWholeFile(const std::wstring& path, const std::string& bytes);
// Removes a folder and everything below it; read-only files too.
void RemoveFolderTree(const std::wstring& path);
