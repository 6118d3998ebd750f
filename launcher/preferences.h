#pragma once

#include <map>
#include <utility>
#include <vector>

#include "launcher/text/cc_string.h"

// The launcher's settings: a fixed table of keys with defaults, overlaid by the ini files
// beside the executable and then by the command line's key=value words. Also works out the
// paths of the DLL, log and marker files. Built once by the entry function, which owns it;
// not thread-safe. Nothing is ever written back to the ini files.
class Preferences {
 public:
  using ValueMap = std::map<CCString, CCString, CCStringLess>;

  // Paths of the running executable; makes its folder the current directory.
  Preferences();
  // The same for an executable at `exePath` (which need not exist).
  explicit Preferences(const CCString& exePath);

  // Empties `values` and inserts every key of the table with its default.
  void InitializePreferencesMap();
  // Reads the main ini file ("-internal.ini", else ".ini"), then "-user.ini", then the
  // blank-separated key=value words of `commandLine`; finally completes "url" or derives
  // "updateURL". Missing files leave the defaults.
  void Load(const CCString& commandLine);
  // Overlays the non-empty values that the ini file at `path` gives, in section "Settings",
  // for keys already in `values`. A missing file does nothing.
  void ReadIniFile(const CCString& path);

  // The value of `key`, or the empty text after a warning through the main logger when the
  // key is unknown.
  CCString GetString(const CCString& key) const;
  // The value of `key`, inserted empty when missing.
  CCString& Set(const CCString& key);

  int GetLoggingLevel() const;
  int GetTovikLevel() const;
  // True exactly for "selfPatch" equal to "true".
  bool IsSelfPatchEnabled() const;
  // "updateTimeLimit": the seconds the whole update step before the launch may take. Digits
  // alone, from 1 to a day; 0, an empty value or anything else means the default.
  uint32_t GetUpdateTimeLimitSeconds() const;
  static constexpr uint32_t kDefaultUpdateTimeLimitSeconds = 60;
  static constexpr uint32_t kMaxUpdateTimeLimitSeconds = 86400;

  ValueMap values;        // keys ignore case, values compare exactly
  CCString iniPath;       // the main ini file Load chose
  CCString exeDirectory;  // folder of the executable, with a trailing separator
  CCString appDllBase;    // exeDirectory + baseName: the application DLL without ".dll"
  CCString basePath;      // the same text: base of the ini, log and marker files
  CCString baseName;      // the executable's file name without its extension

 private:
  void DerivePaths(const CCString& exePath);
  // The platform parts (preferences_win.cpp; preferences_posix.cpp for the host's tests).
  // The running executable's full path.
  static CCString RunningExecutablePath();
  // Makes `folder` the process's current directory; a failure is ignored.
  static void ChangeCurrentDirectory(const CCString& folder);
  // The entries of `section` in the ini file at `path`, in file order, read in one call of
  // the system's profile functions and given as their one-entry call gives each value (blanks
  // around it and one pair of enclosing quotes taken off, cut to 8191 characters). Lines
  // without "=" are left out. Always none on the host.
  using IniEntries = std::vector<std::pair<CCString, CCString>>;
  static IniEntries ReadIniSection(const CCString& path, const char* section);
};

// "live" and "stage" stand for the publisher's web servers ("https://<host>/"); any other
// server text is kept as given. The comparison is exact.
CCString ResolveServerName(const CCString& server);
// The plug-in version file on the server's host, always over plain http: "http://" + the text
// after the server's first "/" and the character after it + "static/plugin/ActionVersion.txt".
// A server without "/" loses its first two characters.
CCString DeriveUpdateURL(const CCString& server);
