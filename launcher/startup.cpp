#include "launcher/startup.h"

#include <cstring>
#include <exception>

#include "launcher/pathutil/path_util.h"
#include "launcher/preferences.h"
#include "launcher/self_update.h"
#include "launcher/sl_holder.h"
#include "launcher/telemetry_stack.h"
#include "launcher/update_watch.h"
#include "libs/ccutility/http/cancel_group.h"
#include "libs/ccutility/thread/cc_thread.h"
#include "libs/tovik/tovik_logger.h"
#include "logging/file_logger.h"
#include "logging/log_interface.h"
#include "logging/multi_logger.h"
#include "logging/notifier.h"
#include "plugin/action_dll_holder.h"

namespace {

// The application DLL writes its version into the first 32 bytes; the 4 zero bytes after
// them keep even a full, unterminated answer a terminated text.
constexpr size_t kVersionBufferSize = 36;
constexpr int32_t kVersionBytesOffered = 32;
// Session code with which the file log closes once the DLL's version is known.
constexpr int32_t kSessionEndCode = 100;
// How long the end of the run waits for a stopped notification to wind down.
constexpr uint32_t kNotifierStopWaitMs = 3000;
constexpr uint32_t kNotifierPollMs = 10;
// How long the end of the run lets the telemetry threads deliver what they hold: the answer
// to a session message, then the end of the session.
constexpr int32_t kTelemetryEndWaitMs = 6000;

// What the entry function keeps for one run. Members are released in the reverse order of
// their declaration: the local strings first, then the log sinks, then the preferences.
class LauncherRun {
 public:
  LauncherRun(const LaunchArguments& arguments, TelemetryStack& telemetry)
      : m_arguments(arguments), m_telemetry(telemetry) {}

  int32_t Run() {
    m_preferences.Load(m_arguments.commandLine);
    OpenLogs();
    StartNotification();
    m_appDllPath = m_preferences.appDllBase + ".dll";
    m_updateURL = m_preferences.GetString("updateURL");
    m_digestURL = m_preferences.GetString("digestURL");
    if (m_preferences.IsSelfPatchEnabled() && !m_digestURL.IsEmpty()) {
      // The update step takes its time: the telemetry and the crash handler start now.
      m_telemetry.StartBackground();
      RefreshPluginAndUpdate();
    }

    int32_t exitCode = LaunchApplication();
    m_telemetry.StartIsOver();
    StopNotification();
    if (m_updateWatchLeft)
      backgroundWorkLeft = true;
    SL::g_slHolder.Unload();
    // The file log holds its lines in memory until it is closed, and the main logger keeps
    // the sinks alive past this run: close them so the last messages reach the disk, and
    // let the telemetry threads deliver what they hold.
    m_fileLogger->Finish(exitCode);
    m_tovikLogger->Finish(kSessionEndCode);
    if (!m_tovikLogger->Close(kTelemetryEndWaitMs) || !TovikLogger::WaitForThreads(0) ||
        !m_telemetry.WaitForKeptReports(kTelemetryEndWaitMs))
      backgroundWorkLeft = true;
    return exitCode;
  }

 private:
  void OpenLogs() {
    int level = m_preferences.GetLoggingLevel();
    g_mainLogger->level = level;
    m_logPath = m_preferences.basePath + ".log";
    m_fileLogger = CCSharedPtr<FileLogger>(new FileLogger(m_logPath, level));
    g_mainLogger->Add(m_fileLogger);
    // The telemetry sink comes with the crash reporter, which sends what an earlier run
    // kept in the background.
    OpenTelemetry(kLauncherVersion, 0);
  }

  void OpenTelemetry(const char* version, uint32_t previousSession) {
    m_tovikLogger = m_telemetry.OpenSink(version, m_preferences.GetString("tovik").c_str(),
                                         m_preferences.GetTovikLevel(), previousSession);
    g_mainLogger->Add(m_tovikLogger);
  }

  // Once the application DLL's version is known the telemetry sink starts again under it,
  // continuing the session of this run; the crash reporter moves over to the new sink's
  // client and the old sink goes. Nothing here waits for the service: the new sink's thread
  // sends its session message once the old sink's session is known (or given up).
  void ReopenTelemetry(const char* dllVersion) {
    CCSharedPtr<TovikLogger> previous = m_tovikLogger;
    g_mainLogger->Remove(m_tovikLogger);
    m_tovikLogger.Reset();
    m_tovikLogger = m_telemetry.OpenSink(dllVersion, m_preferences.GetString("tovik").c_str(),
                                         m_preferences.GetTovikLevel(), *previous);
    g_mainLogger->Add(m_tovikLogger);
  }

  // The one-time notification: when a ".notify" marker waits without the ".notified"
  // record of an earlier one, a Notifier sends it on its own thread. Waits only until that
  // thread has started. A thread that cannot be made leaves the marker for the next start.
  void StartNotification() {
    CCString notifiedPath = m_preferences.basePath + ".notified";
    if (PathUtil::FileExists(notifiedPath))
      return;
    CCString notifyPath = m_preferences.basePath + ".notify";
    if (!PathUtil::FileExists(notifyPath))
      return;
    try {
      m_notifier = CCSharedPtr<Notifier>(new Notifier(notifyPath, notifiedPath));
      cc::Thread::Holder holder(m_notifier.Get());
      holder.Detach();
    } catch (const cc::ThreadException&) {
      m_notifier.Reset();
    }
  }

  // The process must not end with the notifier's thread still at work: the clean-up that
  // runs at exit (socket shutdown, the runtime's own tables) would pull things out from
  // under it. A notification still on its way is cut off; only one that went through removes
  // its marker, so the next start sends it again.
  void StopNotification() {
    if (!m_notifier)
      return;
    bool ended = false;
    for (uint32_t waited = 0; !ended && waited < kNotifierStopWaitMs; waited += kNotifierPollMs) {
      // Again and again: a connection made after an earlier stop is cut as well.
      m_notifier->Stop();
      ended = m_notifier->WaitForEnd(kNotifierPollMs);
    }
    backgroundWorkLeft = !ended;
  }

 public:
  // The notifier's thread could not be stopped in time (a name lookup that hangs, say).
  bool backgroundWorkLeft = false;

 private:
  // Makes sure an up-to-date plug-in is loaded and lets it bring the launcher's folder up to
  // date, within the "updateTimeLimit" budget: past it, or when the player presses Cancel in
  // the dialog that opens after the first second, the downloads in flight are cut, the
  // installed plug-in copy (if any) stays as it is, no self-update runs and the start goes
  // on. Every failure (a broken plug-in copy, a per-user folder that cannot be made, a
  // plug-in without PLG_Install2) is logged. The plug-in is let go and the dialog closed
  // before the application DLL is loaded.
  void RefreshPluginAndUpdate() {
    const uint32_t limitSeconds = m_preferences.GetUpdateTimeLimitSeconds();
    UpdateWatch watch(limitSeconds * 1000);
    bool loaded;
    {
      cc::CancelGroup::Scope scope(watch.Group());
      CCString failure;
      loaded = LoadActionPlugin(m_updateURL, &failure);
      if (!failure.IsEmpty() && !watch.IsCut())
        g_mainLogger->LogF(kLogStartupWarning, 101, "Main", "Plug-in update failed: %s",
                           failure.c_str());
      if (loaded && !watch.IsCut()) {
        watch.HandOverDialog();
        try {
          if (RunSelfUpdate(m_digestURL, m_preferences.exeDirectory, &watch.Group()) ==
              kSelfUpdateFailed)
            g_mainLogger->LogF(kLogStartupWarning, 96, "Main",
                               "Failed to update application DLL to %s",
                               m_preferences.exeDirectory.c_str());
        } catch (const std::exception& e) {
          g_mainLogger->LogF(kLogStartupWarning, 97, "Main", "Self-update failed: %s", e.what());
        }
      }
    }
    if (loaded)
      g_actionHolder.Unload();
    if (g_actionHolder.IsLoaded()) {
      // Users counted that nobody let go of: the application DLL still runs without it.
      g_mainLogger->Log(kLogStartupWarning, 103, "Main", "ActionDLL still in use; unloading it");
      while (g_actionHolder.IsLoaded())
        g_actionHolder.Unload();
    }

    const UpdateWatch::Outcome outcome = watch.Finish();
    m_updateWatchLeft = watch.LeftThread();
    if (!loaded)
      g_mainLogger->Log(kLogStartupWarning, 102, "Main", "ActionDLL failed to load");
    CCString inFlight = watch.InFlight();
    if (inFlight.IsEmpty())
      inFlight = "nothing";
    if (outcome == UpdateWatch::Outcome::kTimedOut)
      g_mainLogger->LogF(kLogStartupWarning, 104, "Main",
                         "Update took too long (%u s); cut while fetching %s",
                         unsigned(limitSeconds), inFlight.c_str());
    else if (outcome == UpdateWatch::Outcome::kCancelled)
      g_mainLogger->LogF(kLogStartupWarning, 105, "Main",
                         "Update cancelled after %u ms; cut while fetching %s",
                         unsigned(watch.ElapsedMs()), inFlight.c_str());
  }

  // The update step's watchdog did not end in time (its dialog hung in the system).
  bool m_updateWatchLeft = false;

  // Loads the application DLL, checks its build and hands the process over to it.
  int32_t LaunchApplication() {
    if (!SL::g_slHolder.Load(m_appDllPath)) {
      int error = int(DLLHolder::SystemErrorCode());
      g_mainLogger->LogF(kLogErrors, 111, "Main", "Failed to load %s with error %d! Quitting.",
                         m_appDllPath.c_str(), error);
      return kExitDllNotLoaded;
    }

    char version[kVersionBufferSize];
    std::memset(version, 0, sizeof version);
    SL::g_slHolder.SL_GetDLLVersion(version, kVersionBytesOffered);
    CCString dllVersion(version);
    // Shown in the banner unless a message already opened the file log under our version.
    m_fileLogger->version = dllVersion;
    // The run's messages so far end their session; the next one starts a new session.
    m_tovikLogger->Finish(kSessionEndCode);
    m_fileLogger->Finish(kSessionEndCode);
    ReopenTelemetry(version);

    int32_t build = ParseBuildNumber(dllVersion);
    if (IsBuildTooOld(build)) {
      g_mainLogger->LogF(kLogErrors, 147, "Main",
                         "Application DLL version %d of %s is too old! Quitting.", int(build),
                         m_appDllPath.c_str());
      return kExitDllTooOld;
    }
    m_telemetry.StartIsOver();
    return SL::g_slHolder.SL_Launch2(m_arguments.instance, m_arguments.previousInstance,
                                     m_arguments.commandLine, m_arguments.showCommand,
                                     kLauncherVersion, 0);
  }

  const LaunchArguments m_arguments;
  TelemetryStack& m_telemetry;
  Preferences m_preferences;  // makes the executable's folder the current directory
  CCSharedPtr<Notifier> m_notifier;
  CCSharedPtr<FileLogger> m_fileLogger;
  CCSharedPtr<TovikLogger> m_tovikLogger;  // released before the file log
  CCString m_logPath;
  CCString m_appDllPath;
  CCString m_updateURL;
  CCString m_digestURL;
};

}  // namespace

int32_t RunLauncher(const LaunchArguments& arguments, bool* backgroundWorkLeft) {
  // The main logger exists before anything else and is never destroyed: g_mainLogger keeps a
  // reference of its own for the life of the process.
  CCSharedPtr<MultiLogger> mainLogger(new MultiLogger());
  g_mainLogger = mainLogger.Get();
  g_mainLogger->AddRef();

  // Lives as long as the main logger keeps the telemetry sink, so the crash reporter guards
  // the process to its end.
  TelemetryStack* telemetry = new TelemetryStack();

  int32_t exitCode;
  {
    LauncherRun run(arguments, *telemetry);
    exitCode = run.Run();
    if (backgroundWorkLeft)
      *backgroundWorkLeft = run.backgroundWorkLeft;
  }
  mainLogger.Reset();
  return exitCode;
}
