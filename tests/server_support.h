// The shipped module seen from outside, under Wine: where the DLL is, the
// programs that register and script it (regsvr32, cscript), and the
// registry they change. Windows only; the tests that use it run as Windows
// programs in the build tree's prefix.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace server_support {

// A Unix path as the prefix's Z: drive shows it.
std::wstring WindowsPath(const std::string& unixPath);
// The DLL under test (TESSARO_SERVER_DLL) and the folder of the test
// scripts (TESSARO_SCRIPTS_DIR), both given by the build as Unix paths.
std::wstring ModulePath();
std::wstring ScriptsDir();

// Runs a command line with the console of the test, waits at most
// timeoutMs and returns the exit code; a program that does not end in time
// is terminated and gives kTimedOut, one that cannot start kNotStarted.
constexpr DWORD kTimedOut = 0xFFFFFFF0;
constexpr DWORD kNotStarted = 0xFFFFFFF1;
DWORD Run(const std::wstring& commandLine, DWORD timeoutMs);
// regsvr32 /s with the switches, on the module under test.
DWORD Regsvr32(const std::wstring& switches);

bool KeyExists(HKEY root, const std::wstring& path);
// A string value (name empty: the key's default value), or nothing when the
// key or value is missing or not a string.
std::optional<std::wstring> StringValue(HKEY root, const std::wstring& path, const std::wstring& name = L"");
bool EqualsNoCase(const std::wstring& a, const std::wstring& b);

// Keys a test creates and removes again: Create makes a key with whatever
// of its parents are missing; the destructor deletes, with everything
// below, the topmost key each Create made. Keys that existed are left.
class CreatedKeys {
 public:
  CreatedKeys() = default;
  CreatedKeys(const CreatedKeys&) = delete;
  CreatedKeys& operator=(const CreatedKeys&) = delete;
  ~CreatedKeys();
  bool Create(HKEY root, const std::wstring& path);

 private:
  struct Created {
    HKEY root;
    std::wstring path;
  };
  std::vector<Created> created_;
};

// Deletes a key with its whole subtree; true when it is gone.
bool DeleteTree(HKEY root, const std::wstring& path);

// The browser pre-approval parents under HKEY_LOCAL_MACHINE.
extern const wchar_t kPreApproved[];
extern const wchar_t kPreApprovedWow[];

// Undoes what registering the module does to the prefix: the destructor
// unregisters it per machine and per user, removes any of the module's keys
// left in either hive's classes, and the pre-approval keys (which
// unregistration keeps) and the user's classes key with its "AppID" and
// "CLSID" keys, while empty, that were not there at construction.
class RegistrationUndo {
 public:
  RegistrationUndo();
  ~RegistrationUndo();
  RegistrationUndo(const RegistrationUndo&) = delete;
  RegistrationUndo& operator=(const RegistrationUndo&) = delete;

 private:
  std::vector<std::wstring> absentBefore_;
  std::vector<std::wstring> absentParents_;
};

}  // namespace server_support
