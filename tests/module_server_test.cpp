// The module object: registration from its scripts (per machine and per
// user), pre-approval, unregistration, DllInstall's switch and rollback, the
// class factories and the unload answer, over a registry held in memory.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "activemon/ActiveMonAX.h"
#include "calpresence/CalPresenceIds.h"
#include "mapisearch/MapiSearchAX.h"
#include "module/ModuleIds.h"
#include "module/TessaroModule.h"
#include "platform/typelib.h"
#include "tests/support/memory_registry.h"
#include "tests/support/test_support.h"

using testing_support::MemoryRegistry;
using testing_support::U8;
using tessaro::CTessaroModule;

namespace {

const WCHAR kModulePath[] = WSTR("C:\\Program Files\\Norvane\\ZLMTessaro.dll");

// The module file and its REGISTRY resources, read from the script files.
class ScriptedModule : public plat::ModuleService {
 public:
  ScriptedModule() : installed_(*this) {
    const std::pair<int, const char*> files[] = {
        {IDR_ZLMTESSARO, "ZLMTessaro.rgs"},
        {IDR_CALPRESENCEAX, "CalPresenceAX.rgs"},
        {IDR_ACTIVEMONAX, "ActiveMonAX.rgs"},
        {IDR_MAPISEARCHAX, "MapiSearchAX.rgs"},
    };
    for (const auto& [id, name] : files) {
      std::ifstream in(std::string(TESSARO_SCRIPTS_DIR) + "/" + name, std::ios::binary);
      std::stringstream text;
      text << in.rdbuf();
      scripts[id] = text.str();
    }
  }
  DWORD GetModuleFileNameW(HMODULE, LPWSTR buffer, DWORD size) override {
    const WString path(kModulePath);
    if (path.size() + 1 > size) return 0;
    path.copy(buffer, path.size());
    buffer[path.size()] = 0;
    return static_cast<DWORD>(path.size());
  }
  HRSRC FindResourceW(HMODULE, LPCWSTR name, LPCWSTR type) override {
    if (WString(type) != WSTR("REGISTRY")) return nullptr;
    auto it = scripts.find(static_cast<int>(reinterpret_cast<std::uintptr_t>(name)));
    return it == scripts.end() ? nullptr : reinterpret_cast<HRSRC>(&it->second);
  }
  DWORD SizeofResource(HMODULE, HRSRC r) override {
    return static_cast<DWORD>(reinterpret_cast<std::string*>(r)->size());
  }
  HGLOBAL LoadResource(HMODULE, HRSRC r) override {
    return const_cast<char*>(reinterpret_cast<std::string*>(r)->data());
  }
  LPVOID LockResource(HGLOBAL data) override { return data; }

  std::map<int, std::string> scripts;

 private:
  plat::Substitute<plat::ModuleService> installed_;
};

// Records the type library calls instead of making them.
class RecordedTypeLibs : public plat::TypeLibService {
 public:
  RecordedTypeLibs() : installed_(*this) {}
  HRESULT RegisterTypeLib(LPCWSTR path, const plat::TypeLibIdentity& id, bool perUser) override {
    calls.push_back({true, perUser, path});
    EXPECT_EQ(id.libid, LIBID_TessaroLib);
    return registerResult;
  }
  HRESULT UnRegisterTypeLib(const plat::TypeLibIdentity& id, bool perUser) override {
    calls.push_back({false, perUser, WString()});
    EXPECT_EQ(id.major, 1);
    EXPECT_EQ(id.minor, 0);
    EXPECT_EQ(id.lcid, 0x0409u);
    return S_OK;
  }
  HRESULT LoadTypeInfo(LPCWSTR, REFGUID, ITypeInfo** info) override {
    *info = nullptr;
    return TYPE_E_CANTLOADLIBRARY;
  }
  struct Call {
    bool registering;
    bool perUser;
    WString path;
  };
  std::vector<Call> calls;
  HRESULT registerResult = S_OK;

 private:
  plat::Substitute<plat::TypeLibService> installed_;
};

// Records the thread locale the registration ran under.
class WatchedLocale : public plat::LocaleService {
 public:
  WatchedLocale() : installed_(*this) {}
  LCID GetThreadLocale() override { return current; }
  BOOL SetThreadLocale(LCID locale) override {
    current = locale;
    seen.push_back(locale);
    return TRUE;
  }
  LCID current = 0x0407;
  std::vector<LCID> seen;

 private:
  plat::Substitute<plat::LocaleService> installed_;
};

const WCHAR kPreApproved[] = WSTR("HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Ext\\PreApproved");
const WCHAR kPreApprovedWow[] =
    WSTR("HKLM\\Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Ext\\PreApproved");

struct ClassExpectation {
  const GUID* clsid;
  const WCHAR* description;
  const WCHAR* progId;
  const WCHAR* independentKey;
  const WCHAR* independentValue;
  const WCHAR* bitmap;
  const WCHAR* miscStatus;
  bool safeCategories;
};

const ClassExpectation kExpected[] = {
    {&CLSID_CalPresenceAX, WSTR("CalPresenceAX Class"), WSTR("ZLMTessaro.CalPresenceAX.214"),
     WSTR("ZLMTessaro.CalPresenceAX"), WSTR("ZLMTessaro.CalPresenceAX"), WSTR("102"), WSTR("132497"), true},
    {&CLSID_ActiveMonAX, WSTR("ZLMActiveMonAX Class"), WSTR("ZLMTessaro.ActiveMonAX.214"),
     WSTR("ZLMTessaro.ActiveMonAX"), WSTR("ZLMTessaro.ZLMActiveMonAX"), WSTR("104"), WSTR("131473"), true},
    {&CLSID_MapiSearchAX, WSTR("MapiSearchAX Class"), WSTR("ZLMTessaro.MapiSearchAX.214"),
     WSTR("ZLMTessaro.MapiSearchAX"), WSTR("ZLMTessaro.MapiSearchAX"), WSTR("106"), WSTR("131473"), false},
};

class ModuleServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CTessaroModule::Instance().SetPerUser(false);
    registry.AddKey(kPreApproved);
    registry.AddKey(kPreApprovedWow);
  }
  void TearDown() override { CTessaroModule::Instance().SetPerUser(false); }

  WString Text(const WString& path, const WString& name = WString()) {
    WString value;
    return registry.Text(path, name, &value) ? value : WString(WSTR("<missing>"));
  }

  // Every key and value the class scripts and the module script write,
  // under the given classes root.
  void ExpectRegistered(const WString& classes) {
    const WString appId = plat::GuidText(APPID_ZLMTessaro);
    EXPECT_EQ(U8(Text(classes + WSTR("\\AppID\\") + appId)), "ZLMTessaro");
    EXPECT_EQ(Text(classes + WSTR("\\AppID\\ZLMTessaro.DLL"), WSTR("AppID")), appId);
    for (const ClassExpectation& c : kExpected) {
      SCOPED_TRACE(U8(c.progId));
      const WString clsid = plat::GuidText(*c.clsid);
      const WString key = classes + WSTR("\\CLSID\\") + clsid;
      EXPECT_EQ(Text(classes + WSTR("\\") + c.progId), c.description);
      EXPECT_EQ(Text(classes + WSTR("\\") + c.progId + WSTR("\\CLSID")), clsid);
      EXPECT_EQ(Text(classes + WSTR("\\") + c.independentKey), c.description);
      EXPECT_EQ(Text(classes + WSTR("\\") + c.independentKey + WSTR("\\CLSID")), clsid);
      EXPECT_EQ(Text(classes + WSTR("\\") + c.independentKey + WSTR("\\CurVer")), c.progId);
      EXPECT_EQ(Text(key), c.description);
      EXPECT_EQ(Text(key + WSTR("\\ProgID")), c.progId);
      EXPECT_EQ(Text(key + WSTR("\\VersionIndependentProgID")), c.independentValue);
      EXPECT_TRUE(registry.HasKey(key + WSTR("\\Programmable")));
      EXPECT_EQ(Text(key + WSTR("\\InprocServer32")), kModulePath);
      EXPECT_EQ(U8(Text(key + WSTR("\\InprocServer32"), WSTR("ThreadingModel"))), "Apartment");
      EXPECT_EQ(Text(key, WSTR("AppID")), appId);
      EXPECT_TRUE(registry.HasKey(key + WSTR("\\Control")));
      EXPECT_EQ(Text(key + WSTR("\\ToolboxBitmap32")), WString(kModulePath) + WSTR(", ") + c.bitmap);
      EXPECT_EQ(U8(Text(key + WSTR("\\MiscStatus"))), "0");
      EXPECT_EQ(Text(key + WSTR("\\MiscStatus\\1")), c.miscStatus);
      EXPECT_EQ(Text(key + WSTR("\\TypeLib")), plat::GuidText(LIBID_TessaroLib));
      EXPECT_EQ(U8(Text(key + WSTR("\\Version"))), "1.0");
      const WString categories = key + WSTR("\\Implemented Categories\\");
      EXPECT_EQ(registry.HasKey(categories + plat::GuidText(CATID_SafeForScripting)), c.safeCategories);
      EXPECT_EQ(registry.HasKey(categories + plat::GuidText(CATID_SafeForInitializing)), c.safeCategories);
    }
  }

  // Nothing of ours is left under the classes root; the shared parents are.
  void ExpectUnregistered(const WString& classes) {
    EXPECT_TRUE(registry.HasKey(classes + WSTR("\\AppID")));
    EXPECT_TRUE(registry.HasKey(classes + WSTR("\\CLSID")));
    EXPECT_FALSE(registry.HasKey(classes + WSTR("\\AppID\\") + plat::GuidText(APPID_ZLMTessaro)));
    EXPECT_FALSE(registry.HasKey(classes + WSTR("\\AppID\\ZLMTessaro.DLL")));
    for (const ClassExpectation& c : kExpected) {
      EXPECT_FALSE(registry.HasKey(classes + WSTR("\\") + c.progId)) << U8(c.progId);
      EXPECT_FALSE(registry.HasKey(classes + WSTR("\\") + c.independentKey)) << U8(c.independentKey);
      EXPECT_FALSE(registry.HasKey(classes + WSTR("\\CLSID\\") + plat::GuidText(*c.clsid))) << U8(c.progId);
    }
  }

  void ExpectPreApproved(const WCHAR* parent, bool present) {
    for (const ClassExpectation& c : kExpected)
      EXPECT_EQ(registry.HasKey(WString(parent) + WSTR("\\") + plat::GuidText(*c.clsid)), present) << U8(parent);
  }

  MemoryRegistry registry;
  ScriptedModule module;
  RecordedTypeLibs typeLibs;
  WatchedLocale locale;
};

TEST_F(ModuleServerTest, RegisterServerWritesScriptsCategoriesTypeLibraryAndPreApproval) {
  ASSERT_EQ(DllRegisterServer(), S_OK);
  ExpectRegistered(WSTR("HKLM\\Software\\Classes"));
  ExpectPreApproved(kPreApproved, true);
  ExpectPreApproved(kPreApprovedWow, true);
  ASSERT_EQ(typeLibs.calls.size(), 1u);
  EXPECT_TRUE(typeLibs.calls[0].registering);
  EXPECT_FALSE(typeLibs.calls[0].perUser);
  EXPECT_EQ(typeLibs.calls[0].path, kModulePath);
  // Ran under the system default locale, and the caller's came back.
  ASSERT_FALSE(locale.seen.empty());
  EXPECT_EQ(locale.seen.front(), static_cast<LCID>(LOCALE_SYSTEM_DEFAULT));
  EXPECT_EQ(locale.current, 0x0407u);
  EXPECT_EQ(registry.OpenHandles(), 0u);
}

TEST_F(ModuleServerTest, UnregisterAfterRegisterLeavesParentsAndPreApproval) {
  // Another product's class beside ours, and a foreign sub key under one of
  // our keys: neither is ours to remove.
  registry.AddKey(WSTR("HKLM\\Software\\Classes\\CLSID\\{00000000-1111-2222-3333-444444444444}"));
  ASSERT_EQ(DllRegisterServer(), S_OK);
  registry.AddKey(WSTR("HKLM\\Software\\Classes\\ZLMTessaro.MapiSearchAX\\Shell"));
  const size_t keysBefore = registry.KeyCount();
  ASSERT_EQ(DllUnregisterServer(), S_OK);
  EXPECT_LT(registry.KeyCount(), keysBefore);
  ExpectPreApproved(kPreApproved, true);
  ExpectPreApproved(kPreApprovedWow, true);
  EXPECT_TRUE(registry.HasKey(WSTR("HKLM\\Software\\Classes\\CLSID\\{00000000-1111-2222-3333-444444444444}")));
  EXPECT_TRUE(registry.HasKey(WSTR("HKLM\\Software\\Classes\\ZLMTessaro.MapiSearchAX\\Shell")));
  registry.RegDeleteKeyW(HKEY_CLASSES_ROOT, WSTR("ZLMTessaro.MapiSearchAX\\Shell"));
  registry.RegDeleteKeyW(HKEY_CLASSES_ROOT, WSTR("ZLMTessaro.MapiSearchAX"));
  ExpectUnregistered(WSTR("HKLM\\Software\\Classes"));
  ASSERT_EQ(typeLibs.calls.size(), 2u);
  EXPECT_FALSE(typeLibs.calls[1].registering);
  // Registering again after unregistering gives the same keys.
  ASSERT_EQ(DllRegisterServer(), S_OK);
  ExpectRegistered(WSTR("HKLM\\Software\\Classes"));
}

TEST_F(ModuleServerTest, ReRegistrationRewritesTheClassKeyWhole) {
  ASSERT_EQ(DllRegisterServer(), S_OK);
  const WString key = WSTR("HKLM\\Software\\Classes\\CLSID\\") + plat::GuidText(CLSID_ActiveMonAX);
  registry.AddKey(key + WSTR("\\Stale"));
  ASSERT_EQ(DllRegisterServer(), S_OK);
  EXPECT_FALSE(registry.HasKey(key + WSTR("\\Stale")));
  ExpectRegistered(WSTR("HKLM\\Software\\Classes"));
}

TEST_F(ModuleServerTest, PreApprovalParents) {
  // No Wow6432Node parent: success, only the first key.
  registry.RegDeleteKeyW(HKEY_LOCAL_MACHINE,
                         WSTR("Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Ext\\PreApproved"));
  EXPECT_EQ(DllRegisterServer(), S_OK);
  ExpectPreApproved(kPreApproved, true);
  EXPECT_FALSE(registry.HasKey(kPreApprovedWow));

  // Neither parent: nothing to approve, still success.
  MemoryRegistry bare;
  EXPECT_EQ(DllRegisterServer(), S_OK);
  EXPECT_FALSE(bare.HasKey(kPreApproved));
}

TEST_F(ModuleServerTest, PreApprovalKeyThatCannotBeCreatedFailsWithoutTouchingTheSecondParent) {
  registry.failWritesUnder = WString(WSTR("PreApproved\\")) + plat::GuidText(CLSID_ActiveMonAX);
  EXPECT_EQ(DllRegisterServer(), E_FAIL);
  // The first class went through; the second failed under the first parent
  // and its Wow6432Node key was never tried; the third was not reached.
  EXPECT_TRUE(registry.HasKey(WString(kPreApprovedWow) + WSTR("\\") + plat::GuidText(CLSID_CalPresenceAX)));
  EXPECT_FALSE(registry.HasKey(WString(kPreApproved) + WSTR("\\") + plat::GuidText(CLSID_MapiSearchAX)));
  // Nothing is rolled back by DllRegisterServer.
  ExpectRegistered(WSTR("HKLM\\Software\\Classes"));
}

TEST_F(ModuleServerTest, InstallUserSwitch) {
  struct Case {
    const WCHAR* commandLine;
    bool perUser;
  };
  const Case cases[] = {
      {WSTR("USER"), true}, {WSTR("user"), true},  {WSTR("uSeR"), true},  {WSTR("users"), false},
      {WSTR("use"), false}, {WSTR(""), false},     {nullptr, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.commandLine != nullptr ? U8(c.commandLine) : std::string("(none)"));
    MemoryRegistry fresh;
    fresh.AddKey(kPreApproved);
    CTessaroModule::Instance().SetPerUser(false);
    typeLibs.calls.clear();
    ASSERT_EQ(DllInstall(TRUE, c.commandLine), S_OK);
    EXPECT_EQ(CTessaroModule::Instance().PerUser(), c.perUser);
    const WString classes = c.perUser ? WSTR("HKCU\\Software\\Classes") : WSTR("HKLM\\Software\\Classes");
    const WString other = c.perUser ? WSTR("HKLM\\Software\\Classes") : WSTR("HKCU\\Software\\Classes");
    EXPECT_TRUE(fresh.HasKey(classes + WSTR("\\ZLMTessaro.CalPresenceAX.214")));
    EXPECT_FALSE(fresh.HasKey(other + WSTR("\\ZLMTessaro.CalPresenceAX.214")));
    // The pre-approval keys go to the machine in either mode.
    EXPECT_TRUE(fresh.HasKey(WString(kPreApproved) + WSTR("\\") + plat::GuidText(CLSID_CalPresenceAX)));
    ASSERT_EQ(typeLibs.calls.size(), 1u);
    EXPECT_EQ(typeLibs.calls[0].perUser, c.perUser);

    // Uninstall in the same mode removes what was written.
    EXPECT_EQ(DllInstall(FALSE, nullptr), S_OK);
    for (const ClassExpectation& e : kExpected)
      EXPECT_FALSE(fresh.HasKey(classes + WSTR("\\CLSID\\") + plat::GuidText(*e.clsid)));
  }
}

TEST_F(ModuleServerTest, PerUserSwitchStaysForTheProcess) {
  ASSERT_EQ(DllInstall(TRUE, WSTR("user")), S_OK);
  ASSERT_EQ(DllInstall(TRUE, WSTR("machine")), S_OK);
  EXPECT_TRUE(CTessaroModule::Instance().PerUser());
  ASSERT_EQ(DllRegisterServer(), S_OK);
  EXPECT_FALSE(registry.HasKey(WSTR("HKLM\\Software\\Classes\\ZLMTessaro.CalPresenceAX.214")));
  ExpectRegistered(WSTR("HKCU\\Software\\Classes"));
}

TEST_F(ModuleServerTest, FailedInstallIsRolledBack) {
  // The away timer's class key cannot be written: the step's code comes back
  // and what the earlier steps wrote is unregistered again.
  registry.failWritesUnder = WSTR("ZLMTessaro.ActiveMonAX.214");
  const HRESULT hr = DllInstall(TRUE, nullptr);
  EXPECT_EQ(hr, HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
  ExpectUnregistered(WSTR("HKLM\\Software\\Classes"));
  EXPECT_FALSE(registry.HasKey(WString(kPreApproved) + WSTR("\\") + plat::GuidText(CLSID_CalPresenceAX)));

  // A type library failure stops registration at that step too.
  registry.failWritesUnder.clear();
  typeLibs.registerResult = TYPE_E_REGISTRYACCESS;
  EXPECT_EQ(DllInstall(TRUE, nullptr), TYPE_E_REGISTRYACCESS);
  ExpectUnregistered(WSTR("HKLM\\Software\\Classes"));

  // DllRegisterServer keeps what it did before the failing step.
  EXPECT_EQ(DllRegisterServer(), TYPE_E_REGISTRYACCESS);
  ExpectRegistered(WSTR("HKLM\\Software\\Classes"));
  EXPECT_FALSE(registry.HasKey(WString(kPreApproved) + WSTR("\\") + plat::GuidText(CLSID_CalPresenceAX)));
}

TEST_F(ModuleServerTest, MissingScriptFailsRegistration) {
  module.scripts.erase(IDR_MAPISEARCHAX);
  EXPECT_EQ(DllRegisterServer(), HRESULT_FROM_WIN32(ERROR_RESOURCE_NAME_NOT_FOUND));
  EXPECT_TRUE(registry.HasKey(WSTR("HKLM\\Software\\Classes\\ZLMTessaro.ActiveMonAX.214")));
  EXPECT_TRUE(typeLibs.calls.empty());
}

// ---- class objects and unloading ---------------------------------------------

TEST(ModuleClassObjects, OneKeptFactoryPerClass) {
  size_t count = 0;
  const tessaro::ClassEntry* classes = CTessaroModule::Classes(&count);
  ASSERT_EQ(count, 3u);
  EXPECT_EQ(*classes[0].clsid, CLSID_CalPresenceAX);
  EXPECT_EQ(*classes[1].clsid, CLSID_ActiveMonAX);
  EXPECT_EQ(*classes[2].clsid, CLSID_MapiSearchAX);

  for (size_t i = 0; i < count; ++i) {
    IClassFactory* first = nullptr;
    IClassFactory* second = nullptr;
    ASSERT_EQ(DllGetClassObject(*classes[i].clsid, IID_IClassFactory, reinterpret_cast<void**>(&first)), S_OK);
    ASSERT_EQ(DllGetClassObject(*classes[i].clsid, IID_IUnknown, reinterpret_cast<void**>(&second)), S_OK);
    EXPECT_EQ(static_cast<IUnknown*>(first), static_cast<IUnknown*>(second));
    IDispatch* object = nullptr;
    ASSERT_EQ(first->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&object)), S_OK);
    ASSERT_NE(object, nullptr);
    object->Release();
    second->Release();
    first->Release();
  }
  void* none = reinterpret_cast<void*>(1);
  EXPECT_EQ(DllGetClassObject(IID_IDispatch, IID_IClassFactory, &none), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(DllGetClassObject(CLSID_ActiveMonAX, IID_IDispatch, &none), E_NOINTERFACE);
  EXPECT_EQ(DllGetClassObject(CLSID_ActiveMonAX, IID_IClassFactory, nullptr), E_POINTER);
}

TEST(ModuleClassObjects, CanUnloadNowFollowsLiveObjectsAndServerLocks) {
  ASSERT_EQ(DllCanUnloadNow(), S_OK);
  for (const GUID* clsid : {&CLSID_CalPresenceAX, &CLSID_ActiveMonAX, &CLSID_MapiSearchAX}) {
    IClassFactory* factory = nullptr;
    ASSERT_EQ(DllGetClassObject(*clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
    // Holding the factory alone does not keep the module.
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
    IUnknown* object = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&object)), S_OK);
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
    object->Release();
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
    factory->LockServer(TRUE);
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
    factory->LockServer(FALSE);
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
    factory->Release();
  }
}

}  // namespace
