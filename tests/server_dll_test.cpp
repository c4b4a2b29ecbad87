// What ZLMTessaro.dll carries, read from the built file under Wine: the
// five exports under their plain names, the resources under the ids the
// code uses, the version, and a type library that describes the controls'
// dispatch interfaces as the controls themselves answer them.
#include <gtest/gtest.h>

#include <string>

#include "activemon/ActiveMonAX.h"
#include "calpresence/CalPresenceIds.h"
#include "mapisearch/MapiSearchAX.h"
#include "module/ModuleIds.h"
#include "tests/server_support.h"

namespace {

using server_support::ModulePath;

// The module loaded into the test for the length of a test.
class LoadedModule {
 public:
  explicit LoadedModule(DWORD flags = 0) : module_(::LoadLibraryExW(ModulePath().c_str(), nullptr, flags)) {}
  ~LoadedModule() {
    if (module_ != nullptr) ::FreeLibrary(module_);
  }
  LoadedModule(const LoadedModule&) = delete;
  LoadedModule& operator=(const LoadedModule&) = delete;
  HMODULE get() const { return module_; }

 private:
  HMODULE module_;
};

class ComApartment {
 public:
  ComApartment() { ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
  ~ComApartment() { ::CoUninitialize(); }
};

template <class T>
class Ref {
 public:
  Ref() = default;
  ~Ref() {
    if (p_ != nullptr) p_->Release();
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  T** out() { return &p_; }
  void** void_out() { return reinterpret_cast<void**>(&p_); }
  T* operator->() const { return p_; }
  T* get() const { return p_; }

 private:
  T* p_ = nullptr;
};

TEST(ServerModule, ExportsTheFiveEntryPointsUndecorated) {
  LoadedModule module;
  ASSERT_NE(module.get(), nullptr) << "cannot load the module";
  for (const char* name : {"DllGetClassObject", "DllCanUnloadNow", "DllRegisterServer", "DllUnregisterServer",
                           "DllInstall"}) {
    EXPECT_NE(::GetProcAddress(module.get(), name), nullptr) << name;
  }
  // A module nobody holds an object of may be unloaded.
  using CanUnloadFn = HRESULT(STDAPICALLTYPE*)();
  auto canUnload = reinterpret_cast<CanUnloadFn>(reinterpret_cast<void (*)()>(
      ::GetProcAddress(module.get(), "DllCanUnloadNow")));
  ASSERT_NE(canUnload, nullptr);
  EXPECT_EQ(canUnload(), S_OK);
}

TEST(ServerModule, CarriesItsResourcesUnderTheCodesIds) {
  LoadedModule module(LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(module.get(), nullptr);
  for (int id : {IDR_ZLMTESSARO, IDR_CALPRESENCEAX, IDR_ACTIVEMONAX, IDR_MAPISEARCHAX}) {
    HRSRC found = ::FindResourceW(module.get(), MAKEINTRESOURCEW(id), L"REGISTRY");
    ASSERT_NE(found, nullptr) << "REGISTRY " << id;
    // The scripts are plain narrow text that opens with the root key.
    const char* text = static_cast<const char*>(::LockResource(::LoadResource(module.get(), found)));
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text, 4), "HKCR") << "REGISTRY " << id;
  }
  for (int id : {IDB_CALPRESENCEAX, IDB_ACTIVEMONAX, IDB_MAPISEARCHAX}) {
    HBITMAP bitmap = static_cast<HBITMAP>(::LoadImageW(module.get(), MAKEINTRESOURCEW(id), IMAGE_BITMAP, 0, 0, 0));
    ASSERT_NE(bitmap, nullptr) << "BITMAP " << id;
    BITMAP info{};
    ::GetObjectW(bitmap, sizeof info, &info);
    EXPECT_EQ(info.bmWidth, 16);
    EXPECT_EQ(info.bmHeight, 16);
    ::DeleteObject(bitmap);
  }
  EXPECT_NE(::FindResourceW(module.get(), MAKEINTRESOURCEW(1), L"TYPELIB"), nullptr);
  wchar_t name[32] = {};
  EXPECT_EQ(::LoadStringW(module.get(), IDS_PROJNAME, name, 32), 7);
  EXPECT_STREQ(name, L"Tessaro");
}

std::wstring VersionString(const std::vector<BYTE>& block, const wchar_t* name) {
  wchar_t* value = nullptr;
  UINT length = 0;
  const std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
  if (!::VerQueryValueW(block.data(), path.c_str(), reinterpret_cast<void**>(&value), &length)) return L"<none>";
  return length == 0 ? std::wstring() : std::wstring(value);
}

TEST(ServerModule, VersionIsTwoOneFourOfProductSixOne) {
  DWORD ignored = 0;
  const DWORD size = ::GetFileVersionInfoSizeW(ModulePath().c_str(), &ignored);
  ASSERT_GT(size, 0u);
  std::vector<BYTE> block(size);
  ASSERT_TRUE(::GetFileVersionInfoW(ModulePath().c_str(), 0, size, block.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwFileVersionMS, MAKELONG(1, 2));
  EXPECT_EQ(fixed->dwFileVersionLS, MAKELONG(0, 4));
  EXPECT_EQ(fixed->dwProductVersionMS, MAKELONG(1, 6));
  EXPECT_EQ(fixed->dwProductVersionLS, MAKELONG(0, 0));
  EXPECT_EQ(VersionString(block, L"FileVersion"), L"2.1.4.0");
  EXPECT_EQ(VersionString(block, L"ProductVersion"), L"6.1.0.0");
  EXPECT_EQ(VersionString(block, L"OriginalFilename"), L"ZLMTessaro.dll");
  // Tells installers that the module registers itself.
  EXPECT_EQ(VersionString(block, L"OLESelfRegister"), L"");
}

std::wstring Documentation(ITypeLib* lib, int index) {
  BSTR doc = nullptr;
  if (FAILED(lib->GetDocumentation(index, nullptr, &doc, nullptr, nullptr))) return L"<none>";
  std::wstring text = doc != nullptr ? doc : L"";
  ::SysFreeString(doc);
  return text;
}

TEST(ServerTypeLibrary, IdentifiesItselfAsTessaroLibOneZero) {
  Ref<ITypeLib> lib;
  ASSERT_EQ(::LoadTypeLibEx(ModulePath().c_str(), REGKIND_NONE, lib.out()), S_OK);
  TLIBATTR* attr = nullptr;
  ASSERT_EQ(lib->GetLibAttr(&attr), S_OK);
  EXPECT_TRUE(IsEqualGUID(attr->guid, LIBID_TessaroLib));
  EXPECT_EQ(attr->wMajorVerNum, kTessaroLibMajor);
  EXPECT_EQ(attr->wMinorVerNum, kTessaroLibMinor);
  EXPECT_EQ(attr->lcid, kTessaroLibLocale);
  lib->ReleaseTLibAttr(attr);
  EXPECT_EQ(Documentation(lib.get(), -1), L"Tessaro 2.1.4 Type Library");
}

// The coclass's interface with the given implementation flags, or GUID_NULL.
GUID ImplementedInterface(ITypeInfo* coclass, int wanted) {
  TYPEATTR* attr = nullptr;
  if (FAILED(coclass->GetTypeAttr(&attr))) return GUID_NULL;
  const UINT count = attr->cImplTypes;
  coclass->ReleaseTypeAttr(attr);
  for (UINT i = 0; i < count; ++i) {
    int flags = 0;
    HREFTYPE ref = 0;
    Ref<ITypeInfo> info;
    if (FAILED(coclass->GetImplTypeFlags(i, &flags)) || flags != wanted) continue;
    if (FAILED(coclass->GetRefTypeOfImplType(i, &ref)) || FAILED(coclass->GetRefTypeInfo(ref, info.out()))) continue;
    TYPEATTR* implAttr = nullptr;
    if (FAILED(info->GetTypeAttr(&implAttr))) continue;
    const GUID guid = implAttr->guid;
    info->ReleaseTypeAttr(implAttr);
    return guid;
  }
  return GUID_NULL;
}

struct CoclassRow {
  const GUID* clsid;
  const wchar_t* help;
  const GUID* defaultInterface;
  const GUID* events;  // nullptr: no event interface
};

const CoclassRow kCoclasses[] = {
    {&CLSID_CalPresenceAX, L"CalPresenceAX Class", &IID_ICalPresence, &DIID__ICalPresenceEvents},
    {&CLSID_ActiveMonAX, L"Norvane Zelmora Away Timer", &IID_IActiveMon, nullptr},
    {&CLSID_MapiSearchAX, L"MapiSearchAX Class", &IID_IMapiSearch, &DIID__IIEMapiEvents},
};

TEST(ServerTypeLibrary, DescribesTheThreeCoclassesWithTheirInterfaces) {
  Ref<ITypeLib> lib;
  ASSERT_EQ(::LoadTypeLibEx(ModulePath().c_str(), REGKIND_NONE, lib.out()), S_OK);
  for (const CoclassRow& row : kCoclasses) {
    SCOPED_TRACE(std::string(row.help, row.help + wcslen(row.help)));
    Ref<ITypeInfo> coclass;
    ASSERT_EQ(lib->GetTypeInfoOfGuid(*row.clsid, coclass.out()), S_OK);
    BSTR doc = nullptr;
    ASSERT_EQ(coclass->GetDocumentation(MEMBERID_NIL, nullptr, &doc, nullptr, nullptr), S_OK);
    EXPECT_STREQ(doc, row.help);
    ::SysFreeString(doc);
    EXPECT_TRUE(IsEqualGUID(ImplementedInterface(coclass.get(), IMPLTYPEFLAG_FDEFAULT), *row.defaultInterface));
    const GUID events = ImplementedInterface(coclass.get(), IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE);
    EXPECT_TRUE(IsEqualGUID(events, row.events != nullptr ? *row.events : GUID_NULL));
  }
  // The calendar presence events with their dispids, in declared order.
  Ref<ITypeInfo> events;
  ASSERT_EQ(lib->GetTypeInfoOfGuid(DIID__ICalPresenceEvents, events.out()), S_OK);
  const struct {
    const wchar_t* name;
    MEMBERID id;
    short params;
  } kEvents[] = {{L"OnCalDataChanged", DISPID_CALPRESENCE_ONCALDATACHANGED, 9},
                 {L"Done", DISPID_CALPRESENCE_DONE, 1},
                 {L"PasswordAvailable", DISPID_CALPRESENCE_PASSWORDAVAILABLE, 0}};
  for (UINT i = 0; i < 3; ++i) {
    FUNCDESC* func = nullptr;
    ASSERT_EQ(events->GetFuncDesc(i, &func), S_OK);
    BSTR name = nullptr;
    events->GetDocumentation(func->memid, &name, nullptr, nullptr, nullptr);
    EXPECT_STREQ(name, kEvents[i].name);
    EXPECT_EQ(func->memid, kEvents[i].id);
    EXPECT_EQ(func->cParams, kEvents[i].params);
    ::SysFreeString(name);
    events->ReleaseFuncDesc(func);
  }
}

using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);

// Every method the type library lists for a control's interface is a name
// the control's own IDispatch answers with the same dispid and the same
// parameters: one argument more than the library lists is refused, and an
// [out, retval] parameter may be left out and comes back as the result.
TEST(ServerTypeLibrary, AgreesWithTheControlsDispatchTables) {
  ComApartment apartment;
  LoadedModule module;
  ASSERT_NE(module.get(), nullptr);
  auto getClassObject = reinterpret_cast<GetClassObjectFn>(
      reinterpret_cast<void (*)()>(::GetProcAddress(module.get(), "DllGetClassObject")));
  ASSERT_NE(getClassObject, nullptr);
  Ref<ITypeLib> lib;
  ASSERT_EQ(::LoadTypeLibEx(ModulePath().c_str(), REGKIND_NONE, lib.out()), S_OK);

  for (const CoclassRow& row : kCoclasses) {
    SCOPED_TRACE(std::string(row.help, row.help + wcslen(row.help)));
    Ref<IClassFactory> factory;
    ASSERT_EQ(getClassObject(*row.clsid, IID_IClassFactory, factory.void_out()), S_OK);
    Ref<IDispatch> control;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, control.void_out()), S_OK);

    // The dual interface's own (vtable) description: its methods only, each
    // with all its parameters, the [out, retval] one included.
    Ref<ITypeInfo> dispatchView;
    ASSERT_EQ(lib->GetTypeInfoOfGuid(*row.defaultInterface, dispatchView.out()), S_OK);
    HREFTYPE ref = 0;
    Ref<ITypeInfo> info;
    ASSERT_EQ(dispatchView->GetRefTypeOfImplType(-1, &ref), S_OK) << "not a dual interface";
    ASSERT_EQ(dispatchView->GetRefTypeInfo(ref, info.out()), S_OK);
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
    const UINT functions = attr->cFuncs;
    info->ReleaseTypeAttr(attr);
    ASSERT_GT(functions, 0u);
    for (UINT i = 0; i < functions; ++i) {
      FUNCDESC* func = nullptr;
      ASSERT_EQ(info->GetFuncDesc(i, &func), S_OK);
      BSTR name = nullptr;
      info->GetDocumentation(func->memid, &name, nullptr, nullptr, nullptr);
      const std::string label(name, name + ::SysStringLen(name));
      DISPID answered = DISPID_UNKNOWN;
      EXPECT_EQ(control->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &answered), S_OK) << label;
      EXPECT_EQ(answered, func->memid) << label;

      const UINT count = static_cast<UINT>(func->cParams);
      std::vector<VARIANT> args(count + 1);
      for (VARIANT& arg : args) {
        ::VariantInit(&arg);
        arg.vt = VT_I4;
      }
      DISPPARAMS tooMany{args.data(), nullptr, count + 1, 0};
      VARIANT result;
      ::VariantInit(&result);
      EXPECT_EQ(control->Invoke(func->memid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &tooMany, &result,
                                nullptr, nullptr),
                DISP_E_BADPARAMCOUNT)
          << label;
      const bool retval = count > 0 && (func->lprgelemdescParam[count - 1].paramdesc.wParamFlags & PARAMFLAG_FRETVAL);
      if (retval) {
        // Only the [in] numbers, the result left to the dispatcher. A soft
        // failure of the control itself (no participant list) is no
        // disagreement; the dispatcher's refusals are.
        DISPPARAMS inOnly{args.data(), nullptr, count - 1, 0};
        const HRESULT hr = control->Invoke(func->memid, IID_NULL, LOCALE_USER_DEFAULT,
                                           DISPATCH_METHOD | DISPATCH_PROPERTYGET, &inOnly, &result, nullptr, nullptr);
        EXPECT_NE(hr, DISP_E_BADPARAMCOUNT) << label;
        EXPECT_NE(hr, DISP_E_TYPEMISMATCH) << label;
        const VARTYPE declared = func->lprgelemdescParam[count - 1].tdesc.lptdesc->vt;
        if (SUCCEEDED(hr) && declared != VT_VARIANT) {
          EXPECT_EQ(result.vt, declared) << label;
        }
      }
      ::VariantClear(&result);
      ::SysFreeString(name);
      info->ReleaseFuncDesc(func);
    }
  }
}

}  // namespace

// What a browser asks a control of the module for to find its events: the
// type information of its dispatch interface and of its class, both from the
// module's own type library.
TEST(ServerTypeLibrary, ControlsHandOutTheirTypeInformation) {
  ComApartment apartment;
  LoadedModule module;
  ASSERT_NE(module.get(), nullptr);
  auto getClassObject = reinterpret_cast<GetClassObjectFn>(
      reinterpret_cast<void (*)()>(::GetProcAddress(module.get(), "DllGetClassObject")));
  ASSERT_NE(getClassObject, nullptr);
  const auto guidOf = [](ITypeInfo* info) {
    TYPEATTR* attr = nullptr;
    if (info == nullptr || FAILED(info->GetTypeAttr(&attr))) return GUID_NULL;
    const GUID guid = attr->guid;
    info->ReleaseTypeAttr(attr);
    return guid;
  };
  for (const CoclassRow& row : kCoclasses) {
    SCOPED_TRACE(std::string(row.help, row.help + wcslen(row.help)));
    Ref<IClassFactory> factory;
    ASSERT_EQ(getClassObject(*row.clsid, IID_IClassFactory, factory.void_out()), S_OK);
    Ref<IDispatch> control;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, control.void_out()), S_OK);

    UINT count = 0;
    ASSERT_EQ(control->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    Ref<ITypeInfo> dispatchInfo;
    ASSERT_EQ(control->GetTypeInfo(0, LOCALE_USER_DEFAULT, dispatchInfo.out()), S_OK);
    EXPECT_TRUE(IsEqualGUID(guidOf(dispatchInfo.get()), *row.defaultInterface));

    Ref<IProvideClassInfo2> classInfo;
    ASSERT_EQ(control->QueryInterface(IID_IProvideClassInfo2, classInfo.void_out()), S_OK);
    Ref<ITypeInfo> coclass;
    ASSERT_EQ(classInfo->GetClassInfo(coclass.out()), S_OK);
    EXPECT_TRUE(IsEqualGUID(guidOf(coclass.get()), *row.clsid));
    const GUID events = ImplementedInterface(coclass.get(), IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE);
    GUID answered = GUID_NULL;
    const HRESULT hr = classInfo->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &answered);
    if (row.events != nullptr) {
      EXPECT_EQ(hr, S_OK);
      EXPECT_TRUE(IsEqualGUID(answered, *row.events));
      EXPECT_TRUE(IsEqualGUID(events, *row.events));
    } else {
      EXPECT_TRUE(FAILED(hr));
      EXPECT_TRUE(IsEqualGUID(events, GUID_NULL));
    }
  }
}
