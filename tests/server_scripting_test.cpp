// The registered ZLMTessaro.dll scripted by Wine's own script host: the
// JScript and VBScript files in tests/wine/scripts create the three controls
// by ProgID, call every method and check the answers and errors; each exits
// with the number of wrong answers. The module is registered for the length
// of a test and unregistered afterwards.
#include <gtest/gtest.h>

#include "tests/server_support.h"

namespace {

using server_support::ModulePath;
using server_support::Regsvr32;
using server_support::RegistrationUndo;
using server_support::ScriptsDir;

class ServerScripting : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(ModulePath().empty()) << "TESSARO_SERVER_DLL names the module";
    ASSERT_FALSE(ScriptsDir().empty()) << "TESSARO_SCRIPTS_DIR names the scripts' folder";
    ASSERT_EQ(Regsvr32(L""), 0u);
  }

  static DWORD RunScript(const wchar_t* name, const wchar_t* arguments = L"") {
    return server_support::Run(L"cscript.exe //nologo \"" + ScriptsDir() + L"\\" + name + L"\" " + arguments,
                               180000);
  }

  RegistrationUndo undo_;
};

TEST_F(ServerScripting, JScript) { EXPECT_EQ(RunScript(L"controls.js"), 0u); }

TEST_F(ServerScripting, VBScript) { EXPECT_EQ(RunScript(L"controls.vbs"), 0u); }

// The machine's site lock policy for the length of a test: the sites list,
// and whether hosts without a page address are served. The policy key and
// whatever of its parents were missing go again afterwards.
class ServerSiteLock : public ServerScripting {
 protected:
  static constexpr const wchar_t* kPolicyKey = L"Software\\Norvane\\Zelmora\\Tessaro";

  void SetPolicy(DWORD allowLocalHosts) {
    ASSERT_TRUE(keys_.Create(HKEY_LOCAL_MACHINE, kPolicyKey));
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPolicyKey, 0, KEY_SET_VALUE, &key));
    static const wchar_t kSites[] = L"https://portal.example.com\0https://*.example.org\0";
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(key, L"AllowedSites", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(kSites),
                                            sizeof kSites));
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(key, L"AllowLocalHosts", 0, REG_DWORD,
                                            reinterpret_cast<const BYTE*>(&allowLocalHosts), sizeof allowLocalHosts));
    RegCloseKey(key);
  }
  void TearDown() override {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPolicyKey, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
      RegDeleteValueW(key, L"AllowedSites");
      RegDeleteValueW(key, L"AllowLocalHosts");
      RegCloseKey(key);
    }
  }

  server_support::CreatedKeys keys_;
};

TEST_F(ServerSiteLock, AScriptHostIsRefusedByDefault) {
  SetPolicy(0);
  EXPECT_EQ(RunScript(L"sitelock.js", L"refused"), 0u);
}

TEST_F(ServerSiteLock, AScriptHostIsServedWhenLocalHostsAreAllowed) {
  SetPolicy(1);
  EXPECT_EQ(RunScript(L"sitelock.js", L"served"), 0u);
}

}  // namespace
