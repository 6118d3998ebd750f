#include "tests/support/launcher_process.h"

#include <windows.h>

namespace {

bool IsFixtureVariable(const std::wstring& entry) {
  return _wcsnicmp(entry.c_str(), L"GV_FIXTURE_", 11) == 0;
}

// A sorted, double-NUL-terminated environment block (what CreateProcessW expects).
std::vector<wchar_t> MakeEnvironmentBlock(
    const std::vector<std::pair<std::wstring, std::wstring>>& extra) {
  std::map<std::wstring, std::wstring> sorted;
  auto upper = [](std::wstring text) {
    for (wchar_t& c : text)
      c = wchar_t(towupper(c));
    return text;
  };
  if (wchar_t* strings = GetEnvironmentStringsW()) {
    for (const wchar_t* p = strings; *p; p += wcslen(p) + 1) {
      std::wstring entry(p);
      // "=C:=C:\..." entries keep the drive's current folder; their name starts with "=".
      size_t equals = entry.find(L'=', 1);
      if (equals == std::wstring::npos || IsFixtureVariable(entry))
        continue;
      sorted[upper(entry.substr(0, equals))] = entry;
    }
    FreeEnvironmentStringsW(strings);
  }
  for (const auto& [name, value] : extra)
    sorted[upper(name)] = name + L"=" + value;
  std::vector<wchar_t> block;
  for (const auto& [key, entry] : sorted) {
    block.insert(block.end(), entry.begin(), entry.end());
    block.push_back(L'\0');
  }
  block.push_back(L'\0');
  return block;
}

}  // namespace

std::wstring WindowsPathOfBuildFile(const char* path) {
  int n = MultiByteToWideChar(CP_UTF8, 0, path, -1, nullptr, 0);
  std::wstring result(size_t(n > 0 ? n - 1 : 0), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, path, -1, result.data(), n);
  for (wchar_t& c : result) {
    if (c == L'/')
      c = L'\\';
  }
  if (!result.empty() && result[0] == L'\\')
    result = L"Z:" + result;
  return result;
}

std::string Narrow(const std::wstring& wide) {
  if (wide.empty())
    return std::string();
  int n =
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), nullptr, 0, nullptr, nullptr);
  std::string utf8(size_t(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), utf8.data(), n, nullptr, nullptr);
  return utf8;
}

std::wstring Widen(const std::string& utf8) {
  if (utf8.empty())
    return std::wstring();
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
  std::wstring wide(size_t(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), wide.data(), n);
  return wide;
}

ProcessResult RunProcess(const std::wstring& program, const ProcessOptions& options) {
  ProcessResult result;
  std::wstring commandLine = L"\"" + program + L"\"";
  if (!options.arguments.empty())
    commandLine += L" " + options.arguments;
  std::vector<wchar_t> writable(commandLine.begin(), commandLine.end());
  writable.push_back(L'\0');
  std::vector<wchar_t> environment = MakeEnvironmentBlock(options.environment);

  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  if (options.showCommand >= 0) {
    startup.dwFlags |= STARTF_USESHOWWINDOW;
    startup.wShowWindow = WORD(options.showCommand);
  }
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(program.c_str(), writable.data(), nullptr, nullptr, FALSE,
                      CREATE_UNICODE_ENVIRONMENT, environment.data(),
                      options.currentDirectory.empty() ? nullptr : options.currentDirectory.c_str(),
                      &startup, &process)) {
    result.startError = GetLastError();
    return result;
  }
  result.started = true;
  CloseHandle(process.hThread);
  if (WaitForSingleObject(process.hProcess, options.timeoutMs) == WAIT_OBJECT_0) {
    result.finished = true;
  } else {
    TerminateProcess(process.hProcess, 1);
    WaitForSingleObject(process.hProcess, 10000);
  }
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  result.exitCode = int32_t(code);
  CloseHandle(process.hProcess);
  return result;
}

std::vector<FixtureCall> ParseFixtureRecord(const std::string& text) {
  std::vector<FixtureCall> calls;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos)
      end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    size_t equals = line.find('=');
    if (equals == std::string::npos)
      continue;
    std::string key = line.substr(0, equals);
    if (key == "call" || calls.empty())
      calls.emplace_back();
    calls.back()[key] = line.substr(equals + 1);
  }
  return calls;
}
