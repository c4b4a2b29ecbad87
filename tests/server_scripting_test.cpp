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

  static DWORD RunScript(const wchar_t* name) {
    return server_support::Run(L"cscript.exe //nologo \"" + ScriptsDir() + L"\\" + name + L"\"", 180000);
  }

  RegistrationUndo undo_;
};

TEST_F(ServerScripting, JScript) { EXPECT_EQ(RunScript(L"controls.js"), 0u); }

TEST_F(ServerScripting, VBScript) { EXPECT_EQ(RunScript(L"controls.vbs"), 0u); }

}  // namespace
