#pragma once

// For tests only: a fresh folder under the system's temporary folder, removed with
// everything in it (read-only files included) when the object goes.

#include <filesystem>
#include <random>
#include <string>
#include <system_error>

#include "launcher/text/cc_string.h"

class TempTestFolder {
 public:
  TempTestFolder() {
    std::random_device random;
    std::error_code error;
    std::filesystem::path base = std::filesystem::temp_directory_path(error);
    for (int attempt = 0; attempt < 100 && m_path.empty(); ++attempt) {
      std::filesystem::path candidate = base / ("gv-test-" + std::to_string(random()));
      if (std::filesystem::create_directory(candidate, error))
        m_path = candidate;
    }
  }
  ~TempTestFolder() {
    std::error_code error;
    for (auto it = std::filesystem::recursive_directory_iterator(m_path, error);
         !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_write,
                                   std::filesystem::perm_options::add, error);
    }
    std::filesystem::remove_all(m_path, error);
  }
  TempTestFolder(const TempTestFolder&) = delete;
  TempTestFolder& operator=(const TempTestFolder&) = delete;

  bool IsValid() const { return !m_path.empty(); }
  // The folder in UTF-8, in the platform's own spelling.
  CCString Path() const { return ToText(m_path); }
  // `name` (UTF-8, "/" separators allowed) inside the folder, in the platform's spelling.
  CCString Join(const char* name) const { return ToText(Native(name)); }
  // `name` inside the folder as the standard library names it.
  std::filesystem::path Native(const char* name) const {
    std::u8string utf8(reinterpret_cast<const char8_t*>(name));
    return (m_path / std::filesystem::path(utf8)).make_preferred();
  }

  static CCString ToText(const std::filesystem::path& path) {
    std::u8string utf8 = path.u8string();
    return CCString(reinterpret_cast<const char*>(utf8.c_str()), utf8.size());
  }
  // Makes a file read-only (the attribute on Windows, no write bits on the host).
  static void MakeReadOnly(const std::filesystem::path& path) {
    using std::filesystem::perms;
    std::filesystem::permissions(path,
                                 perms::owner_write | perms::group_write | perms::others_write,
                                 std::filesystem::perm_options::remove);
  }
  static bool IsReadOnly(const std::filesystem::path& path) {
    using std::filesystem::perms;
    perms p = std::filesystem::status(path).permissions();
    return (p & (perms::owner_write | perms::group_write | perms::others_write)) == perms::none;
  }

 private:
  std::filesystem::path m_path;
};
