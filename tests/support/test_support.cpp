#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <random>

#include "module/AXLogger.h"

#ifndef _WIN32
#include <stdlib.h>

#include "platform/linux/file_registry.h"
#include "platform/linux/paths.h"
#endif

namespace testing_support {

namespace {

std::filesystem::path NativePath(const WString& winPath) {
#ifdef _WIN32
  return std::filesystem::path(winPath);
#else
  std::string unixPath;
  plat::linux_paths::ToUnix(winPath, unixPath);
  return std::filesystem::path(unixPath);
#endif
}

}  // namespace

TempDir::TempDir() {
#ifdef _WIN32
  WCHAR base[MAX_PATH];
  ::GetTempPathW(MAX_PATH, base);
  std::random_device rd;
  for (;;) {
    WString candidate = WString(base) + L"tessaro-test-" + std::to_wstring(rd());
    if (::CreateDirectoryW(candidate.c_str(), nullptr)) {
      path_ = candidate;
      break;
    }
  }
#else
  char templ[] = "/tmp/tessaro-test-XXXXXX";
  const char* made = ::mkdtemp(templ);
  path_ = plat::linux_paths::FromUnix(made != nullptr ? made : "/tmp");
#endif
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(NativePath(path_), ec);
}

bool DirectoryExists(const WString& path) {
  std::error_code ec;
  return std::filesystem::is_directory(NativePath(path), ec);
}

struct TestRegistry::Impl {
#ifdef _WIN32
  Impl() { Clean(); }
  ~Impl() { Clean(); }
  static void Clean() {
    DeleteTree(HKEY_CURRENT_USER, WSTR("Software\\\\Norvane"));
    DeleteTree(HKEY_CURRENT_USER, WSTR("Software\\Norvane"));
  }
#else
  TempDir folder;
  std::unique_ptr<plat::FileRegistry> registry;
  std::unique_ptr<plat::Substitute<plat::RegistryService>> installed;
  Impl() {
    std::string unixPath;
    plat::linux_paths::ToUnix(folder.path(), unixPath);
    registry = std::make_unique<plat::FileRegistry>(unixPath);
    installed = std::make_unique<plat::Substitute<plat::RegistryService>>(*registry);
  }
#endif
};

TestRegistry::TestRegistry() : impl_(new Impl) {}
TestRegistry::~TestRegistry() { delete impl_; }

ScopedEnv::ScopedEnv(const WCHAR* name, const WCHAR* value) : name_(name) {
  WCHAR buffer[4096];
  const DWORD n = plat::Env().GetEnvironmentVariableW(name, buffer, 4096);
  had_ = n > 0 && n < 4096;
  if (had_) old_.assign(buffer, n);
  plat::Env().SetEnvironmentVariableW(name, value);
}

ScopedEnv::~ScopedEnv() { plat::Env().SetEnvironmentVariableW(name_.c_str(), had_ ? old_.c_str() : nullptr); }

void SetRegDword(const WCHAR* key, const WCHAR* name, DWORD value) {
  HKEY k = nullptr;
  if (plat::Registry().RegCreateKeyExW(HKEY_CURRENT_USER, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k,
                                       nullptr) != ERROR_SUCCESS)
    return;
  plat::Registry().RegSetValueExW(k, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
  plat::Registry().RegCloseKey(k);
}

void SetRegString(const WCHAR* key, const WCHAR* name, const WCHAR* value, DWORD type) {
  HKEY k = nullptr;
  if (plat::Registry().RegCreateKeyExW(HKEY_CURRENT_USER, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k,
                                       nullptr) != ERROR_SUCCESS)
    return;
  plat::Registry().RegSetValueExW(k, name, 0, type, reinterpret_cast<const BYTE*>(value),
                                  static_cast<DWORD>((wstr::Len(value) + 1) * sizeof(WCHAR)));
  plat::Registry().RegCloseKey(k);
}

bool ReadRegString(const WCHAR* key, const WCHAR* name, WString& value) {
  HKEY k = nullptr;
  if (plat::Registry().RegOpenKeyW(HKEY_CURRENT_USER, key, &k) != ERROR_SUCCESS) return false;
  WCHAR buffer[1024] = {};
  DWORD type = 0, size = sizeof buffer - sizeof(WCHAR);
  const LONG rc = plat::Registry().RegQueryValueExW(k, name, nullptr, &type, reinterpret_cast<LPBYTE>(buffer), &size);
  plat::Registry().RegCloseKey(k);
  if (rc != ERROR_SUCCESS || type != REG_SZ) return false;
  value = buffer;
  return true;
}

bool KeyExists(const WCHAR* key) {
  HKEY k = nullptr;
  if (plat::Registry().RegOpenKeyW(HKEY_CURRENT_USER, key, &k) != ERROR_SUCCESS) return false;
  plat::Registry().RegCloseKey(k);
  return true;
}

void DeleteTree(HKEY root, const WCHAR* key) {
  HKEY k = nullptr;
  if (plat::Registry().RegOpenKeyW(root, key, &k) != ERROR_SUCCESS) return;
  for (;;) {
    WCHAR name[256];
    DWORD size = 256;
    if (plat::Registry().RegEnumKeyExW(k, 0, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    const WString child = WString(key) + WSTR("\\") + name;
    const size_t before = child.size();
    DeleteTree(root, child.c_str());
    if (KeyExists(child.c_str()) || before == 0) break;  // could not delete: stop
  }
  plat::Registry().RegCloseKey(k);
  plat::Registry().RegDeleteKeyW(root, key);
}

std::string U8(const WString& s) { return wstr::ToUtf8(s); }

std::vector<std::string> MessagesAfter(const std::vector<WString>& lines, const std::string& prefix) {
  std::vector<std::string> out;
  for (const auto& line : lines) {
    std::string text = U8(line);
    const size_t at = text.find(prefix);
    if (at == std::string::npos) continue;
    text = text.substr(at + prefix.size());
    if (!text.empty() && text.back() == '\n') text.pop_back();
    out.push_back(text);
  }
  return out;
}

void ExpectLinesAtLevels(const std::vector<LevelLine>& table,
                         const std::function<std::vector<std::string>(DWORD flags)>& scenario) {
  constexpr DWORD kLevels = LOG_ERROR | LOG_MAJOR | LOG_INFO | LOG_DETAIL;
  for (DWORD off : {DWORD{0}, LOG_ERROR, LOG_MAJOR, LOG_INFO, LOG_DETAIL}) {
    const DWORD levels = kLevels & ~off;
    std::vector<std::string> expected;
    for (const LevelLine& line : table)
      if ((line.level & levels) == line.level) expected.push_back(line.text);
    SCOPED_TRACE(::testing::Message() << "levels 0x" << std::hex << levels);
    EXPECT_EQ(expected, scenario(LOG_TO_DEBUGGER | levels));
  }
}

WString LevelVariable(DWORD flags) {
  const std::string digits = std::to_string(flags);
  return WString(digits.begin(), digits.end());
}

}  // namespace testing_support
