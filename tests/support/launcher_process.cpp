#include "tests/support/launcher_process.h"

#include <windows.h>

#include "libs/ccutility/win/wide_text.h"
#include "libs/ccutility/win/win_handles.h"

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
  std::wstring result = Widen(path);
  for (wchar_t& c : result) {
    if (c == L'/')
      c = L'\\';
  }
  if (!result.empty() && result[0] == L'\\')
    result = L"Z:" + result;
  return result;
}

std::string Narrow(const std::wstring& wide) {
  return cc::win::Utf8(wide);
}

std::wstring Widen(const std::string& utf8) {
  return cc::win::Wide(utf8);
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
  cc::win::ScopedHandle child(process.hProcess), firstThread(process.hThread);
  if (WaitForSingleObject(child.Get(), options.timeoutMs) == WAIT_OBJECT_0) {
    result.finished = true;
  } else {
    TerminateProcess(child.Get(), 1);
    WaitForSingleObject(child.Get(), 10000);
  }
  DWORD code = 0;
  GetExitCodeProcess(child.Get(), &code);
  result.exitCode = int32_t(code);
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
