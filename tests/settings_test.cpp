#include <gtest/gtest.h>

#include "module/AXLogger.h"
#include "module/AXRegistrySettings.h"
#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

const WCHAR* const kSubKey = WSTR("Calendar Presence");
const WString kComponent = WString(kComponentKey) + kSubKey;

class UnavailableAppData : public plat::FileService {
 public:
  UnavailableAppData() : installed_(*this) {}
  HRESULT SHGetFolderPathW(HWND, int, HANDLE, DWORD, LPWSTR) override { return E_FAIL; }

 private:
  plat::Substitute<plat::FileService> installed_;
};

// Counts the calls that reach the registry and the environment.
class CountingRegistry : public plat::RegistryService {
 public:
  CountingRegistry() : inner_(plat::Registry()), installed_(*this) {}
  LONG RegOpenKeyW(HKEY k, LPCWSTR s, PHKEY r) override { return ++calls, inner_.RegOpenKeyW(k, s, r); }
  LONG RegQueryValueExW(HKEY k, LPCWSTR n, LPDWORD r, LPDWORD t, LPBYTE d, LPDWORD s) override {
    return ++calls, inner_.RegQueryValueExW(k, n, r, t, d, s);
  }
  LONG RegSetValueExW(HKEY k, LPCWSTR n, DWORD r, DWORD t, const BYTE* d, DWORD s) override {
    return ++calls, inner_.RegSetValueExW(k, n, r, t, d, s);
  }
  LONG RegCreateKeyExW(HKEY k, LPCWSTR s, DWORD r, LPWSTR c, DWORD o, REGSAM m, LPSECURITY_ATTRIBUTES a, PHKEY h,
                       LPDWORD d) override {
    return ++calls, inner_.RegCreateKeyExW(k, s, r, c, o, m, a, h, d);
  }
  LONG RegCloseKey(HKEY k) override { return inner_.RegCloseKey(k); }
  int calls = 0;

 private:
  plat::RegistryService& inner_;
  plat::Substitute<plat::RegistryService> installed_;
};

class CountingEnv : public plat::EnvironmentService {
 public:
  CountingEnv() : installed_(*this) {}
  DWORD GetEnvironmentVariableW(LPCWSTR n, LPWSTR b, DWORD s) override {
    return ++calls, plat::EnvironmentService::GetEnvironmentVariableW(n, b, s);
  }
  int calls = 0;

 private:
  plat::Substitute<plat::EnvironmentService> installed_;
};

// Every test starts from an empty registry, no settings in the environment,
// a data folder of its own and the module "ZLMTessaro.dll".
class Settings : public ::testing::Test {
 protected:
  TestRegistry registry;
  TempDir temp;
  AppDataIn appData{temp.path()};
  ModuleAt module{WSTR("C:\\Program Files\\Tessaro\\ZLMTessaro.dll")};
  CapturedDiagnostics diag;
  ScopedEnv level{WSTR("ZLMTessaroLogLevel"), nullptr};
  ScopedEnv dir{WSTR("ZLMTessaroLogDir"), nullptr};
  CAXRegistrySettings settings{kSubKey};

  WString DataFolder() const { return temp.path() + WSTR("\\Norvane\\Zelmora\\Tessaro"); }
  WString LastUsed() {
    WString value;
    ReadRegString(kProductKey, WSTR("LogFilenameLastUsed"), value);
    return value;
  }
};

}  // namespace

TEST_F(Settings, NothingConfiguredGivesSilenceAndTheDataFolder) {
  settings.Load();
  EXPECT_TRUE(settings.m_loaded);
  EXPECT_EQ(0u, settings.m_debugFlags.load());
  EXPECT_EQ(U8(DataFolder() + WSTR("\\ZLMTessaro.log")), U8(settings.m_logFilePath));
  EXPECT_TRUE(DirectoryExists(DataFolder()));
  EXPECT_FALSE(KeyExists(kProductKey));
  EXPECT_TRUE(diag.boxes.empty());
}

TEST_F(Settings, RegistryFlagsWinAndEnvironmentFillsIn) {
  SetRegDword(kComponent.c_str(), WSTR("DebugFlags"), 0);
  ScopedEnv decimal(WSTR("ZLMTessaroLogLevel"), WSTR("134217743"));
  settings.Load();
  EXPECT_EQ(0x0800000Fu, settings.m_debugFlags.load());

  CAXRegistrySettings registryWins(kSubKey);
  SetRegDword(kComponent.c_str(), WSTR("DebugFlags"), 0x08000001);
  registryWins.Load();
  EXPECT_EQ(0x08000001u, registryWins.m_debugFlags.load());
}

TEST_F(Settings, EnvironmentLevelIsDecimalOnly) {
  const std::pair<const WCHAR*, DWORD> cases[] = {
      {WSTR("0x0800000F"), 0}, {WSTR("  +12"), 12}, {WSTR("abc"), 0}, {WSTR("7 apples"), 7}, {WSTR("-1"), 0xFFFFFFFF}};
  for (const auto& [text, expected] : cases) {
    ScopedEnv env(WSTR("ZLMTessaroLogLevel"), text);
    CAXRegistrySettings s(kSubKey);
    s.Load();
    EXPECT_EQ(expected, s.m_debugFlags.load()) << U8(text);
  }
}

TEST_F(Settings, DebugFlagsOfAnotherTypeAreIgnored) {
  SetRegString(kComponent.c_str(), WSTR("DebugFlags"), WSTR("134217743"));
  ScopedEnv env(WSTR("ZLMTessaroLogLevel"), WSTR("3"));
  settings.Load();
  EXPECT_EQ(3u, settings.m_debugFlags.load());
}

TEST_F(Settings, EnvironmentDirectoryCountsOnlyWithoutTheComponentKey) {
  TempDir logs;
  {
    ScopedEnv env(WSTR("ZLMTessaroLogDir"), logs.path().c_str());
    SetRegDword(kComponent.c_str(), WSTR("DebugFlags"), 0);
    settings.Load();
    EXPECT_EQ(U8(DataFolder() + WSTR("\\ZLMTessaro.log")), U8(settings.m_logFilePath));

    DeleteTree(HKEY_CURRENT_USER, kComponent.c_str());
    CAXRegistrySettings noKey(kSubKey);
    noKey.Load();
    EXPECT_EQ(U8(logs.path() + WSTR("\\ZLMTessaro.log")), U8(noKey.m_logFilePath));
  }
}

TEST_F(Settings, LogDirectoryFromTheRegistry) {
  TempDir logs;
  const WString withSlash = logs.path() + WSTR("\\");
  SetRegString(kComponent.c_str(), WSTR("LogDirectory"), withSlash.c_str());
  settings.Load();
  EXPECT_EQ(U8(withSlash + WSTR("ZLMTessaro.log")), U8(settings.m_logFilePath));

  // A new last level is created; REG_EXPAND_SZ is not taken.
  const WString fresh = logs.path() + WSTR("\\fresh");
  SetRegString(kComponent.c_str(), WSTR("LogDirectory"), fresh.c_str());
  CAXRegistrySettings created(kSubKey);
  created.Load();
  EXPECT_EQ(U8(fresh + WSTR("\\ZLMTessaro.log")), U8(created.m_logFilePath));
  EXPECT_TRUE(DirectoryExists(fresh));

  SetRegString(kComponent.c_str(), WSTR("LogDirectory"), fresh.c_str(), REG_EXPAND_SZ);
  CAXRegistrySettings expand(kSubKey);
  expand.Load();
  EXPECT_EQ(U8(DataFolder() + WSTR("\\ZLMTessaro.log")), U8(expand.m_logFilePath));
  EXPECT_TRUE(diag.boxes.empty());
}

TEST_F(Settings, UncreatableDirectoryIsReportedThenTheDataFolderUsed) {
  const WString missing = temp.path() + WSTR("\\no\\such\\parent");
  SetRegString(kComponent.c_str(), WSTR("LogDirectory"), missing.c_str());
  settings.Load();
  EXPECT_EQ(U8(DataFolder() + WSTR("\\ZLMTessaro.log")), U8(settings.m_logFilePath));
  ASSERT_EQ(1u, diag.boxes.size());
  EXPECT_EQ("AXRegistrySettings", U8(diag.boxes[0].caption));
  const std::string text = U8(diag.boxes[0].text);
  EXPECT_EQ(0u, text.find("CreateDirectory returned error: ")) << text;
  EXPECT_NE(std::string::npos, text.find("\nDirectory: \\\\?\\" + U8(missing))) << text;
}

TEST_F(Settings, NonZeroFlagsPublishTheLogFilePath) {
  SetRegDword(kComponent.c_str(), WSTR("DebugFlags"), 0x0800000F);
  settings.Load();
  EXPECT_EQ(U8(settings.m_logFilePath), U8(LastUsed()));
  EXPECT_FALSE(settings.m_logFilePath.empty());
}

TEST_F(Settings, SecondLoadTouchesNothing) {
  SetRegDword(kComponent.c_str(), WSTR("DebugFlags"), 0x08000001);
  settings.Load();
  CountingRegistry countingRegistry;
  CountingEnv countingEnv;
  SetRegDword(kComponent.c_str(), WSTR("DebugFlags"), 0x0800000F);
  countingRegistry.calls = 0;
  settings.Load();
  EXPECT_EQ(0, countingRegistry.calls);
  EXPECT_EQ(0, countingEnv.calls);
  EXPECT_EQ(0x08000001u, settings.m_debugFlags.load());
}

TEST_F(Settings, LogFileFlagMakesSureAPathExists) {
  ScopedEnv env(WSTR("ZLMTessaroLogLevel"), WSTR("16777216"));  // LOG_TO_FILE only
  settings.Load();
  EXPECT_EQ(LOG_TO_FILE, settings.m_debugFlags.load());
  EXPECT_FALSE(settings.m_logFilePath.empty());
}

TEST(SettingsPaths, ModuleNameGivesDirectoryAndLogFileName) {
  struct Case {
    const WCHAR* module;
    const char* dir;
    const char* log;
  } cases[] = {
      {WSTR("C:\\x\\ZLMTessaro.DLL"), "C:\\x\\", "ZLMTessaro.log"},
      {WSTR("C:\\x\\host.exe"), "C:\\x\\", "host.exe.log"},
      {WSTR("bare.dll"), ".\\", "bare.log"},
      {WSTR("\\.dll"), "\\", ".log"},
  };
  for (const auto& c : cases) {
    ModuleAt module(c.module);
    CAXRegistrySettings s(kSubKey);
    EXPECT_EQ(c.log, U8(s.GetLogFileName()));
    EXPECT_EQ(c.dir, U8(s.m_moduleDir));
  }
}

TEST(SettingsPaths, MissingDataFolderIsTheRoot) {
  UnavailableAppData none;
  CAXRegistrySettings s(kSubKey);
  EXPECT_EQ("\\", U8(s.GetDataFolder()));
  EXPECT_FALSE(s.EnsureDirectory(WSTR("")));
  EXPECT_FALSE(s.EnsureDirectory(nullptr));
}
