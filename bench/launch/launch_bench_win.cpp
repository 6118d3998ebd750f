// Time from the creation of a launcher process to the moment the application DLL's
// SL_Launch2 is entered, for Galvorand.exe against three kinds of telemetry service (our
// collection service on 127.0.0.1, a host name that does not resolve, and a service that
// accepts connections and never answers) and for a minimal launcher that only loads the same
// DLL and calls it. The fixture DLL reads the performance counter first thing in SL_Launch2
// and writes it to the file named by GV_FIXTURE_TIMESTAMP; this program reads the same
// counter (one clock for every process under Wine) just before CreateProcessW. Runs rotate
// between the programs so that drift in the machine's speed hits all alike.
//
//   launch_bench [runs]    (default 51, after 5 warm-up runs of each)
// Prints the medians, each launcher's ratio and milliseconds over the minimal launcher; exits
// 1 when one is more than 5 ms over it. GV_TOVIK_PORT names the local service's port.

#include <windows.h>
#include <winsock2.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "libs/ccutility/win/win_handles.h"
#include "tests/support/launcher_process.h"
#include "tests/support/test_folder.h"

namespace {

constexpr double kTargetOverMs = 5.0;
constexpr int kWarmUpRuns = 5;

struct Subject {
  const char* label;
  std::unique_ptr<TestFolder> folder;
  std::wstring program;    // in its own folder, beside a copy of the DLL
  std::wstring stampPath;  // where the DLL writes its counter
  // The run is ended once SL_Launch2 was entered: what the launcher does after it (waiting
  // for a service that never answers) is not measured.
  bool endAtLaunch = false;
  std::vector<double> toLaunchMs;
  std::vector<double> wholeRunMs;
};

double Median(std::vector<double> values) {
  if (values.empty())
    return 0;
  std::sort(values.begin(), values.end());
  size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// One run; false when the program could not start, failed or wrote no time stamp.
bool RunOnce(Subject& subject, double ticksPerMs, bool keep) {
  DeleteFileW(subject.stampPath.c_str());
  SetEnvironmentVariableW(L"GV_FIXTURE_TIMESTAMP", subject.stampPath.c_str());
  std::wstring commandLine = L"\"" + subject.program + L"\" selfPatch=false";
  std::vector<wchar_t> writable(commandLine.begin(), commandLine.end());
  writable.push_back(L'\0');
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};

  LARGE_INTEGER before, after;
  QueryPerformanceCounter(&before);
  if (!CreateProcessW(subject.program.c_str(), writable.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &startup, &process)) {
    fprintf(stderr, "%s: CreateProcessW failed with error %lu\n", subject.label, GetLastError());
    return false;
  }
  cc::win::ScopedHandle child(process.hProcess), firstThread(process.hThread);
  bool ended = false;
  if (subject.endAtLaunch) {
    // Looked for every 20 ms: a tighter poll loads the system's server while the child
    // starts, and the child's time stamp, not this loop, is what is measured.
    for (int waited = 0; waited < 60000; waited += 20) {
      if (WaitForSingleObject(child.Get(), 20) == WAIT_OBJECT_0)
        break;
      if (GetFileAttributesW(subject.stampPath.c_str()) != INVALID_FILE_ATTRIBUTES) {
        Sleep(20);  // the stamp is written whole
        TerminateProcess(child.Get(), 0);
        ended = true;
        break;
      }
    }
  }
  WaitForSingleObject(child.Get(), INFINITE);
  QueryPerformanceCounter(&after);
  DWORD exitCode = 1;
  GetExitCodeProcess(child.Get(), &exitCode);

  std::string stamp = ReadWholeFile(subject.stampPath);
  if (exitCode != 0 || stamp.empty()) {
    fprintf(stderr, "%s: exit code %ld, time stamp '%s'\n", subject.label, long(exitCode),
            stamp.c_str());
    return false;
  }
  long long entered = std::strtoll(stamp.c_str(), nullptr, 10);
  if (keep) {
    subject.toLaunchMs.push_back(double(entered - before.QuadPart) / ticksPerMs);
    if (!ended)
      subject.wholeRunMs.push_back(double(after.QuadPart - before.QuadPart) / ticksPerMs);
  }
  return true;
}

// A service that accepts every connection and never answers; its port.
uint16_t StartSilentService() {
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
    return 0;
  SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof address;
  if (listener == INVALID_SOCKET ||
      bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, SOMAXCONN) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    return 0;
  // Accepted connections are kept open and never read, for the whole benchmark.
  std::thread([listener] {
    for (;;) {
      if (accept(listener, nullptr, nullptr) == INVALID_SOCKET)
        return;
    }
  }).detach();
  return ntohs(address.sin_port);
}

}  // namespace

int main(int argc, char** argv) {
  int runs = argc > 1 ? std::atoi(argv[1]) : 51;
  if (runs < 1)
    runs = 1;
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  const double ticksPerMs = double(frequency.QuadPart) / 1000.0;

  const char* localPort = std::getenv("GV_TOVIK_PORT");
  const uint16_t silentPort = StartSilentService();
  if (!localPort || silentPort == 0) {
    fprintf(stderr, "launch_bench: %s\n",
            localPort ? "cannot start the silent service" : "GV_TOVIK_PORT is not set");
    return 2;
  }
  const std::string services[] = {
      std::string("127.0.0.1:") + localPort,
      "tovik.unresolvable.invalid",
      "127.0.0.1:" + std::to_string(silentPort),
  };
  const char* labels[] = {"local service", "unresolvable name", "silent service"};
  const std::wstring dll = WindowsPathOfBuildFile(GV_FIXTURE_APP_DLL);

  std::vector<Subject> subjects;
  bool ready = true;
  for (int i = 0; i < 3; ++i) {
    Subject s;
    s.label = labels[i];
    s.folder = std::make_unique<TestFolder>(L"bench-launcher-" + std::to_wstring(i));
    s.program = s.folder->PathOf(L"Galvorand.exe");
    s.stampPath = s.folder->PathOf(L"t.txt");
    s.endAtLaunch = i == 2;
    ready =
        ready && s.folder->CopyIn(WindowsPathOfBuildFile(GV_LAUNCHER_EXE), L"Galvorand.exe") &&
        s.folder->CopyIn(dll, L"Galvorand.dll") &&
        s.folder->Write(
            L"Galvorand.ini",
            "[Settings]\r\nloggingLevel=major\r\nselfPatch=false\r\ntovik=" + services[i] + "\r\n");
    subjects.push_back(std::move(s));
  }
  {
    Subject s;
    s.label = "minimal launcher";
    s.folder = std::make_unique<TestFolder>(L"bench-minimal");
    s.program = s.folder->PathOf(L"Minimal.exe");
    s.stampPath = s.folder->PathOf(L"t.txt");
    ready = ready &&
            s.folder->CopyIn(WindowsPathOfBuildFile(GV_MINIMAL_LAUNCHER_EXE), L"Minimal.exe") &&
            s.folder->CopyIn(dll, L"Galvorand.dll");
    subjects.push_back(std::move(s));
  }
  if (!ready) {
    fprintf(stderr, "launch_bench: cannot lay out the launcher folders\n");
    return 2;
  }
  const size_t count = subjects.size();
  for (int i = 0; i < kWarmUpRuns + runs; ++i) {
    bool keep = i >= kWarmUpRuns;
    for (size_t k = 0; k < count; ++k) {
      if (!RunOnce(subjects[(size_t(i) + k) % count], ticksPerMs, keep))
        return 2;
    }
  }

  printf("launch: process creation to SL_Launch2 entry under wine64, median of %d runs each\n",
         runs);
  const Subject& minimal = subjects.back();
  const double minimalMs = Median(minimal.toLaunchMs);
  printf("  %-18s %8.2f ms   (whole run %8.2f ms)\n", minimal.label, minimalMs,
         Median(minimal.wholeRunMs));
  bool met = true;
  for (size_t k = 0; k + 1 < count; ++k) {
    const Subject& s = subjects[k];
    const double ms = Median(s.toLaunchMs);
    const double over = ms - minimalMs;
    met = met && over <= kTargetOverMs;
    printf(
        "  Galvorand.exe, %-18s %8.2f ms  %5.2fx  %+6.2f ms over the minimal launcher "
        "(target: at most %+.0f ms) %s",
        s.label, ms, ms / minimalMs, over, kTargetOverMs, over <= kTargetOverMs ? "met" : "MISSED");
    if (s.wholeRunMs.empty())
      printf("\n");
    else
      printf("   (whole run %8.2f ms)\n", Median(s.wholeRunMs));
  }
  return met ? 0 : 1;
}
