#include "launcher/dllholder/dll_holder.h"

#include <cstring>
#include <new>

#include "launcher/pathutil/path_util.h"

DLLHolder::exception::exception(const char* prefix, const char* name) noexcept {
  size_t prefixLength = prefix ? std::strlen(prefix) : 0;
  size_t nameLength = name ? std::strlen(name) : 0;
  // Without memory the exception still carries its type; what() then gives the fallback.
  m_message = new (std::nothrow) char[prefixLength + nameLength + 1];
  if (!m_message)
    return;
  if (prefixLength)
    std::memcpy(m_message, prefix, prefixLength);
  if (nameLength)
    std::memcpy(m_message + prefixLength, name, nameLength);
  m_message[prefixLength + nameLength] = '\0';
}

DLLHolder::exception::exception(const exception& other) noexcept
    : std::exception(other), m_message(std::exchange(other.m_message, nullptr)) {}

DLLHolder::exception& DLLHolder::exception::operator=(const exception& other) noexcept {
  if (this != &other) {
    delete[] m_message;
    m_message = std::exchange(other.m_message, nullptr);
  }
  return *this;
}

DLLHolder::exception::~exception() {
  delete[] m_message;
}

const char* DLLHolder::exception::what() const noexcept {
  return m_message ? m_message : "Unknown DLL exception";
}

DLLHolder::~DLLHolder() {
  if (m_module)
    CloseModule(std::exchange(m_module, nullptr));
}

void DLLHolder::Unload() {
  if (!m_module)
    return;
  // Clear first: code that runs while the module goes must not see a dying handle.
  void* module = std::exchange(m_module, nullptr);
  CloseModule(module);
}

void* DLLHolder::GetFunction(const char* name) {
  if (!m_module)
    throw exception("DLL not loaded for ", name);
  if (!name || !*name)
    throw exception("Empty function name passed to GetProcAddress");
  return FindExport(m_module, name);
}

bool DLLHolder::Load(const CCString& path) {
  if (path.IsEmpty())
    throw exception("Empty library name passed to Load()");
  if (m_module)
    return true;
  m_module = OpenModule(PathUtil::NormalizePath(path));
  return m_module != nullptr;
}
