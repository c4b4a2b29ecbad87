#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "activemon/ActiveMonAX.h"
#include "tests/support/test_support.h"
#ifndef _WIN32
#include "platform/linux/x_idle.h"
#endif

using namespace testing_support;

namespace {

const WString kHookName = WSTR("ZLMActvHook.dll");

template <class F>
F EntryPoint(FARPROC proc) {
  return reinterpret_cast<F>(reinterpret_cast<void (*)()>(proc));
}

// The directory of this test program, ending in a backslash.
WString ProgramDir() {
  plat::ModuleService native;
  std::vector<WCHAR> buffer(32768);
  const DWORD n = native.GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  const WString path(buffer.data(), n);
  return path.substr(0, path.rfind('\\') + 1);
}

// Records the library calls and passes them on to the real service, except
// for "user32.dll", which it stands in for with a GetLastInputInfo of its own.
class LibraryWatch : public plat::LibraryService {
 public:
  LibraryWatch() : installed_(*this) {}

  HMODULE LoadLibraryW(LPCWSTR name) override {
    loads.emplace_back(name);
    if (wstr::EqualsNoCase(name, WSTR("user32.dll"))) {
      if (user32Loads) return FakeUser32();
      plat::Errors().SetLastError(ERROR_MOD_NOT_FOUND);
      return nullptr;
    }
    if (refuseLoads) {
      plat::Errors().SetLastError(ERROR_MOD_NOT_FOUND);
      return nullptr;
    }
    return native_.LoadLibraryW(name);
  }
  FARPROC GetProcAddress(HMODULE module, LPCSTR name) override {
    if (module != FakeUser32()) return native_.GetProcAddress(module, name);
    if (offerLastInput && std::string(name) == "GetLastInputInfo")
      return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&LastInput));
    return nullptr;
  }
  BOOL FreeLibrary(HMODULE module) override {
    frees.push_back(module);
    return module == FakeUser32() ? TRUE : native_.FreeLibrary(module);
  }

  static HMODULE FakeUser32() {
    static char marker;
    return reinterpret_cast<HMODULE>(&marker);
  }
  size_t LoadsOf(const WString& tail) const {
    size_t count = 0;
    for (const auto& name : loads)
      if (name.size() >= tail.size() && name.compare(name.size() - tail.size(), tail.size(), tail) == 0) ++count;
    return count;
  }

  std::vector<WString> loads;
  std::vector<HMODULE> frees;
  bool refuseLoads = false;
  bool user32Loads = true;
  bool offerLastInput = true;

  // The last-input tick the fake GetLastInputInfo reports, and what it was given.
  static inline DWORD tick = 0;
  static inline int calls = 0;
  static inline UINT seenSize = 0;
  static inline DWORD seenTime = 0;

 private:
  static BOOL WINAPI LastInput(PLASTINPUTINFO info) {
    ++calls;
    seenSize = info->cbSize;
    seenTime = info->dwTime;
    info->dwTime = tick;
    return TRUE;
  }

  plat::LibraryService native_;
  plat::Substitute<plat::LibraryService> installed_;
};

// The operating system's version and the clock's seconds.
class FakeSystem : public plat::SystemInfoService {
 public:
  FakeSystem() : installed_(*this) {}
  BOOL GetVersionExW(LPOSVERSIONINFOW info) override {
    sizes.push_back(info->dwOSVersionInfoSize);
    if (info->dwOSVersionInfoSize == sizeof(OSVERSIONINFOEXW) ? extendedFails : basicFails) return FALSE;
    info->dwPlatformId = platformId;
    info->dwMajorVersion = major;
    info->dwMinorVersion = minor;
    return TRUE;
  }
  LONGLONG CurrentTimeSeconds() override { return now; }

  void Set(DWORD id, DWORD maj, DWORD min) {
    platformId = id;
    major = maj;
    minor = min;
  }

  DWORD platformId = VER_PLATFORM_WIN32_NT, major = 6, minor = 1;
  bool extendedFails = false, basicFails = false;
  LONGLONG now = 1000;
  std::vector<DWORD> sizes;

 private:
  plat::Substitute<plat::SystemInfoService> installed_;
};

// The test's own hold on a hook library stand-in: it keeps the library (and
// so its counts) loaded between the control's loads and frees, and reaches
// its test entry points.
class Double {
 public:
  explicit Double(const WString& dir) {
    handle_ = native_.LoadLibraryW((dir + kHookName).c_str());
    if (handle_ == nullptr) return;
    set_ = EntryPoint<void(WINAPI*)(DWORD)>(native_.GetProcAddress(handle_, "DoubleSetTimeStamp"));
    counts_ = EntryPoint<void(WINAPI*)(LONG*, LONG*, LONG*)>(native_.GetProcAddress(handle_, "DoubleCounts"));
    auto reset = EntryPoint<void(WINAPI*)()>(native_.GetProcAddress(handle_, "DoubleReset"));
    if (reset != nullptr) reset();
  }
  ~Double() {
    if (handle_ != nullptr) native_.FreeLibrary(handle_);
  }
  bool Loaded() const { return handle_ != nullptr && set_ != nullptr && counts_ != nullptr; }
  void SetStamp(DWORD stamp) { set_(stamp); }
  LONG Installs() { return Count(0); }
  LONG Uninstalls() { return Count(1); }
  LONG StampCalls() { return Count(2); }

 private:
  LONG Count(int which) {
    LONG counts[3] = {};
    counts_(&counts[0], &counts[1], &counts[2]);
    return counts[which];
  }
  plat::LibraryService native_;
  HMODULE handle_ = nullptr;
  void(WINAPI* set_)(DWORD) = nullptr;
  void(WINAPI* counts_)(LONG*, LONG*, LONG*) = nullptr;
};

const WString kDoubleDir = ProgramDir() + WSTR("activemon_double\\");
const WString kPartialDir = ProgramDir() + WSTR("activemon_double_partial\\");

// An away timer whose module lies in a chosen directory, with every level
// of its log on the debugger stream.
class AwayTimer : public ::testing::Test {
 protected:
  AwayTimer() { LibraryWatch::tick = 0, LibraryWatch::calls = 0; }

  void UseModuleIn(const WString& dir) { module_.emplace(dir + WSTR("ZLMTessaro.dll")); }

  // The messages of the log lines so far, without header and line feed.
  std::vector<std::string> Messages() const {
    std::vector<std::string> out;
    for (const auto& line : diag.lines) {
      std::string text = U8(line);
      const size_t at = text.find("CActiveMonAX :: ");
      if (at != std::string::npos) text = text.substr(at + 16);
      if (!text.empty() && text.back() == '\n') text.pop_back();
      out.push_back(text);
    }
    return out;
  }
  LONG Idle(HRESULT expected) {
    LONG time = -1;
    EXPECT_EQ(expected, mon->GetIdleTime(&time));
    return time;
  }

  TestRegistry registry;
  TempDir appData;
  AppDataIn appDataIn{appData.path()};
  ScopedEnv level{WSTR("ZLMTessaroLogLevel"), WSTR("134217743")};  // 0x0800000F: every level
  CapturedDiagnostics diag;
  LibraryWatch libs;
  FakeSystem system;
  std::optional<ModuleAt> module_{std::in_place, kDoubleDir + WSTR("ZLMTessaro.dll")};
  Double hook{kDoubleDir};
  ComPtr<IActiveMon> mon;

  void SetUp() override {
    ASSERT_TRUE(hook.Loaded()) << "no stand-in library in " << U8(kDoubleDir);
    ASSERT_EQ(S_OK, CreateActiveMonAX(nullptr, IID_IActiveMon, mon.ReceiveVoid()));
  }
  CActiveMonAX& Object() { return *static_cast<CActiveMonAX*>(mon.Get()); }
};

}  // namespace

TEST_F(AwayTimer, NothingHappensBeforeMonInit) {
  EXPECT_EQ(0, Idle(S_FALSE));
  // Settings are loaded by MonInit only: nothing is logged yet.
  EXPECT_EQ(S_OK, mon->MonUnInit());
  EXPECT_EQ(0, Idle(S_FALSE));
  EXPECT_TRUE(diag.lines.empty());
  EXPECT_TRUE(libs.loads.empty());
  EXPECT_EQ(0, hook.StampCalls());
  EXPECT_EQ(0, hook.Uninstalls());
  EXPECT_EQ(E_POINTER, mon->GetIdleTime(nullptr));
}

TEST_F(AwayTimer, MonInitInstallsTheLibraryBesideTheModuleOnce) {
  hook.SetStamp(1234);
  ASSERT_EQ(S_OK, mon->MonInit());
  ASSERT_EQ(1u, libs.loads.size());
  EXPECT_EQ(U8(kDoubleDir + kHookName), U8(libs.loads[0]));
  EXPECT_EQ(U8(kDoubleDir), U8(Object().m_moduleDir));
  EXPECT_EQ("ZLMTessaro.dll", U8(Object().m_moduleFileName));
  const std::vector<std::string> expected = {
      "Tessaro INFO  :: CActiveMonAX::MonInit(18): Initializing Activity Monitor",
      "Tessaro INFO  :: CActiveMonAX::MonInit(22): need to load hook dll",
      "Tessaro INFO  :: CActiveMonAX::MonInit(30): Loading hook dll " + U8(kDoubleDir + kHookName),
      "Tessaro INFO  :: CActiveMonAX::MonInit(54): Installing Hook"};
  EXPECT_EQ(expected, Messages());
  EXPECT_EQ(1, hook.Installs());

  EXPECT_EQ(1234, Idle(S_OK));
  EXPECT_EQ(1, hook.StampCalls());
  EXPECT_EQ("Tessaro INFO  :: CActiveMonAX::GetLastTimestamp(98): dwHookStamp = 1234 - dwSysStamp = 0",
            Messages().back());

  // A second MonInit only says so.
  diag.lines.clear();
  EXPECT_EQ(S_OK, mon->MonInit());
  EXPECT_EQ(std::vector<std::string>{"Tessaro INFO  :: CActiveMonAX::MonInit(18): Initializing Activity Monitor"},
            Messages());
  EXPECT_EQ(1u, libs.loads.size());
  EXPECT_EQ(1, hook.Installs());
}

TEST_F(AwayTimer, RemovedHookCanBeInstalledAgain) {
  hook.SetStamp(77);
  ASSERT_EQ(S_OK, mon->MonInit());
  const HMODULE first = Object().m_hHookLib;
  diag.lines.clear();
  EXPECT_EQ(S_OK, mon->MonUnInit());
  EXPECT_EQ(std::vector<std::string>{"Tessaro INFO  :: CActiveMonAX::MonUnInit(64): Removing Hook"}, Messages());
  EXPECT_EQ(1, hook.Uninstalls());
  ASSERT_EQ(1u, libs.frees.size());
  EXPECT_EQ(first, libs.frees[0]);
  EXPECT_TRUE(Object().m_hookRemoved);
  EXPECT_EQ(0, Idle(S_FALSE));
  EXPECT_EQ(0, hook.StampCalls());

  // Removing again does nothing more.
  EXPECT_EQ(S_OK, mon->MonUnInit());
  EXPECT_EQ(1, hook.Uninstalls());

  ASSERT_EQ(S_OK, mon->MonInit());
  EXPECT_EQ(2, hook.Installs());
  EXPECT_EQ(1, hook.Uninstalls());
  EXPECT_EQ(2u, libs.LoadsOf(kHookName));
  EXPECT_FALSE(Object().m_hookRemoved);
  EXPECT_EQ(77, Idle(S_OK));
}

TEST_F(AwayTimer, AbsentLibraryFailsOnceAndIsNotTriedAgain) {
  TempDir empty;
  UseModuleIn(empty.path() + WSTR("\\"));
  EXPECT_EQ(S_FALSE, mon->MonInit());
  const std::vector<std::string> messages = Messages();
  ASSERT_EQ(4u, messages.size());
  const std::string errorLine = "Tessaro ERROR :: CActiveMonAX::MonInit(36): Error: ";
  EXPECT_EQ(errorLine, messages[3].substr(0, errorLine.size()));
  EXPECT_GT(messages[3].size(), errorLine.size()) << "the system's text of the error";

  EXPECT_EQ(0, Idle(S_FALSE));
  EXPECT_EQ(S_OK, mon->MonInit());
  // Removing leaves a failed load as it is: still no retry.
  EXPECT_EQ(S_OK, mon->MonUnInit());
  EXPECT_EQ(S_OK, mon->MonInit());
  EXPECT_EQ(1u, libs.loads.size());
  EXPECT_EQ(0, Idle(S_FALSE));
  EXPECT_TRUE(libs.frees.empty());
}

TEST_F(AwayTimer, LibraryWithoutAnEntryPointIsFreed) {
  Double partial(kPartialDir);
  ASSERT_TRUE(partial.Loaded());
  UseModuleIn(kPartialDir);
  EXPECT_EQ(S_FALSE, mon->MonInit());
  EXPECT_EQ("Tessaro ERROR :: CActiveMonAX::MonInit(45): Failed getting proc addresses", Messages().back());
  ASSERT_EQ(1u, libs.frees.size());
  EXPECT_EQ(nullptr, Object().m_hHookLib);
  EXPECT_EQ(nullptr, Object().m_pfnInstallHook);
  EXPECT_EQ(0, partial.Installs());

  EXPECT_EQ(0, Idle(S_FALSE));
  EXPECT_EQ(S_OK, mon->MonUnInit());
  EXPECT_EQ(0, partial.Uninstalls());
  EXPECT_EQ(S_OK, mon->MonInit());
  EXPECT_EQ(1u, libs.loads.size());
}

TEST_F(AwayTimer, EachLineIsWrittenAtItsLevel) {
  Double partial(kPartialDir);
  ASSERT_TRUE(partial.Loaded());
  hook.SetStamp(1234);
  const std::string init = "Tessaro INFO  :: CActiveMonAX::MonInit(";
  const std::vector<LevelLine> table = {
      {LOG_MAJOR, init + "18): Initializing Activity Monitor"},
      {LOG_INFO, init + "22): need to load hook dll"},
      {LOG_INFO, init + "30): Loading hook dll " + U8(kDoubleDir + kHookName)},
      {LOG_MAJOR, init + "54): Installing Hook"},
      {LOG_DETAIL, "Tessaro INFO  :: CActiveMonAX::GetLastTimestamp(98): dwHookStamp = 1234 - dwSysStamp = 0"},
      {LOG_MAJOR, "Tessaro INFO  :: CActiveMonAX::MonUnInit(64): Removing Hook"},
      // A library without the entry points.
      {LOG_MAJOR, init + "18): Initializing Activity Monitor"},
      {LOG_INFO, init + "22): need to load hook dll"},
      {LOG_INFO, init + "30): Loading hook dll " + U8(kPartialDir + kHookName)},
      {LOG_ERROR, "Tessaro ERROR :: CActiveMonAX::MonInit(45): Failed getting proc addresses"},
  };
  ExpectLinesAtLevels(table, [&](DWORD flags) {
    ScopedEnv levels(WSTR("ZLMTessaroLogLevel"), LevelVariable(flags).c_str());
    diag.lines.clear();
    for (const WString* dir : {&kDoubleDir, &kPartialDir}) {
      UseModuleIn(*dir);
      ComPtr<IActiveMon> timer;
      EXPECT_EQ(S_OK, CreateActiveMonAX(nullptr, IID_IActiveMon, timer.ReceiveVoid()));
      LONG idle = 0;
      if (timer->MonInit() == S_OK) {
        EXPECT_EQ(S_OK, timer->GetIdleTime(&idle));
        EXPECT_EQ(S_OK, timer->MonUnInit());
      }
    }
    return Messages();
  });
}

TEST_F(AwayTimer, ModuleNameWithoutBackslashMeansTheCurrentDirectory) {
  module_.emplace(WSTR("ZLMTessaro.dll"));
  libs.refuseLoads = true;
  EXPECT_EQ(S_FALSE, mon->MonInit());
  ASSERT_EQ(1u, libs.loads.size());
  EXPECT_EQ(".\\ZLMActvHook.dll", U8(libs.loads[0]));
  EXPECT_EQ(".\\", U8(Object().m_moduleDir));
  EXPECT_EQ("ZLMTessaro.dll", U8(Object().m_moduleFileName));
}

TEST_F(AwayTimer, LongModulePathIsNotCut) {
  const WString dir = kDoubleDir + WString(300, 'd') + WSTR("\\");
  UseModuleIn(dir);
  libs.refuseLoads = true;
  EXPECT_EQ(S_FALSE, mon->MonInit());
  EXPECT_EQ(U8(dir + kHookName), U8(libs.loads.at(0)));
}

TEST_F(AwayTimer, QualifyingPlatformAnswersTheLaterOfHookAndSystemStamps) {
  system.Set(VER_PLATFORM_WIN32_NT, 5, 1);
  ASSERT_EQ(S_OK, mon->MonInit());
  hook.SetStamp(1000);
  LibraryWatch::tick = 500;
  system.now = 1005;
  EXPECT_EQ(1005, Idle(S_OK));  // input first seen at 1005
  EXPECT_EQ(sizeof(LASTINPUTINFO), LibraryWatch::seenSize);
  EXPECT_EQ(0u, LibraryWatch::seenTime);
  EXPECT_EQ(sizeof(OSVERSIONINFOEXW), system.sizes.at(0));

  hook.SetStamp(1010);
  EXPECT_EQ(1010, Idle(S_OK));

  // The same tick later on: the system stamp stays at the first poll's time.
  hook.SetStamp(1000);
  system.now = 1100;
  EXPECT_EQ(1005, Idle(S_OK));
  EXPECT_EQ("Tessaro INFO  :: CActiveMonAX::GetLastTimestamp(98): dwHookStamp = 1000 - dwSysStamp = 1005",
            Messages().back());
  // New input.
  LibraryWatch::tick = 501;
  system.now = 1200;
  EXPECT_EQ(1200, Idle(S_OK));
  // A smaller tick (wrapped) is not taken.
  LibraryWatch::tick = 3;
  system.now = 1300;
  EXPECT_EQ(1200, Idle(S_OK));
  // The larger stamp as unsigned numbers.
  hook.SetStamp(0x80000000u);
  EXPECT_EQ(static_cast<LONG>(0x80000000u), Idle(S_OK));

  // GetLastInputInfo was looked up once and kept.
  EXPECT_EQ(1u, libs.LoadsOf(WSTR("user32.dll")));
  EXPECT_EQ(6, LibraryWatch::calls);
}

TEST_F(AwayTimer, OnlyWindowsNtFiveZeroToFiveTwoQualifies) {
  ASSERT_EQ(S_OK, mon->MonInit());
  hook.SetStamp(1000);
  struct Version {
    DWORD id, major, minor;
    bool qualifies;
  };
  const Version versions[] = {{VER_PLATFORM_WIN32_NT, 5, 0, true},     {VER_PLATFORM_WIN32_NT, 5, 2, true},
                              {VER_PLATFORM_WIN32_NT, 5, 3, false},    {VER_PLATFORM_WIN32_NT, 6, 0, false},
                              {VER_PLATFORM_WIN32_NT, 4, 0, false},    {VER_PLATFORM_WIN32_WINDOWS, 5, 1, false},
                              {VER_PLATFORM_WIN32_NT, 10, 0, false}};
  LONG tick = 10;
  for (const Version& v : versions) {
    system.Set(v.id, v.major, v.minor);
    LibraryWatch::tick = static_cast<DWORD>(++tick);
    system.now = 2000 + tick;
    Object().m_sysStamp = 0;  // each version starts without a system stamp
    EXPECT_EQ(v.qualifies ? 2000 + tick : 1000, Idle(S_OK)) << v.id << " " << v.major << "." << v.minor;
  }

  // The extended record refused: the basic one is asked.
  system.Set(VER_PLATFORM_WIN32_NT, 5, 1);
  system.extendedFails = true;
  system.sizes.clear();
  LibraryWatch::tick = 100;
  system.now = 3000;
  EXPECT_EQ(3000, Idle(S_OK));
  EXPECT_EQ((std::vector<DWORD>{sizeof(OSVERSIONINFOEXW), sizeof(OSVERSIONINFOW)}), system.sizes);
  // Both refused: no system stamp (the one kept stays).
  system.basicFails = true;
  LibraryWatch::tick = 101;
  system.now = 4000;
  EXPECT_EQ(3000, Idle(S_OK));
}

TEST_F(AwayTimer, MissingLastInputInfoIsLookedForAgainAtEachPoll) {
  system.Set(VER_PLATFORM_WIN32_NT, 5, 1);
  ASSERT_EQ(S_OK, mon->MonInit());
  hook.SetStamp(1000);
  LibraryWatch::tick = 50;
  system.now = 1500;
  libs.user32Loads = false;
  EXPECT_EQ(1000, Idle(S_OK));
  libs.user32Loads = true;
  libs.offerLastInput = false;
  EXPECT_EQ(1000, Idle(S_OK));
  EXPECT_EQ(2u, libs.LoadsOf(WSTR("user32.dll")));
  // The library whose lookup failed was given back.
  ASSERT_EQ(1u, libs.frees.size());
  EXPECT_EQ(LibraryWatch::FakeUser32(), libs.frees[0]);
  EXPECT_EQ(0, LibraryWatch::calls);

  libs.offerLastInput = true;
  EXPECT_EQ(1500, Idle(S_OK));
  EXPECT_EQ(1500, Idle(S_OK));
  EXPECT_EQ(3u, libs.LoadsOf(WSTR("user32.dll")));

  // Kept across MonUnInit and MonInit, given back with the object.
  ASSERT_EQ(S_OK, mon->MonUnInit());
  ASSERT_EQ(S_OK, mon->MonInit());
  EXPECT_EQ(1500, Idle(S_OK));
  EXPECT_EQ(3u, libs.LoadsOf(WSTR("user32.dll")));
  libs.frees.clear();
  mon = nullptr;
  EXPECT_EQ(std::vector<HMODULE>{LibraryWatch::FakeUser32()}, libs.frees);
}

TEST_F(AwayTimer, ScriptsCallThroughIDispatch) {
  hook.SetStamp(4321);
  LPOLESTR names[] = {const_cast<LPOLESTR>(WSTR("moninit")), const_cast<LPOLESTR>(WSTR("MonUnInit")),
                      const_cast<LPOLESTR>(WSTR("GETIDLETIME"))};
  for (DISPID expected = 1; expected <= 3; ++expected) {
    DISPID id = 0;
    ASSERT_EQ(S_OK, mon->GetIDsOfNames(IID_NULL, &names[expected - 1], 1, 0, &id));
    EXPECT_EQ(expected, id);
  }
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  CVariant result;
  // Before MonInit: S_FALSE comes through, with 0.
  EXPECT_EQ(S_FALSE, mon->Invoke(3, IID_NULL, 0, DISPATCH_METHOD, &none, result.Receive(), nullptr, nullptr));
  EXPECT_EQ(VT_I4, result->vt);
  EXPECT_EQ(0, result->lVal);

  ASSERT_EQ(S_OK, mon->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr));
  EXPECT_EQ(1, hook.Installs());
  // JScript: the stamp is the call's value.
  ASSERT_EQ(S_OK, mon->Invoke(3, IID_NULL, 0, DISPATCH_METHOD, &none, result.Receive(), nullptr, nullptr));
  EXPECT_EQ(VT_I4, result->vt);
  EXPECT_EQ(4321, result->lVal);
  // VBScript: a variable passed by reference receives it.
  VARIANT variable;
  VariantInit(&variable);
  VARIANTARG byRef;
  VariantInit(&byRef);
  byRef.vt = VT_BYREF | VT_VARIANT;
  byRef.pvarVal = &variable;
  DISPPARAMS one{&byRef, nullptr, 1, 0};
  ASSERT_EQ(S_OK, mon->Invoke(3, IID_NULL, 0, DISPATCH_METHOD, &one, nullptr, nullptr, nullptr));
  EXPECT_EQ(VT_I4, variable.vt);
  EXPECT_EQ(4321, variable.lVal);

  ASSERT_EQ(S_OK, mon->Invoke(2, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr));
  EXPECT_EQ(1, hook.Uninstalls());
}

TEST(AwayTimerObject, InterfacesSafetyAndAggregation) {
  ComPtr<IUnknown> unknown;
  ASSERT_EQ(S_OK, CreateActiveMonAX(nullptr, IID_IUnknown, unknown.ReceiveVoid()));
  ComPtr<IDispatch> dispatch;
  ComPtr<IActiveMon> mon;
  ComPtr<ISupportErrorInfo> errors;
  ComPtr<IObjectSafety> safety;
  ASSERT_EQ(S_OK, unknown.QueryInterface(IID_IDispatch, dispatch));
  ASSERT_EQ(S_OK, unknown.QueryInterface(IID_IActiveMon, mon));
  ASSERT_EQ(S_OK, unknown.QueryInterface(IID_ISupportErrorInfo, errors));
  ASSERT_EQ(S_OK, unknown.QueryInterface(IID_IObjectSafety, safety));
  EXPECT_EQ(static_cast<IDispatch*>(mon.Get()), dispatch.Get());
  ComPtr<IUnknown> identity;
  ASSERT_EQ(S_OK, safety.QueryInterface(IID_IUnknown, identity));
  EXPECT_EQ(unknown.Get(), identity.Get());
  ComPtr<IConnectionPointContainer> none;
  EXPECT_EQ(E_NOINTERFACE, unknown.QueryInterface(IID_IConnectionPointContainer, none));

  EXPECT_EQ(S_OK, errors->InterfaceSupportsErrorInfo(IID_IActiveMon));
  EXPECT_EQ(S_FALSE, errors->InterfaceSupportsErrorInfo(IID_IDispatch));

  DWORD supported = 9, enabled = 9;
  ASSERT_EQ(S_OK, safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled));
  EXPECT_EQ(static_cast<DWORD>(INTERFACESAFE_FOR_UNTRUSTED_CALLER), supported);
  EXPECT_EQ(0u, enabled);
  EXPECT_EQ(E_FAIL, safety->SetInterfaceSafetyOptions(IID_IDispatch, INTERFACESAFE_FOR_UNTRUSTED_DATA,
                                                      INTERFACESAFE_FOR_UNTRUSTED_DATA));
  EXPECT_EQ(S_OK, safety->SetInterfaceSafetyOptions(IID_IDispatch, INTERFACESAFE_FOR_UNTRUSTED_CALLER,
                                                     INTERFACESAFE_FOR_UNTRUSTED_CALLER));
  ASSERT_EQ(S_OK, safety->GetInterfaceSafetyOptions(IID_IActiveMon, &supported, &enabled));
  EXPECT_EQ(static_cast<DWORD>(INTERFACESAFE_FOR_UNTRUSTED_CALLER), enabled);
  supported = enabled = 9;
  EXPECT_EQ(E_NOINTERFACE, safety->GetInterfaceSafetyOptions(IID_IConnectionPointContainer, &supported, &enabled));
  EXPECT_EQ(0u, supported);
  EXPECT_EQ(0u, enabled);
  EXPECT_EQ(E_NOINTERFACE, safety->SetInterfaceSafetyOptions(IID_IConnectionPointContainer, 1, 1));
  EXPECT_EQ(E_POINTER, safety->GetInterfaceSafetyOptions(IID_IDispatch, nullptr, &enabled));

  // Aggregated: the outer object counts the references of every interface
  // but the inner unknown.
  struct Outer : IUnknown {
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override { return *ppv = nullptr, E_NOINTERFACE; }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
    ULONG refs = 1;
  } outer;
  void* raw = nullptr;
  EXPECT_EQ(CLASS_E_NOAGGREGATION, CreateActiveMonAX(&outer, IID_IDispatch, &raw));
  EXPECT_EQ(nullptr, raw);
  IUnknown* inner = nullptr;
  ASSERT_EQ(S_OK, CreateActiveMonAX(&outer, IID_IUnknown, reinterpret_cast<void**>(&inner)));
  IActiveMon* part = nullptr;
  ASSERT_EQ(S_OK, inner->QueryInterface(IID_IActiveMon, reinterpret_cast<void**>(&part)));
  EXPECT_EQ(2u, outer.refs);
  IUnknown* viaPart = nullptr;
  EXPECT_EQ(E_NOINTERFACE, part->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&viaPart)));
  part->Release();
  EXPECT_EQ(1u, outer.refs);
  EXPECT_EQ(0u, inner->Release());
}

// The real hook library, as both builds ship it beside the tessaro program.
TEST(HookLibrary, CountsInstallsAndStartsAtTheInstallTime) {
#ifndef _WIN32
  ScopedEnv noDisplay(WSTR("DISPLAY"), nullptr);
#endif
  plat::LibraryService native;
  const WString path = ProgramDir() + WSTR("..\\host\\") + kHookName;
  HMODULE library = native.LoadLibraryW(path.c_str());
  ASSERT_NE(nullptr, library) << U8(path);
  auto install = EntryPoint<PFN_InstallHook>(native.GetProcAddress(library, "InstallHook"));
  auto uninstall = EntryPoint<PFN_UninstallHook>(native.GetProcAddress(library, "UninstallHook"));
  auto stamp = EntryPoint<PFN_GetTimeStamp>(native.GetProcAddress(library, "GetTimeStamp"));
  ASSERT_TRUE(install != nullptr && uninstall != nullptr && stamp != nullptr);

  plat::SystemInfoService clock;
  EXPECT_EQ(0u, stamp());
  const auto before = static_cast<DWORD>(clock.CurrentTimeSeconds());
  ASSERT_TRUE(install());
  const auto after = static_cast<DWORD>(clock.CurrentTimeSeconds());
  EXPECT_GE(stamp(), before);
  EXPECT_LE(stamp(), after);
  EXPECT_TRUE(install());
  EXPECT_TRUE(uninstall());
  EXPECT_TRUE(uninstall());
  EXPECT_FALSE(uninstall());
  EXPECT_TRUE(native.FreeLibrary(library));
}

#ifdef _WIN32
// Input made with SendInput passes the low-level hooks.
namespace {
DWORD StampAfter(PFN_GetTimeStamp stamp, DWORD before, INPUT input) {
  ::Sleep(1100);  // stamps are whole seconds
  EXPECT_EQ(before, stamp()) << "no input, no change";
  EXPECT_EQ(1u, ::SendInput(1, &input, sizeof(INPUT)));
  DWORD seen = stamp();
  for (int i = 0; i < 30 && seen == before; ++i) {
    ::Sleep(100);
    seen = stamp();
  }
  return seen;
}
}  // namespace

TEST(HookLibrary, SeesMouseAndKeyboardInput) {
  plat::LibraryService native;
  HMODULE library = native.LoadLibraryW((ProgramDir() + WSTR("..\\host\\") + kHookName).c_str());
  ASSERT_NE(nullptr, library);
  auto install = EntryPoint<PFN_InstallHook>(native.GetProcAddress(library, "InstallHook"));
  auto uninstall = EntryPoint<PFN_UninstallHook>(native.GetProcAddress(library, "UninstallHook"));
  auto stamp = EntryPoint<PFN_GetTimeStamp>(native.GetProcAddress(library, "GetTimeStamp"));
  ASSERT_TRUE(install());
  const DWORD installed = stamp();
  INPUT mouse = {};
  mouse.type = INPUT_MOUSE;
  mouse.mi.dx = 5;
  mouse.mi.dwFlags = MOUSEEVENTF_MOVE;
  const DWORD moved = StampAfter(stamp, installed, mouse);
  EXPECT_GT(moved, installed) << "the mouse hook saw nothing";
  INPUT key = {};
  key.type = INPUT_KEYBOARD;
  key.ki.wVk = VK_SHIFT;
  key.ki.dwFlags = KEYEVENTF_KEYUP;
  EXPECT_GT(StampAfter(stamp, moved, key), moved) << "the keyboard hook saw nothing";
  EXPECT_TRUE(uninstall());
  native.FreeLibrary(library);
}
#endif

#ifndef _WIN32
TEST(XIdle, ReadingsOfOneInputKeepTheirMoment) {
  xidle::LastInputMoment moment;
  EXPECT_TRUE(moment.Observe(10000, 10001, 4000));
  EXPECT_EQ(6000u, moment.Moment());
  // The same input read later, through a slower or quicker round trip.
  EXPECT_FALSE(moment.Observe(15000, 15009, 9001));
  EXPECT_FALSE(moment.Observe(20003, 20003, 14001));
  EXPECT_EQ(6000u, moment.Moment());
  // New input.
  EXPECT_TRUE(moment.Observe(21000, 21000, 500));
  EXPECT_EQ(20500u, moment.Moment());
  // A reading that would put the input earlier changes nothing.
  EXPECT_FALSE(moment.Observe(22000, 22000, 10000));
  EXPECT_EQ(20500u, moment.Moment());
  // Idle longer than the clock has run.
  xidle::LastInputMoment early;
  EXPECT_TRUE(early.Observe(100, 100, 5000));
  EXPECT_EQ(0u, early.Moment());
}

TEST(LinuxLibraries, NamesMapToSharedObjectsAndUser32NeedsADisplay) {
  ScopedEnv noDisplay(WSTR("DISPLAY"), nullptr);
  plat::LibraryService native;
  HMODULE user32 = native.LoadLibraryW(WSTR("USER32.DLL"));
  ASSERT_NE(nullptr, user32);
  EXPECT_EQ(nullptr, native.GetProcAddress(user32, "GetLastInputInfo"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PROC_NOT_FOUND), plat::Errors().GetLastError());
  EXPECT_TRUE(native.FreeLibrary(user32));

  EXPECT_EQ(nullptr, native.LoadLibraryW((ProgramDir() + WSTR("NoSuchLibrary.dll")).c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), plat::Errors().GetLastError());
  HMODULE hook = native.LoadLibraryW((kDoubleDir + WSTR("zlmactvhook.DLL")).c_str());
  EXPECT_EQ(nullptr, hook) << "file names keep their case";
  hook = native.LoadLibraryW((kDoubleDir + kHookName).c_str());
  ASSERT_NE(nullptr, hook);
  EXPECT_NE(nullptr, native.GetProcAddress(hook, "DoubleCounts"));
  EXPECT_EQ(nullptr, native.GetProcAddress(hook, "NoSuchEntry"));
  EXPECT_TRUE(native.FreeLibrary(hook));
}
#endif
