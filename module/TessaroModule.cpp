#include "module/TessaroModule.h"

#include <mutex>
#include <new>

#include "activemon/ActiveMonAX.h"
#include "calpresence/CalPresenceAX.h"
#include "mapisearch/MapiSearchAX.h"
#include "module/ModuleIds.h"
#include "module/ModuleLock.h"
#include "module/Registrar.h"
#include "platform/dispatch.h"
#include "platform/services.h"
#include "platform/typelib.h"
#include "platform/wformat.h"

namespace tessaro {

namespace {

// OLEMISC_RECOMPOSEONRESIZE | CANTLINKINSIDE | INSIDEOUT | ACTIVATEWHENVISIBLE |
// SETCLIENTSITEFIRST, with and without INVISIBLEATRUNTIME.
constexpr DWORD kMiscInvisible = 0x20591;
constexpr DWORD kMiscVisible = 0x20191;

const ClassEntry kClasses[] = {
    {&CLSID_CalPresenceAX, &CreateCalPresenceAX, IDR_CALPRESENCEAX, IDB_CALPRESENCEAX, kMiscInvisible, true},
    {&CLSID_ActiveMonAX, &CreateActiveMonAX, IDR_ACTIVEMONAX, IDB_ACTIVEMONAX, kMiscVisible, true},
    {&CLSID_MapiSearchAX, &CreateMapiSearchAX, IDR_MAPISEARCHAX, IDB_MAPISEARCHAX, kMiscVisible, false},
};
constexpr size_t kClassCount = sizeof kClasses / sizeof kClasses[0];

const plat::TypeLibIdentity kTypeLib = {LIBID_TessaroLib, kTessaroLibMajor, kTessaroLibMinor, kTessaroLibLocale,
                                        WSTR("Tessaro 2.1.4 Type Library")};

const WCHAR kPreApprovedParents[2][80] = {
    WSTR("Software\\Microsoft\\Windows\\CurrentVersion\\Ext\\PreApproved"),
    WSTR("Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Ext\\PreApproved"),
};

// The standard class factory of one class. It counts its own references
// only; LockServer holds the module.
class ClassFactory final : public IClassFactory {
 public:
  explicit ClassFactory(const ClassEntry& entry) : m_entry(entry) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IClassFactory) {
      *ppv = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return m_refs.fetch_add(1) + 1; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = m_refs.fetch_sub(1) - 1;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    return m_entry.create(outer, riid, ppv);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock) {
      CTessaroModule::Instance().Lock();
    } else {
      CTessaroModule::Instance().Unlock();
    }
    return S_OK;
  }

 private:
  const ClassEntry& m_entry;
  std::atomic<ULONG> m_refs{0};
};

// The kept factories, one slot per class, and the lock of the class table.
std::mutex g_tableLock;
IClassFactory* g_factories[kClassCount] = {};
std::once_flag g_typeInfoOnce;

WString ModulePath(HINSTANCE module) {
  WCHAR path[MAX_PATH * 4];
  const DWORD n = plat::Modules().GetModuleFileNameW(module, path, MAX_PATH * 4);
  return n == 0 || n >= MAX_PATH * 4 ? WString() : WString(path, n);
}

// The module's path for the type information source of the dispatchers.
WString g_modulePath;

HRESULT ModuleTypeInfo(REFIID guid, LCID, ITypeInfo** info) {
  return plat::TypeLibs().LoadTypeInfo(g_modulePath.c_str(), guid, info);
}

// Offers the type library to the dispatchers when the module carries one
// (not from the process entry point: loading a library there is not allowed).
void OfferTypeInfo(HINSTANCE module) {
  std::call_once(g_typeInfoOnce, [module] {
    g_modulePath = ModulePath(module);
    ITypeInfo* probe = nullptr;
    if (SUCCEEDED(plat::TypeLibs().LoadTypeInfo(g_modulePath.c_str(), IID_ICalPresence, &probe)) && probe) {
      probe->Release();
      disp::SetTypeInfoSource(&ModuleTypeInfo);
    }
  });
}

// Writes or removes the implemented categories of a class under its CLSID
// key. The keys are written directly under the classes root in use, so
// per-user registration keeps them with the user's classes.
HRESULT CategoryKeys(HKEY classesRoot, const ClassEntry& entry, bool registering) {
  if (!entry.safeCategories) return S_OK;
  const WString base = WSTR("CLSID\\") + plat::GuidText(*entry.clsid) + WSTR("\\Implemented Categories");
  plat::RegistryService& reg = plat::Registry();
  for (const GUID* catid : {&CATID_SafeForScripting, &CATID_SafeForInitializing}) {
    const WString key = base + WSTR("\\") + plat::GuidText(*catid);
    if (registering) {
      HKEY created = nullptr;
      const LONG rc =
          reg.RegCreateKeyExW(classesRoot, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &created, nullptr);
      if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
      reg.RegCloseKey(created);
    } else {
      const LONG rc = reg.RegDeleteKeyW(classesRoot, key.c_str());
      if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) return HRESULT_FROM_WIN32(rc);
    }
  }
  if (!registering) {
    // The container goes when nothing else is listed in it (a key with sub
    // keys is never deleted, so the call fails harmlessly otherwise).
    reg.RegDeleteKeyW(classesRoot, base.c_str());
  }
  return S_OK;
}

// Remembers the thread's locale and sets the system default for the extent
// of a registration.
class SystemLocaleScope {
 public:
  SystemLocaleScope() : m_saved(plat::Locale().GetThreadLocale()) {
    plat::Locale().SetThreadLocale(LOCALE_SYSTEM_DEFAULT);
  }
  ~SystemLocaleScope() { plat::Locale().SetThreadLocale(m_saved); }
  SystemLocaleScope(const SystemLocaleScope&) = delete;
  SystemLocaleScope& operator=(const SystemLocaleScope&) = delete;

 private:
  LCID m_saved;
};

// The key the scripts' HKCR stands for, open for the extent of a
// registration: the machine's classes, or the user's in per-user mode.
class ClassesRoot {
 public:
  explicit ClassesRoot(bool perUser) {
    if (!perUser) {
      m_key = HKEY_CLASSES_ROOT;
      return;
    }
    m_result = plat::Registry().RegCreateKeyExW(HKEY_CURRENT_USER, WSTR("Software\\Classes"), 0, nullptr, 0,
                                                KEY_ALL_ACCESS, nullptr, &m_key, nullptr);
    m_owned = m_result == ERROR_SUCCESS;
  }
  ~ClassesRoot() {
    if (m_owned) plat::Registry().RegCloseKey(m_key);
  }
  ClassesRoot(const ClassesRoot&) = delete;
  ClassesRoot& operator=(const ClassesRoot&) = delete;

  HKEY key() const { return m_key; }
  HRESULT status() const { return m_result == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(m_result); }

 private:
  HKEY m_key = nullptr;
  LONG m_result = ERROR_SUCCESS;
  bool m_owned = false;
};

Registrar MakeRegistrar(HKEY classesRoot, const WString& modulePath) {
  Registrar registrar(classesRoot);
  registrar.AddReplacement(WSTR("MODULE"), modulePath);
  registrar.AddReplacement(WSTR("APPID"), plat::GuidText(APPID_ZLMTessaro));
  return registrar;
}

// The registrar of one class's script: the module's replacements and the
// class's OLEMISC value, in decimal.
Registrar MakeClassRegistrar(HKEY classesRoot, const WString& modulePath, const ClassEntry& entry) {
  Registrar registrar = MakeRegistrar(classesRoot, modulePath);
  registrar.AddReplacement(WSTR("OLEMISC"), wfmt::String(WSTR("%lu"), entry.oleMisc));
  return registrar;
}

}  // namespace

CTessaroModule& CTessaroModule::Instance() {
  static CTessaroModule module;
  return module;
}

const ClassEntry* CTessaroModule::Classes(size_t* count) {
  if (count != nullptr) *count = kClassCount;
  return kClasses;
}

// The class table's lock is a plain mutex, which cannot fail to initialise,
// so the module always loads.
bool CTessaroModule::Attach(HINSTANCE module) {
  m_module = module;
  return true;
}

void CTessaroModule::Detach() { ReleaseFactories(); }

LONG CTessaroModule::Lock() { return ModuleLockIncrement(); }
LONG CTessaroModule::Unlock() { return ModuleLockDecrement(); }
LONG CTessaroModule::LockCount() const { return ModuleLockCount(); }

HRESULT CTessaroModule::GetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  for (size_t i = 0; i < kClassCount; ++i) {
    if (*kClasses[i].clsid != clsid) continue;
    OfferTypeInfo(m_module);
    IClassFactory* factory = nullptr;
    {
      std::lock_guard<std::mutex> lock(g_tableLock);
      if (g_factories[i] == nullptr) {
        g_factories[i] = new (std::nothrow) ClassFactory(kClasses[i]);
        if (g_factories[i] == nullptr) return E_OUTOFMEMORY;
        g_factories[i]->AddRef();  // the module's own reference
      }
      factory = g_factories[i];
      factory->AddRef();
    }
    const HRESULT hr = factory->QueryInterface(riid, ppv);
    factory->Release();
    return hr;
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

void CTessaroModule::ReleaseFactories() {
  IClassFactory* released[kClassCount] = {};
  {
    std::lock_guard<std::mutex> lock(g_tableLock);
    for (size_t i = 0; i < kClassCount; ++i) {
      released[i] = g_factories[i];
      g_factories[i] = nullptr;
    }
  }
  for (IClassFactory* factory : released)
    if (factory != nullptr) factory->Release();
}

HRESULT CTessaroModule::CanUnloadNow() { return LockCount() == 0 ? S_OK : S_FALSE; }

HRESULT CTessaroModule::Register() {
  SystemLocaleScope locale;
  ClassesRoot root(PerUser());
  if (FAILED(root.status())) return root.status();
  const WString modulePath = ModulePath(m_module);
  HRESULT hr = MakeRegistrar(root.key(), modulePath).RunResource(m_module, IDR_ZLMTESSARO, true);
  for (size_t i = 0; SUCCEEDED(hr) && i < kClassCount; ++i) {
    hr = MakeClassRegistrar(root.key(), modulePath, kClasses[i]).RunResource(m_module, kClasses[i].scriptId, true);
    if (SUCCEEDED(hr)) hr = CategoryKeys(root.key(), kClasses[i], true);
  }
  if (SUCCEEDED(hr)) hr = plat::TypeLibs().RegisterTypeLib(modulePath.c_str(), kTypeLib, PerUser());
  return hr;
}

HRESULT CTessaroModule::Unregister() {
  SystemLocaleScope locale;
  ClassesRoot root(PerUser());
  if (FAILED(root.status())) return root.status();
  const WString modulePath = ModulePath(m_module);
  HRESULT hr = S_OK;
  for (size_t i = 0; SUCCEEDED(hr) && i < kClassCount; ++i) {
    hr = CategoryKeys(root.key(), kClasses[i], false);
    if (FAILED(hr)) break;
    hr = MakeClassRegistrar(root.key(), modulePath, kClasses[i]).RunResource(m_module, kClasses[i].scriptId, false);
  }
  if (SUCCEEDED(hr)) hr = plat::TypeLibs().UnRegisterTypeLib(kTypeLib, PerUser());
  if (SUCCEEDED(hr)) hr = MakeRegistrar(root.key(), modulePath).RunResource(m_module, IDR_ZLMTESSARO, false);
  return hr;
}

HRESULT CTessaroModule::PreApprove(REFCLSID clsid) {
  plat::RegistryService& reg = plat::Registry();
  const WString name = plat::GuidText(clsid);
  HRESULT hr = S_OK;
  for (const WCHAR* parentPath : kPreApprovedParents) {
    HKEY parent = nullptr;
    // A missing parent counts as done.
    if (reg.RegOpenKeyW(HKEY_LOCAL_MACHINE, parentPath, &parent) != ERROR_SUCCESS) {
      hr = S_OK;
      continue;
    }
    HKEY key = nullptr;
    DWORD disposition = 0;
    const LONG rc = reg.RegCreateKeyExW(parent, name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                        nullptr, &key, &disposition);
    hr = rc == ERROR_SUCCESS && (disposition == REG_CREATED_NEW_KEY || disposition == REG_OPENED_EXISTING_KEY)
             ? S_OK
             : E_FAIL;
    if (rc == ERROR_SUCCESS) reg.RegCloseKey(key);
    reg.RegCloseKey(parent);
    if (FAILED(hr)) return hr;
  }
  return hr;
}

HRESULT CTessaroModule::PreApproveClasses() {
  HRESULT hr = S_OK;
  for (size_t i = 0; SUCCEEDED(hr) && i < kClassCount; ++i) hr = PreApprove(*kClasses[i].clsid);
  return hr;
}

HRESULT CTessaroModule::RegisterServer() {
  const HRESULT hr = Register();
  return FAILED(hr) ? hr : PreApproveClasses();
}

HRESULT CTessaroModule::UnregisterServer() { return Unregister(); }

namespace {

// "user" in any letter case, and nothing after it.
bool IsUserSwitch(LPCWSTR commandLine) { return wstr::EqualsNoCase(commandLine, WSTR("user")); }

}  // namespace

HRESULT CTessaroModule::Install(BOOL install, LPCWSTR commandLine) {
  if (commandLine != nullptr && IsUserSwitch(commandLine)) SetPerUser(true);
  if (!install) return Unregister();
  HRESULT hr = Register();
  if (SUCCEEDED(hr)) hr = PreApproveClasses();
  if (FAILED(hr)) Unregister();
  return hr;
}

}  // namespace tessaro
