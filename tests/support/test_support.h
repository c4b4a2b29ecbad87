// Substitute services and small helpers shared by the tests of both targets.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/services.h"
#include "platform/wstr.h"

namespace testing_support {

// Captures the debugger stream and the report boxes.
class CapturedDiagnostics : public plat::DiagnosticsService {
 public:
  CapturedDiagnostics() : installed_(*this) {}
  void OutputDebugStringW(LPCWSTR text) override { lines.emplace_back(text); }
  int MessageBoxW(HWND, LPCWSTR text, LPCWSTR caption, UINT type) override {
    boxes.push_back({text, caption, type});
    return IDOK;
  }
  struct Box {
    WString text, caption;
    UINT type;
  };
  std::vector<WString> lines;
  std::vector<Box> boxes;

 private:
  plat::Substitute<plat::DiagnosticsService> installed_;
};

// A clock that stands still at a chosen local time and thread id.
class FixedClock : public plat::ClockService {
 public:
  FixedClock() : installed_(*this) {}
  void GetLocalTime(LPSYSTEMTIME st) override { *st = local; }
  DWORD GetCurrentThreadId() override { return threadId; }
  SYSTEMTIME local{2026, 12, 2, 8, 21, 4, 9, 7};
  DWORD threadId = 0xA1C;

 private:
  plat::Substitute<plat::ClockService> installed_;
};

// The module's full file name as Tessaro's code sees it: a text too long for
// the caller's buffer is cut and terminated and the full size reported, as
// Windows does.
class ModuleAt : public plat::ModuleService {
 public:
  explicit ModuleAt(WString path) : path_(std::move(path)), installed_(*this) {}
  DWORD GetModuleFileNameW(HMODULE, LPWSTR buffer, DWORD size) override {
    const DWORD n = static_cast<DWORD>(path_.size());
    if (n + 1 > size) {
      path_.copy(buffer, size - 1);
      buffer[size - 1] = 0;
      return size;
    }
    path_.copy(buffer, n);
    buffer[n] = 0;
    return n;
  }

 private:
  WString path_;
  plat::Substitute<plat::ModuleService> installed_;
};

// The roaming application data folder, moved into a given directory.
class AppDataIn : public plat::FileService {
 public:
  explicit AppDataIn(const WString& folder) : folder_(folder), installed_(*this) {}
  HRESULT SHGetFolderPathW(HWND, int, HANDLE, DWORD, LPWSTR path) override {
    folder_.copy(path, folder_.size());
    path[folder_.size()] = 0;
    return S_OK;
  }

 private:
  WString folder_;
  plat::Substitute<plat::FileService> installed_;
};

// A fresh empty directory, removed with its contents at the end. path() is
// the Windows form (Z:\... on Linux).
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const WString& path() const { return path_; }

 private:
  WString path_;
};

// A registry for the test: on Linux a file registry in a temporary folder,
// on Windows the real one with the product's keys removed before and after.
class TestRegistry {
 public:
  TestRegistry();
  ~TestRegistry();
  TestRegistry(const TestRegistry&) = delete;
  TestRegistry& operator=(const TestRegistry&) = delete;

 private:
  struct Impl;
  Impl* impl_;
};

// Sets (or with nullptr removes) an environment variable for the scope.
class ScopedEnv {
 public:
  ScopedEnv(const WCHAR* name, const WCHAR* value);
  ~ScopedEnv();

 private:
  WString name_;
  WString old_;
  bool had_;
};

// Registry helpers on HKEY_CURRENT_USER.
void SetRegDword(const WCHAR* key, const WCHAR* name, DWORD value);
void SetRegString(const WCHAR* key, const WCHAR* name, const WCHAR* value, DWORD type = REG_SZ);
bool ReadRegString(const WCHAR* key, const WCHAR* name, WString& value);
bool KeyExists(const WCHAR* key);
void DeleteTree(HKEY root, const WCHAR* key);

bool DirectoryExists(const WString& path);

// Text of a WString for assertion messages.
std::string U8(const WString& s);

// The messages of captured debugger lines that carry the prefix: the text
// after it, without the line feed.
std::vector<std::string> MessagesAfter(const std::vector<WString>& lines, const std::string& prefix);

// One line of a log table: the level it is written at and its message.
struct LevelLine {
  DWORD level;
  std::string text;
};

// Runs the scenario once with every level on and once with each level bit
// (error, major, info, detail) switched off in turn. scenario(flags) runs
// with those log flags (the debugger stream and the levels that are on) and
// returns the messages written; each run must write exactly the table's
// lines of the levels that are on, in the table's order.
void ExpectLinesAtLevels(const std::vector<LevelLine>& table,
                         const std::function<std::vector<std::string>(DWORD flags)>& scenario);

// The log flags as the decimal text the ZLMTessaroLogLevel variable takes.
WString LevelVariable(DWORD flags);

}  // namespace testing_support
