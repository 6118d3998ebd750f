// Time from the creation of a launcher process to the moment the application DLL's
// SL_Launch2 is entered, for Galvorand.exe and for a minimal launcher that only loads the
// same DLL and calls it. The fixture DLL reads the performance counter first thing in
// SL_Launch2 and writes it to the file named by GV_FIXTURE_TIMESTAMP; this program reads the
// same counter (one clock for every process under Wine) just before CreateProcessW. Runs
// alternate between the two programs so that drift in the machine's speed hits both alike.
//
//   launch_bench [runs]    (default 51, after 5 warm-up runs of each)
// Prints both medians and their ratio; exits 1 when the ratio misses the 1.25x target.

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "libs/ccutility/win/win_handles.h"
#include "tests/support/launcher_process.h"
#include "tests/support/test_folder.h"

namespace {

constexpr double kTargetRatio = 1.25;
constexpr int kWarmUpRuns = 5;

struct Subject {
  const char* label;
  std::wstring program;    // in its own folder, beside a copy of the DLL
  std::wstring stampPath;  // where the DLL writes its counter
  std::vector<double> toLaunchMs;
  std::vector<double> wholeRunMs;
};

double Median(std::vector<double> values) {
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
    subject.wholeRunMs.push_back(double(after.QuadPart - before.QuadPart) / ticksPerMs);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = argc > 1 ? std::atoi(argv[1]) : 51;
  if (runs < 1)
    runs = 1;
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  const double ticksPerMs = double(frequency.QuadPart) / 1000.0;

  TestFolder launcherFolder(L"bench-launcher");
  TestFolder minimalFolder(L"bench-minimal");
  const std::wstring dll = WindowsPathOfBuildFile(GV_FIXTURE_APP_DLL);
  bool ready =
      launcherFolder.CopyIn(WindowsPathOfBuildFile(GV_LAUNCHER_EXE), L"Galvorand.exe") &&
      launcherFolder.CopyIn(dll, L"Galvorand.dll") &&
      launcherFolder.Write(L"Galvorand.ini",
                           "[Settings]\r\nloggingLevel=major\r\nselfPatch=false\r\n") &&
      minimalFolder.CopyIn(WindowsPathOfBuildFile(GV_MINIMAL_LAUNCHER_EXE), L"Minimal.exe") &&
      minimalFolder.CopyIn(dll, L"Galvorand.dll");
  if (!ready) {
    fprintf(stderr, "launch_bench: cannot lay out the two launcher folders\n");
    return 2;
  }
  Subject subjects[2] = {
      {"Galvorand.exe",
       launcherFolder.PathOf(L"Galvorand.exe"),
       launcherFolder.PathOf(L"t.txt"),
       {},
       {}},
      {"minimal launcher",
       minimalFolder.PathOf(L"Minimal.exe"),
       minimalFolder.PathOf(L"t.txt"),
       {},
       {}},
  };
  for (int i = 0; i < kWarmUpRuns + runs; ++i) {
    bool keep = i >= kWarmUpRuns;
    int first = i % 2;
    if (!RunOnce(subjects[first], ticksPerMs, keep) ||
        !RunOnce(subjects[1 - first], ticksPerMs, keep))
      return 2;
  }

  printf("launch: process creation to SL_Launch2 entry under wine64, median of %d runs each\n",
         runs);
  for (const Subject& s : subjects) {
    printf("  %-18s %8.2f ms   (whole run %8.2f ms)\n", s.label, Median(s.toLaunchMs),
           Median(s.wholeRunMs));
  }
  double ratio = Median(subjects[0].toLaunchMs) / Median(subjects[1].toLaunchMs);
  printf("  ratio              %8.2fx  (target: at most %.2fx) %s\n", ratio, kTargetRatio,
         ratio <= kTargetRatio ? "met" : "MISSED");
  return ratio <= kTargetRatio ? 0 : 1;
}
