// ZLMTessaro.dll registered and unregistered by Wine's regsvr32, per machine
// and per user, checked in the prefix's registry. Each test undoes what it
// did: it unregisters both ways and removes the keys it created, so the
// prefix stays as the other tests expect it.
#include <gtest/gtest.h>

#include <string>

#include "activemon/ActiveMonAX.h"
#include "calpresence/CalPresenceIds.h"
#include "mapisearch/MapiSearchAX.h"
#include "module/ModuleIds.h"
#include "tests/server_support.h"

namespace {

using server_support::CreatedKeys;
using server_support::EqualsNoCase;
using server_support::KeyExists;
using server_support::kPreApproved;
using server_support::kPreApprovedWow;
using server_support::ModulePath;
using server_support::Regsvr32;
using server_support::RegistrationUndo;
using server_support::StringValue;

std::wstring Text(REFGUID guid) {
  wchar_t text[40] = {};
  ::StringFromGUID2(guid, text, 40);
  return text;
}

struct ClassRow {
  const GUID* clsid;
  const wchar_t* description;
  const wchar_t* progId;
  const wchar_t* independentKey;    // the version-independent ProgID key
  const wchar_t* independentValue;  // what the class's VersionIndependentProgID names
  int bitmap;
  const wchar_t* miscStatus;
  bool safeCategories;
};

const ClassRow kClasses[] = {
    {&CLSID_CalPresenceAX, L"CalPresenceAX Class", L"ZLMTessaro.CalPresenceAX.214", L"ZLMTessaro.CalPresenceAX",
     L"ZLMTessaro.CalPresenceAX", IDB_CALPRESENCEAX, L"132497", true},
    // The away timer's VersionIndependentProgID differs from its key.
    {&CLSID_ActiveMonAX, L"ZLMActiveMonAX Class", L"ZLMTessaro.ActiveMonAX.214", L"ZLMTessaro.ActiveMonAX",
     L"ZLMTessaro.ZLMActiveMonAX", IDB_ACTIVEMONAX, L"131473", true},
    {&CLSID_MapiSearchAX, L"MapiSearchAX Class", L"ZLMTessaro.MapiSearchAX.214", L"ZLMTessaro.MapiSearchAX",
     L"ZLMTessaro.MapiSearchAX", IDB_MAPISEARCHAX, L"131473", false},
};

const GUID* const kDispatchInterfaces[] = {&IID_ICalPresence, &IID_IActiveMon, &IID_IMapiSearch,
                                           &DIID__ICalPresenceEvents, &DIID__IIEMapiEvents};

const wchar_t kSafeForScripting[] = L"{7DD95801-9882-11CF-9FA9-00AA006C42C4}";
const wchar_t kSafeForInitializing[] = L"{7DD95802-9882-11CF-9FA9-00AA006C42C4}";


// One hive's classes key: HKEY_LOCAL_MACHINE\Software\Classes or
// HKEY_CURRENT_USER\Software\Classes.
struct Classes {
  HKEY root;
  std::wstring Key(const std::wstring& path) const { return L"Software\\Classes\\" + path; }
  bool Has(const std::wstring& path) const { return KeyExists(root, Key(path)); }
  std::optional<std::wstring> Value(const std::wstring& path, const std::wstring& name = L"") const {
    return StringValue(root, Key(path), name);
  }
};
const Classes kMachine{HKEY_LOCAL_MACHINE};
const Classes kUser{HKEY_CURRENT_USER};

void ExpectValue(const Classes& classes, const std::wstring& path, const std::wstring& expected,
                 const std::wstring& name = L"") {
  const auto value = classes.Value(path, name);
  ASSERT_TRUE(value.has_value()) << "missing: " << std::string(path.begin(), path.end()) << " "
                                 << std::string(name.begin(), name.end());
  EXPECT_EQ(*value, expected) << std::string(path.begin(), path.end());
}

void ExpectClassRegistered(const Classes& classes, const ClassRow& row) {
  const std::wstring clsid = Text(*row.clsid);
  const std::wstring key = L"CLSID\\" + clsid;
  SCOPED_TRACE(std::string(row.progId, row.progId + wcslen(row.progId)));

  ExpectValue(classes, row.progId, row.description);
  ExpectValue(classes, std::wstring(row.progId) + L"\\CLSID", clsid);
  ExpectValue(classes, row.independentKey, row.description);
  ExpectValue(classes, std::wstring(row.independentKey) + L"\\CLSID", clsid);
  ExpectValue(classes, std::wstring(row.independentKey) + L"\\CurVer", row.progId);

  ExpectValue(classes, key, row.description);
  ExpectValue(classes, key, Text(APPID_ZLMTessaro), L"AppID");
  ExpectValue(classes, key + L"\\ProgID", row.progId);
  ExpectValue(classes, key + L"\\VersionIndependentProgID", row.independentValue);
  EXPECT_TRUE(classes.Has(key + L"\\Programmable"));
  EXPECT_TRUE(classes.Has(key + L"\\Control"));
  const auto server = classes.Value(key + L"\\InprocServer32");
  ASSERT_TRUE(server.has_value());
  EXPECT_TRUE(EqualsNoCase(*server, ModulePath())) << std::string(server->begin(), server->end());
  ExpectValue(classes, key + L"\\InprocServer32", L"Apartment", L"ThreadingModel");
  const auto bitmap = classes.Value(key + L"\\ToolboxBitmap32");
  ASSERT_TRUE(bitmap.has_value());
  EXPECT_TRUE(EqualsNoCase(*bitmap, ModulePath() + L", " + std::to_wstring(row.bitmap)));
  ExpectValue(classes, key + L"\\MiscStatus", L"0");
  ExpectValue(classes, key + L"\\MiscStatus\\1", row.miscStatus);
  ExpectValue(classes, key + L"\\TypeLib", Text(LIBID_TessaroLib));
  ExpectValue(classes, key + L"\\Version", L"1.0");
  EXPECT_EQ(classes.Has(key + L"\\Implemented Categories\\" + kSafeForScripting), row.safeCategories);
  EXPECT_EQ(classes.Has(key + L"\\Implemented Categories\\" + kSafeForInitializing), row.safeCategories);
}

void ExpectModuleRegistered(const Classes& classes) {
  const std::wstring appId = Text(APPID_ZLMTessaro);
  ExpectValue(classes, L"AppID\\" + appId, L"ZLMTessaro");
  ExpectValue(classes, L"AppID\\ZLMTessaro.DLL", appId, L"AppID");
}

// What registration adds to a hive's classes and unregistration takes away:
// the ProgID, CLSID and AppID keys of the module.
void ExpectNoneOfOurs(const Classes& classes) {
  for (const ClassRow& row : kClasses) {
    EXPECT_FALSE(classes.Has(row.progId)) << std::string(row.progId, row.progId + wcslen(row.progId));
    EXPECT_FALSE(classes.Has(row.independentKey));
    EXPECT_FALSE(classes.Has(L"CLSID\\" + Text(*row.clsid)));
  }
  EXPECT_FALSE(classes.Has(L"AppID\\" + Text(APPID_ZLMTessaro)));
  EXPECT_FALSE(classes.Has(L"AppID\\ZLMTessaro.DLL"));
}

// The type library as RegisterTypeLib leaves it, seen through
// HKEY_CLASSES_ROOT (Wine registers it for the machine even when asked for
// the user only).
void ExpectTypeLibRegistered() {
  const std::wstring lib = L"TypeLib\\" + Text(LIBID_TessaroLib) + L"\\1.0";
  const auto help = StringValue(HKEY_CLASSES_ROOT, lib);
  ASSERT_TRUE(help.has_value()) << "type library not registered";
  EXPECT_EQ(*help, L"Tessaro 2.1.4 Type Library");
  const auto file = StringValue(HKEY_CLASSES_ROOT, lib + L"\\409\\win32");
  ASSERT_TRUE(file.has_value());
  EXPECT_TRUE(EqualsNoCase(*file, ModulePath()));
  for (const GUID* iid : kDispatchInterfaces) {
    EXPECT_EQ(StringValue(HKEY_CLASSES_ROOT, L"Interface\\" + Text(*iid) + L"\\TypeLib").value_or(L""),
              Text(LIBID_TessaroLib))
        << "interface " << std::string(Text(*iid).begin(), Text(*iid).end());
  }
}

bool TypeLibRegistered() { return KeyExists(HKEY_CLASSES_ROOT, L"TypeLib\\" + Text(LIBID_TessaroLib)); }

bool PreApprovalKey(const wchar_t* parent, const GUID& clsid) {
  return KeyExists(HKEY_LOCAL_MACHINE, std::wstring(parent) + L"\\" + Text(clsid));
}

class ServerRegistration : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(ModulePath().empty()) << "TESSARO_SERVER_DLL names the module"; }

  // Pre-approval parents a test creates; they go after the undo.
  CreatedKeys keys_;
  RegistrationUndo undo_;
};

// A browser's pre-approval parent exists, the 64-bit view's does not (as in
// a 32-bit system): every scripted key and value is written, the classes
// are pre-approved under the one parent, and a missing parent is no failure.
TEST_F(ServerRegistration, MachineRegistrationWritesEveryKey) {
  ASSERT_TRUE(keys_.Create(HKEY_LOCAL_MACHINE, kPreApproved));
  ASSERT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, L"Software\\Wow6432Node\\Microsoft"))
      << "the prefix is expected to be a 32-bit one";

  ASSERT_EQ(Regsvr32(L""), 0u);

  ExpectModuleRegistered(kMachine);
  for (const ClassRow& row : kClasses) ExpectClassRegistered(kMachine, row);
  ExpectTypeLibRegistered();
  for (const ClassRow& row : kClasses) {
    EXPECT_TRUE(PreApprovalKey(kPreApproved, *row.clsid));
    EXPECT_FALSE(PreApprovalKey(kPreApprovedWow, *row.clsid));
  }
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, L"Software\\Wow6432Node\\Microsoft"));
  // Nothing of ours lands in the user's classes.
  ExpectNoneOfOurs(kUser);
}

TEST_F(ServerRegistration, PreApprovalUnderBothParentsAndNeitherIsNoFailure) {
  // Neither parent: registration succeeds and pre-approves nothing.
  ASSERT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kPreApproved)) << "a fresh prefix has no browser pre-approval key";
  ASSERT_EQ(Regsvr32(L""), 0u);
  for (const ClassRow& row : kClasses) EXPECT_FALSE(PreApprovalKey(kPreApproved, *row.clsid));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kPreApproved));

  // Both parents: a key for each class below each.
  ASSERT_TRUE(keys_.Create(HKEY_LOCAL_MACHINE, kPreApproved));
  ASSERT_TRUE(keys_.Create(HKEY_LOCAL_MACHINE, kPreApprovedWow));
  ASSERT_EQ(Regsvr32(L""), 0u);
  for (const ClassRow& row : kClasses) {
    EXPECT_TRUE(PreApprovalKey(kPreApproved, *row.clsid));
    EXPECT_TRUE(PreApprovalKey(kPreApprovedWow, *row.clsid));
  }
}

TEST_F(ServerRegistration, UnregistrationRemovesExactlyTheScriptedKeys) {
  ASSERT_TRUE(keys_.Create(HKEY_LOCAL_MACHINE, kPreApproved));
  ASSERT_EQ(Regsvr32(L""), 0u);
  ASSERT_TRUE(TypeLibRegistered());

  ASSERT_EQ(Regsvr32(L"/u"), 0u);

  ExpectNoneOfOurs(kMachine);
  EXPECT_FALSE(TypeLibRegistered());
  for (const GUID* iid : kDispatchInterfaces) EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"Interface\\" + Text(*iid)));
  // The parents the scripts mark as never removed, and the pre-approval.
  EXPECT_TRUE(kMachine.Has(L"AppID"));
  EXPECT_TRUE(kMachine.Has(L"CLSID"));
  for (const ClassRow& row : kClasses) EXPECT_TRUE(PreApprovalKey(kPreApproved, *row.clsid));

  // Registering again after that gives the whole set back.
  ASSERT_EQ(Regsvr32(L""), 0u);
  for (const ClassRow& row : kClasses) ExpectClassRegistered(kMachine, row);
}

// DllInstall through regsvr32 /n /i: "user" registers into the user's
// classes and nothing of ours into the machine's; unregistering the same way
// takes it out again.
TEST_F(ServerRegistration, InstallForTheUser) {
  ASSERT_TRUE(keys_.Create(HKEY_LOCAL_MACHINE, kPreApproved));
  ASSERT_EQ(Regsvr32(L"/n /i:user"), 0u);

  ExpectModuleRegistered(kUser);
  for (const ClassRow& row : kClasses) ExpectClassRegistered(kUser, row);
  ExpectNoneOfOurs(kMachine);
  ExpectTypeLibRegistered();
  // The pre-approval is the machine's in this mode too.
  for (const ClassRow& row : kClasses) EXPECT_TRUE(PreApprovalKey(kPreApproved, *row.clsid));

  ASSERT_EQ(Regsvr32(L"/u /n /i:user"), 0u);
  ExpectNoneOfOurs(kUser);
  EXPECT_FALSE(TypeLibRegistered());
}

// The word is compared without regard to case.
TEST_F(ServerRegistration, InstallForTheUserInCapitals) {
  ASSERT_EQ(Regsvr32(L"/n /i:USER"), 0u);
  ExpectModuleRegistered(kUser);
  for (const ClassRow& row : kClasses) ExpectClassRegistered(kUser, row);
  ExpectNoneOfOurs(kMachine);
}

// Any other word, "users" among them, is a registration for the machine.
TEST_F(ServerRegistration, InstallWithAnotherWordIsForTheMachine) {
  ASSERT_EQ(Regsvr32(L"/n /i:users"), 0u);

  ExpectModuleRegistered(kMachine);
  for (const ClassRow& row : kClasses) ExpectClassRegistered(kMachine, row);
  ExpectNoneOfOurs(kUser);

  ASSERT_EQ(Regsvr32(L"/u /n /i:users"), 0u);
  ExpectNoneOfOurs(kMachine);
}

}  // namespace
