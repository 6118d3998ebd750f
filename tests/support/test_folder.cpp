#include "tests/support/test_folder.h"

#include <fstream>
#include <iterator>
#include <random>
#include <system_error>

namespace fs = std::filesystem;

namespace {

constexpr fs::perms kWriteBits =
    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;

}  // namespace

TestFolder::TestFolder(const FsPath& label) {
  std::random_device random;
  std::error_code error;
  FsPath base = fs::temp_directory_path(error);
  for (int attempt = 0; attempt < 100 && m_path.empty(); ++attempt) {
    FsPath name = "gv-";
    name += label;
    name += "-" + std::to_string(random());
    if (fs::create_directory(base / name, error))
      m_path = (base / name).make_preferred();
  }
}

TestFolder::~TestFolder() {
  if (m_path.empty())
    return;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(m_path, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    fs::permissions(it->path(), fs::perms::owner_write, fs::perm_options::add, error);
  }
  fs::remove_all(m_path, error);
}

TestFolder::FsPath TestFolder::Native(const char* name) const {
  std::u8string utf8(reinterpret_cast<const char8_t*>(name));
  return (m_path / FsPath(utf8)).make_preferred();
}

bool TestFolder::Write(const FsPath& name, const std::string& bytes) const {
  return WriteWholeFile(PathOf(name), bytes);
}

std::string TestFolder::Read(const FsPath& name, const std::string& missing) const {
  return ReadWholeFile(PathOf(name), missing);
}

bool TestFolder::Exists(const FsPath& name) const {
  std::error_code error;
  return fs::exists(PathOf(name), error);
}

bool TestFolder::CopyIn(const FsPath& source, const FsPath& name) const {
  std::error_code error;
  return fs::copy_file(source, PathOf(name), fs::copy_options::overwrite_existing, error);
}

CCString TestFolder::ToText(const FsPath& path) {
  std::u8string utf8 = path.u8string();
  return CCString(reinterpret_cast<const char*>(utf8.c_str()), utf8.size());
}

void TestFolder::MakeReadOnly(const FsPath& path) {
  fs::permissions(path, kWriteBits, fs::perm_options::remove);
}

bool TestFolder::IsReadOnly(const FsPath& path) {
  return (fs::status(path).permissions() & kWriteBits) == fs::perms::none;
}

bool WriteWholeFile(const fs::path& path, const std::string& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), std::streamsize(bytes.size()));
  return bool(file.flush());
}

std::string ReadWholeFile(const fs::path& path, const std::string& missing) {
  std::ifstream file(path, std::ios::binary);
  if (!file)
    return missing;
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}
