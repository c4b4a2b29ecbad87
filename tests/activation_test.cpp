// The page stand-in creates its controls by ProgID through the registry.
#include <gtest/gtest.h>

#include "activemon/ActiveMonAX.h"
#include "calpresence/CalPresenceIds.h"
#include "host/activation.h"
#include "mapisearch/MapiSearchAX.h"
#include "module/TessaroModule.h"
#include "tests/support/test_support.h"

namespace {

using testing_support::KeyExists;

class ControlActivation : public ::testing::Test {
 protected:
  void SetUp() override {
    tessaro::CTessaroModule::Instance().SetPerUser(true);
    DllUnregisterServer();
  }
  void TearDown() override {
    DllUnregisterServer();
    tessaro::CTessaroModule::Instance().SetPerUser(false);
  }
  testing_support::TestRegistry registry;
};

TEST_F(ControlActivation, EachControlByEitherProgIdAfterRegisteringForTheUser) {
  CLSID clsid{};
  ASSERT_EQ(host::ClassOfProgId(WSTR("ZLMTessaro.MapiSearchAX.214"), &clsid), REGDB_E_CLASSNOTREG);
  struct Case {
    const WCHAR* progId;
    const IID* iid;
    const CLSID* clsid;
  };
  const Case cases[] = {
      {WSTR("ZLMTessaro.CalPresenceAX.214"), &IID_ICalPresence, &CLSID_CalPresenceAX},
      {WSTR("ZLMTessaro.CalPresenceAX"), &IID_ICalPresence, &CLSID_CalPresenceAX},
      {WSTR("ZLMTessaro.ActiveMonAX.214"), &IID_IActiveMon, &CLSID_ActiveMonAX},
      {WSTR("ZLMTessaro.ActiveMonAX"), &IID_IActiveMon, &CLSID_ActiveMonAX},
      {WSTR("ZLMTessaro.MapiSearchAX.214"), &IID_IMapiSearch, &CLSID_MapiSearchAX},
      {WSTR("ZLMTessaro.MapiSearchAX"), &IID_IMapiSearch, &CLSID_MapiSearchAX},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing_support::U8(c.progId));
    IUnknown* control = nullptr;
    ASSERT_EQ(host::CreateControl(c.progId, *c.iid, reinterpret_cast<void**>(&control)), S_OK);
    ASSERT_NE(control, nullptr);
    control->Release();
    ASSERT_EQ(host::ClassOfProgId(c.progId, &clsid), S_OK);
    EXPECT_EQ(clsid, *c.clsid);
  }
  EXPECT_TRUE(KeyExists(WSTR("Software\\Classes\\ZLMTessaro.CalPresenceAX.214")));
  EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

TEST_F(ControlActivation, AStaleRegistrationIsReplacedByThisProgramsOwn) {
  IUnknown* control = nullptr;
  ASSERT_EQ(host::CreateControl(WSTR("ZLMTessaro.ActiveMonAX"), IID_IUnknown, reinterpret_cast<void**>(&control)),
            S_OK);
  control->Release();
  // The module moved away since it was registered.
  const WString key = WSTR("Software\\Classes\\CLSID\\") + plat::GuidText(CLSID_ActiveMonAX) + WSTR("\\InprocServer32");
  const WString gone = WSTR("C:\\nowhere\\ZLMTessaro.dll");
  testing_support::SetRegString(key.c_str(), nullptr, gone.c_str());
  ASSERT_EQ(host::CreateControl(WSTR("ZLMTessaro.ActiveMonAX"), IID_IUnknown, reinterpret_cast<void**>(&control)),
            S_OK);
  control->Release();
  WString server;
  ASSERT_TRUE(testing_support::ReadRegString(key.c_str(), nullptr, server));
  EXPECT_NE(server, gone);
}

TEST_F(ControlActivation, UnknownOrBrokenRegistrations) {
  IUnknown* control = reinterpret_cast<IUnknown*>(1);
  EXPECT_EQ(host::CreateControl(WSTR("ZLMTessaro.NoSuchAX"), IID_IUnknown, reinterpret_cast<void**>(&control)),
            REGDB_E_CLASSNOTREG);
  EXPECT_EQ(control, nullptr);
  // A class whose server cannot be loaded.
  testing_support::SetRegString(WSTR("Software\\Classes\\Broken.Control\\CLSID"), nullptr,
                                WSTR("{0A0B0C0D-1111-2222-3333-444455556666}"));
  testing_support::SetRegString(
      WSTR("Software\\Classes\\CLSID\\{0A0B0C0D-1111-2222-3333-444455556666}\\InprocServer32"), nullptr,
      WSTR("C:\\nowhere\\Missing.dll"));
  EXPECT_EQ(host::CreateControl(WSTR("Broken.Control"), IID_IUnknown, reinterpret_cast<void**>(&control)),
            CO_E_ERRORINDLL);
  // A malformed class id.
  testing_support::SetRegString(WSTR("Software\\Classes\\Garbled.Control\\CLSID"), nullptr, WSTR("{not-a-guid}"));
  EXPECT_EQ(host::CreateControl(WSTR("Garbled.Control"), IID_IUnknown, reinterpret_cast<void**>(&control)),
            REGDB_E_CLASSNOTREG);
  testing_support::DeleteTree(HKEY_CURRENT_USER, WSTR("Software\\Classes\\Broken.Control"));
  testing_support::DeleteTree(HKEY_CURRENT_USER,
                              WSTR("Software\\Classes\\CLSID\\{0A0B0C0D-1111-2222-3333-444455556666}"));
  testing_support::DeleteTree(HKEY_CURRENT_USER, WSTR("Software\\Classes\\Garbled.Control"));
}

}  // namespace
