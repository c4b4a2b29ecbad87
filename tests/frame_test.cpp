// The control frame the three controls share (module/ControlFrame.h): one
// table of the three classes, every case run for each of them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "activemon/ActiveMonAX.h"
#include "calpresence/CalPresenceAX.h"
#include "mapisearch/MapiSearchAX.h"
#include "module/ControlFrame.h"
#include "module/ModuleLock.h"
#include "platform/dispatch.h"
#include "platform/graphics.h"
#include "platform/wstr.h"

namespace {

// {5E1F0C1A-3B7D-4C55-9E0B-6A1D2F3C4B5A}: an interface nobody offers.
TESSARO_DEFINE_GUID(IID_Unrelated, 0x5E1F0C1A, 0x3B7D, 0x4C55, 0x9E, 0x0B, 0x6A, 0x1D, 0x2F, 0x3C, 0x4B, 0x5A);
// {0B7E5D2C-8A41-4F0E-B3C6-2D9E1A7F4C80}: an interface only an aggregating outer object offers.
TESSARO_DEFINE_GUID(IID_OuterOnly, 0x0B7E5D2C, 0x8A41, 0x4F0E, 0xB3, 0xC6, 0x2D, 0x9E, 0x1A, 0x7F, 0x4C, 0x80);

using CreateFn = HRESULT (*)(IUnknown* outer, REFIID riid, void** ppv);

struct ControlCase {
  const char* name;
  CreateFn create;
  const CLSID* clsid;
  const IID* primary;
  const IID* events;  // nullptr: none
  const char* drawText;
  std::vector<const IID*> own;   // the control's own interfaces besides IUnknown
  std::vector<const IID*> notOffered;
};

const ControlCase kControls[] = {
    {"CalPresenceAX", CreateCalPresenceAX, &CLSID_CalPresenceAX, &IID_ICalPresence, &DIID__ICalPresenceEvents,
     "ATL 8.0 : CalPresenceAX",
     {&IID_ICalPresence, &IID_IDispatch, &IID_IObjectWithSite, &IID_IConnectionPointContainer},
     {&IID_Unrelated}},
    {"ActiveMonAX", CreateActiveMonAX, &CLSID_ActiveMonAX, &IID_IActiveMon, nullptr, "ATL 8.0 : ActiveMonAX",
     {&IID_IActiveMon, &IID_IDispatch},
     {&IID_Unrelated, &IID_IConnectionPointContainer, &IID_IObjectWithSite}},
    {"MapiSearchAX", CreateMapiSearchAX, &CLSID_MapiSearchAX, &IID_IMapiSearch, &DIID__IIEMapiEvents,
     "ATL 8.0 : MapiSearchAX", {&IID_IMapiSearch, &IID_IDispatch, &IID_IConnectionPointContainer},
     {&IID_Unrelated, &IID_IObjectWithSite}},
};

// The interfaces every control answers through the frame.
const IID* const kFrameInterfaces[] = {
    &IID_IPersist,         &IID_IPersistStreamInit, &IID_IPersistStorage,  &IID_IPersistPropertyBag,
    &IID_IViewObject,      &IID_IViewObject2,       &IID_IObjectSafety,    &IID_IProvideClassInfo,
    &IID_IProvideClassInfo2, &IID_ISupportErrorInfo,
};

std::string Name(REFIID iid) { return wstr::ToUtf8(plat::GuidText(iid)); }

// An aggregating object: answers IUnknown and IID_OuterOnly itself and hands
// every other request to the inner unknown, as an outer object does. It
// counts what reaches it.
class FakeOuter : public IUnknown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    asked.push_back(riid);
    if (ppv == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_OuterOnly) {
      *ppv = static_cast<IUnknown*>(this);
      AddRef();
      return S_OK;
    }
    if (inner != nullptr) return inner->QueryInterface(riid, ppv);
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }

  IUnknown* inner = nullptr;
  ULONG refs = 1;
  std::vector<IID> asked;
};

// Records the drawing calls a control makes.
class RecordingGraphics : public plat::GraphicsService {
 public:
  struct Call {
    std::string what;
    HDC hdc;
    RECT rect;
    WString text;
    int count;
    UINT format;
  };
  BOOL Rectangle(HDC hdc, int left, int top, int right, int bottom) override {
    calls.push_back({"Rectangle", hdc, RECT{left, top, right, bottom}, {}, 0, 0});
    return TRUE;
  }
  int DrawTextW(HDC hdc, LPCWSTR text, int count, LPRECT rect, UINT format) override {
    calls.push_back({"DrawTextW", hdc, *rect, text != nullptr ? WString(text) : WString(), count, format});
    return 16;
  }
  std::vector<Call> calls;
};

HDC FakeDc() { return reinterpret_cast<HDC>(static_cast<std::uintptr_t>(0x4D0)); }

class Frame : public ::testing::TestWithParam<ControlCase> {
 protected:
  const ControlCase& c() const { return GetParam(); }

  // A control alone, by its inner unknown.
  ComPtr<IUnknown> Create() {
    ComPtr<IUnknown> unknown;
    EXPECT_EQ(S_OK, c().create(nullptr, IID_IUnknown, unknown.ReceiveVoid()));
    return unknown;
  }
  template <class I>
  ComPtr<I> Get(const ComPtr<IUnknown>& unknown, REFIID iid) {
    ComPtr<I> p;
    EXPECT_EQ(S_OK, unknown.QueryInterface(iid, p)) << Name(iid);
    return p;
  }

  const LONG locksBefore_ = tessaro::ModuleLockCount();
  LONG Locks() const { return tessaro::ModuleLockCount() - locksBefore_; }
};

// ---- creation and identity -----------------------------------------------------------

TEST_P(Frame, CreationAloneHandsOutAnyInterfaceAndRefusesUnknownOnes) {
  ComPtr<IDispatch> dispatch;
  ASSERT_EQ(S_OK, c().create(nullptr, IID_IDispatch, dispatch.ReceiveVoid()));
  EXPECT_NE(nullptr, dispatch.Get());

  void* none = &none;
  EXPECT_EQ(E_NOINTERFACE, c().create(nullptr, IID_Unrelated, &none));
  EXPECT_EQ(nullptr, none);
  EXPECT_EQ(E_POINTER, c().create(nullptr, IID_IUnknown, nullptr));
  dispatch.Reset();
  EXPECT_EQ(0, Locks());  // the refused object went at once
}

TEST_P(Frame, AnswersItsOwnAndTheFrameInterfacesWithOneIdentity) {
  ComPtr<IUnknown> unknown = Create();
  std::vector<const IID*> all(c().own);
  all.insert(all.end(), std::begin(kFrameInterfaces), std::end(kFrameInterfaces));
  for (const IID* iid : all) {
    ComPtr<IUnknown> p;
    ASSERT_EQ(S_OK, unknown.QueryInterface(*iid, p)) << Name(*iid);
    ASSERT_NE(nullptr, p.Get());
    ComPtr<IUnknown> identity;
    ASSERT_EQ(S_OK, p.QueryInterface(IID_IUnknown, identity)) << Name(*iid);
    EXPECT_EQ(unknown.Get(), identity.Get()) << Name(*iid);
  }
  for (const IID* iid : c().notOffered) {
    void* none = &none;
    EXPECT_EQ(E_NOINTERFACE, unknown->QueryInterface(*iid, &none)) << Name(*iid);
    EXPECT_EQ(nullptr, none);
  }
  EXPECT_EQ(E_POINTER, unknown->QueryInterface(IID_IDispatch, nullptr));
}

TEST_P(Frame, EveryLiveObjectHoldsOneModuleLockCount) {
  ComPtr<IUnknown> first = Create();
  EXPECT_EQ(1, Locks());
  {
    ComPtr<IUnknown> second = Create();
    EXPECT_EQ(2, Locks());
  }
  EXPECT_EQ(1, Locks());
  ComPtr<IDispatch> dispatch = Get<IDispatch>(first, IID_IDispatch);
  first.Reset();
  EXPECT_EQ(1, Locks());  // a reference through any interface keeps it
  dispatch.Reset();
  EXPECT_EQ(0, Locks());
}

// ---- aggregation ----------------------------------------------------------------------

TEST_P(Frame, AggregatedOnlyTheInnerUnknownMayBeAskedFor) {
  FakeOuter outer;
  for (const IID* iid : {c().primary, &IID_IDispatch, &IID_IObjectSafety, &IID_Unrelated}) {
    void* none = &none;
    EXPECT_EQ(CLASS_E_NOAGGREGATION, c().create(&outer, *iid, &none)) << Name(*iid);
    EXPECT_EQ(nullptr, none);
  }
  EXPECT_EQ(0, Locks());
  EXPECT_EQ(1u, outer.refs);
  EXPECT_TRUE(outer.asked.empty());
}

TEST_P(Frame, AggregatedEveryInterfaceButTheInnerUnknownDelegatesToTheOuterObject) {
  FakeOuter outer;
  IUnknown* inner = nullptr;
  ASSERT_EQ(S_OK, c().create(&outer, IID_IUnknown, reinterpret_cast<void**>(&inner)));
  outer.inner = inner;
  EXPECT_EQ(1, Locks());
  EXPECT_EQ(1u, outer.refs);  // creating takes no reference of the outer object

  // The inner unknown is its own identity and counts its own references.
  IUnknown* self = nullptr;
  ASSERT_EQ(S_OK, inner->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&self)));
  EXPECT_EQ(inner, self);
  EXPECT_EQ(1u, self->Release());
  EXPECT_EQ(1u, outer.refs);
  EXPECT_TRUE(outer.asked.empty());

  // Every other interface, asked through the inner unknown, counts on the
  // outer object and sends its questions there.
  std::vector<const IID*> all(c().own);
  all.insert(all.end(), std::begin(kFrameInterfaces), std::end(kFrameInterfaces));
  for (const IID* iid : all) {
    IUnknown* part = nullptr;
    ASSERT_EQ(S_OK, inner->QueryInterface(*iid, reinterpret_cast<void**>(&part))) << Name(*iid);
    EXPECT_NE(inner, part) << Name(*iid);
    EXPECT_EQ(2u, outer.refs) << Name(*iid);
    EXPECT_EQ(3u, part->AddRef());
    EXPECT_EQ(3u, outer.refs);
    EXPECT_EQ(2u, part->Release());

    outer.asked.clear();
    IUnknown* identity = nullptr;
    ASSERT_EQ(S_OK, part->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)));
    EXPECT_EQ(static_cast<IUnknown*>(&outer), identity) << Name(*iid);
    ASSERT_EQ(1u, outer.asked.size());
    EXPECT_TRUE(outer.asked[0] == IID_IUnknown);
    identity->Release();

    IUnknown* outerOnly = nullptr;
    EXPECT_EQ(S_OK, part->QueryInterface(IID_OuterOnly, reinterpret_cast<void**>(&outerOnly))) << Name(*iid);
    if (outerOnly != nullptr) outerOnly->Release();
    part->Release();
    EXPECT_EQ(1u, outer.refs) << Name(*iid);
  }

  // Object safety asks the controlling unknown which interfaces the object
  // offers: the outer object's own count as offered.
  ComPtr<IObjectSafety> safety;
  ASSERT_EQ(S_OK, inner->QueryInterface(IID_IObjectSafety, safety.ReceiveVoid()));
  DWORD supported = 0, enabled = 0;
  outer.asked.clear();
  EXPECT_EQ(S_OK, safety->GetInterfaceSafetyOptions(IID_OuterOnly, &supported, &enabled));
  EXPECT_EQ(static_cast<DWORD>(INTERFACESAFE_FOR_UNTRUSTED_CALLER), supported);
  ASSERT_FALSE(outer.asked.empty());
  EXPECT_TRUE(outer.asked[0] == IID_OuterOnly);
  safety.Reset();
  EXPECT_EQ(1u, outer.refs);

  // The outer object's release of the inner unknown ends the object.
  outer.inner = nullptr;
  EXPECT_EQ(0u, inner->Release());
  EXPECT_EQ(0, Locks());
  EXPECT_EQ(1u, outer.refs);
}

// The calendar presence control's longer end, aggregated: the final release
// runs when the inner unknown's count drops to 0, without a reference of
// the outer object, and the memory (with the module lock count) stays while
// a pin holds it.
TEST(FrameCalPresence, AggregatedFinalReleaseAtTheInnerCountsEndAndPinsKeepTheMemory) {
  const LONG before = tessaro::ModuleLockCount();
  FakeOuter outer;
  IUnknown* inner = nullptr;
  ASSERT_EQ(S_OK, CreateCalPresenceAX(&outer, IID_IUnknown, reinterpret_cast<void**>(&inner)));
  outer.inner = inner;
  ICalPresence* part = nullptr;
  ASSERT_EQ(S_OK, inner->QueryInterface(IID_ICalPresence, reinterpret_cast<void**>(&part)));
  auto* control = static_cast<CCalPresenceAX*>(part);
  EXPECT_FALSE(control->BrowserAdvised());
  CCalPresenceAX::SetCurrentControl(control);
  CalPresenceRef pinned = CCalPresenceAX::CurrentControl();
  ASSERT_EQ(control, pinned.get());
  part->Release();
  EXPECT_EQ(1u, outer.refs);

  outer.inner = nullptr;
  outer.asked.clear();
  EXPECT_EQ(0u, inner->Release());
  EXPECT_FALSE(CCalPresenceAX::CurrentControl());  // the final release ran
  EXPECT_EQ(1u, outer.refs);
  EXPECT_TRUE(outer.asked.empty());
  EXPECT_EQ(1, tessaro::ModuleLockCount() - before);  // the pin holds the memory
  EXPECT_EQ("CCalPresenceAX :: ", wstr::ToUtf8(pinned->GetLogPrefix()));
  pinned = CalPresenceRef();
  EXPECT_EQ(0, tessaro::ModuleLockCount() - before);
}

// ---- IObjectSafety ------------------------------------------------------------------------

TEST_P(Frame, SafeForScriptingIsTheOnlyOptionAndStartsOff) {
  ComPtr<IUnknown> unknown = Create();
  ComPtr<IObjectSafety> safety = Get<IObjectSafety>(unknown, IID_IObjectSafety);
  const DWORD caller = INTERFACESAFE_FOR_UNTRUSTED_CALLER;
  DWORD supported = 9, enabled = 9;
  for (const IID* iid : c().own) {
    ASSERT_EQ(S_OK, safety->GetInterfaceSafetyOptions(*iid, &supported, &enabled)) << Name(*iid);
    EXPECT_EQ(caller, supported);
    EXPECT_EQ(0u, enabled);
  }

  EXPECT_EQ(S_OK, safety->SetInterfaceSafetyOptions(*c().primary, caller, caller));
  ASSERT_EQ(S_OK, safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled));
  EXPECT_EQ(caller, enabled);  // kept for the whole object
  // Clearing through the mask; bits outside the mask stay.
  EXPECT_EQ(S_OK, safety->SetInterfaceSafetyOptions(IID_IDispatch, 0, 0));
  ASSERT_EQ(S_OK, safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled));
  EXPECT_EQ(caller, enabled);
  EXPECT_EQ(S_OK, safety->SetInterfaceSafetyOptions(IID_IDispatch, caller, 0));
  ASSERT_EQ(S_OK, safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled));
  EXPECT_EQ(0u, enabled);

  // Any other option in the mask fails and changes nothing.
  for (DWORD mask : {DWORD{INTERFACESAFE_FOR_UNTRUSTED_DATA}, DWORD{INTERFACE_USES_DISPEX},
                     DWORD{INTERFACE_USES_SECURITY_MANAGER}, caller | INTERFACESAFE_FOR_UNTRUSTED_DATA}) {
    EXPECT_EQ(E_FAIL, safety->SetInterfaceSafetyOptions(IID_IDispatch, mask, mask)) << mask;
  }
  ASSERT_EQ(S_OK, safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled));
  EXPECT_EQ(0u, enabled);

  // An interface the object does not offer: the query's error, both words 0.
  for (const IID* iid : c().notOffered) {
    supported = enabled = 9;
    EXPECT_EQ(E_NOINTERFACE, safety->GetInterfaceSafetyOptions(*iid, &supported, &enabled)) << Name(*iid);
    EXPECT_EQ(0u, supported);
    EXPECT_EQ(0u, enabled);
    EXPECT_EQ(E_NOINTERFACE, safety->SetInterfaceSafetyOptions(*iid, caller, caller)) << Name(*iid);
  }

  EXPECT_EQ(E_POINTER, safety->GetInterfaceSafetyOptions(IID_IDispatch, nullptr, &enabled));
  EXPECT_EQ(E_POINTER, safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, nullptr));
}

// ---- class and error information ---------------------------------------------------------

IID g_askedTypeInfo;
int g_typeInfoRequests = 0;
HRESULT RecordingTypeInfoSource(REFIID iid, LCID, ITypeInfo** info) {
  g_askedTypeInfo = iid;
  ++g_typeInfoRequests;
  *info = nullptr;
  return TYPE_E_ELEMENTNOTFOUND;
}

class ScopedTypeInfoSource {
 public:
  explicit ScopedTypeInfoSource(disp::TypeInfoSource source) : previous_(disp::GetTypeInfoSource()) {
    disp::SetTypeInfoSource(source);
  }
  ~ScopedTypeInfoSource() { disp::SetTypeInfoSource(previous_); }

 private:
  disp::TypeInfoSource previous_;
};

TEST_P(Frame, ClassInformationComesFromTheTypeLibraryByClsid) {
  ComPtr<IUnknown> unknown = Create();
  ComPtr<IProvideClassInfo2> info = Get<IProvideClassInfo2>(unknown, IID_IProvideClassInfo2);
  ITypeInfo* typeInfo = reinterpret_cast<ITypeInfo*>(&typeInfo);
  {
    ScopedTypeInfoSource none(nullptr);
    EXPECT_EQ(E_NOTIMPL, info->GetClassInfo(&typeInfo));
    EXPECT_EQ(nullptr, typeInfo);
  }
  {
    ScopedTypeInfoSource recording(RecordingTypeInfoSource);
    g_typeInfoRequests = 0;
    EXPECT_EQ(TYPE_E_ELEMENTNOTFOUND, info->GetClassInfo(&typeInfo));
    EXPECT_EQ(1, g_typeInfoRequests);
    EXPECT_TRUE(g_askedTypeInfo == *c().clsid) << Name(g_askedTypeInfo);
    EXPECT_EQ(E_POINTER, info->GetClassInfo(nullptr));
  }
}

TEST_P(Frame, TheDefaultSourceIsTheEventInterface) {
  ComPtr<IUnknown> unknown = Create();
  ComPtr<IProvideClassInfo2> info = Get<IProvideClassInfo2>(unknown, IID_IProvideClassInfo2);
  GUID guid = IID_Unrelated;
  if (c().events != nullptr) {
    EXPECT_EQ(S_OK, info->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &guid));
    EXPECT_TRUE(guid == *c().events) << Name(guid);
  } else {
    // No outgoing interface: E_FAIL with GUID_NULL (ATL's answer).
    EXPECT_EQ(E_FAIL, info->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &guid));
    EXPECT_TRUE(guid == IID_NULL) << Name(guid);
  }
  guid = IID_Unrelated;
  EXPECT_EQ(E_INVALIDARG, info->GetGUID(2, &guid));
  EXPECT_TRUE(guid == IID_NULL);
  EXPECT_EQ(E_POINTER, info->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, nullptr));
}

TEST_P(Frame, ErrorInformationForTheDispatchInterfaceOnly) {
  ComPtr<IUnknown> unknown = Create();
  ComPtr<ISupportErrorInfo> errors = Get<ISupportErrorInfo>(unknown, IID_ISupportErrorInfo);
  EXPECT_EQ(S_OK, errors->InterfaceSupportsErrorInfo(*c().primary));
  EXPECT_EQ(S_FALSE, errors->InterfaceSupportsErrorInfo(IID_IDispatch));
  EXPECT_EQ(S_FALSE, errors->InterfaceSupportsErrorInfo(IID_IObjectSafety));
  EXPECT_EQ(S_FALSE, errors->InterfaceSupportsErrorInfo(IID_Unrelated));
}

// ---- persistence -----------------------------------------------------------------------------

// Stand-ins for a stream, a storage and a property bag: nothing may call
// them (the controls have nothing to save), so they only count references.
template <class I>
class Inert : public I {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override {
    ++calls;
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++calls, 2; }
  ULONG STDMETHODCALLTYPE Release() override { return ++calls, 1; }
  int calls = 0;
};

// On Windows the stand-ins need the interfaces' other methods; none is
// called, so the stub bodies fail loudly.
#ifdef _WIN32
#define INERT_FAIL   \
  ADD_FAILURE() << "called"; \
  return E_NOTIMPL
class InertStream : public Inert<IStream> {
 public:
  HRESULT STDMETHODCALLTYPE Read(void*, ULONG, ULONG*) override { INERT_FAIL; }
  HRESULT STDMETHODCALLTYPE Write(const void*, ULONG, ULONG*) override { INERT_FAIL; }
  HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override { INERT_FAIL; }
  HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER) override { INERT_FAIL; }
  HRESULT STDMETHODCALLTYPE CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override {
    INERT_FAIL;
  }
  HRESULT STDMETHODCALLTYPE Commit(DWORD) override { INERT_FAIL; }
  HRESULT STDMETHODCALLTYPE Revert() override { INERT_FAIL; }
  HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { INERT_FAIL; }
  HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { INERT_FAIL; }
  HRESULT STDMETHODCALLTYPE Stat(STATSTG*, DWORD) override { INERT_FAIL; }
  HRESULT STDMETHODCALLTYPE Clone(IStream**) override { INERT_FAIL; }
};
class InertStorage : public Inert<IStorage> {
 public:
  HRESULT STDMETHODCALLTYPE CreateStream(LPCOLESTR, DWORD, DWORD, DWORD, IStream**) override { INERT_FAIL; }
  HRESULT STDMETHODCALLTYPE OpenStream(LPCOLESTR, void*, DWORD, DWORD, IStream**) override { INERT_FAIL; }
  HRESULT STDMETHODCALLTYPE CreateStorage(LPCOLESTR, DWORD, DWORD, DWORD, IStorage**) override { INERT_FAIL; }
  HRESULT STDMETHODCALLTYPE OpenStorage(LPCOLESTR, IStorage*, DWORD, SNB, DWORD, IStorage**) override {
    INERT_FAIL;
  }
  HRESULT STDMETHODCALLTYPE CopyTo(DWORD, const IID*, SNB, IStorage*) override { INERT_FAIL; }
  HRESULT STDMETHODCALLTYPE MoveElementTo(LPCOLESTR, IStorage*, LPCOLESTR, DWORD) override { INERT_FAIL; }
  HRESULT STDMETHODCALLTYPE Commit(DWORD) override { INERT_FAIL; }
  HRESULT STDMETHODCALLTYPE Revert() override { INERT_FAIL; }
  HRESULT STDMETHODCALLTYPE EnumElements(DWORD, void*, DWORD, IEnumSTATSTG**) override { INERT_FAIL; }
  HRESULT STDMETHODCALLTYPE DestroyElement(LPCOLESTR) override { INERT_FAIL; }
  HRESULT STDMETHODCALLTYPE RenameElement(LPCOLESTR, LPCOLESTR) override { INERT_FAIL; }
  HRESULT STDMETHODCALLTYPE SetElementTimes(LPCOLESTR, const FILETIME*, const FILETIME*, const FILETIME*) override {
    INERT_FAIL;
  }
  HRESULT STDMETHODCALLTYPE SetClass(REFCLSID) override { INERT_FAIL; }
  HRESULT STDMETHODCALLTYPE SetStateBits(DWORD, DWORD) override { INERT_FAIL; }
  HRESULT STDMETHODCALLTYPE Stat(STATSTG*, DWORD) override { INERT_FAIL; }
};
class InertBag : public Inert<IPropertyBag> {
 public:
  HRESULT STDMETHODCALLTYPE Read(LPCOLESTR, VARIANT*, IErrorLog*) override { INERT_FAIL; }
  HRESULT STDMETHODCALLTYPE Write(LPCOLESTR, VARIANT*) override { INERT_FAIL; }
};
#else
using InertStream = Inert<IStream>;
using InertStorage = Inert<IStorage>;
using InertBag = Inert<IPropertyBag>;
#endif

TEST_P(Frame, PersistenceSucceedsWithNothingToSave) {
  ComPtr<IUnknown> unknown = Create();
  InertStream stream;
  InertStorage storage;
  InertBag bag;

  ComPtr<IPersistStreamInit> streamInit = Get<IPersistStreamInit>(unknown, IID_IPersistStreamInit);
  ComPtr<IPersistStorage> persistStorage = Get<IPersistStorage>(unknown, IID_IPersistStorage);
  ComPtr<IPersistPropertyBag> propertyBag = Get<IPersistPropertyBag>(unknown, IID_IPersistPropertyBag);
  ComPtr<IPersist> persist = Get<IPersist>(unknown, IID_IPersist);
  for (IPersist* p : {persist.Get(), static_cast<IPersist*>(streamInit.Get()),
                      static_cast<IPersist*>(persistStorage.Get()), static_cast<IPersist*>(propertyBag.Get())}) {
    CLSID clsid = IID_NULL;
    EXPECT_EQ(S_OK, p->GetClassID(&clsid));
    EXPECT_TRUE(clsid == *c().clsid) << Name(clsid);
    EXPECT_EQ(E_POINTER, p->GetClassID(nullptr));
  }

  // IPersistStreamInit
  EXPECT_EQ(S_OK, streamInit->InitNew());
  EXPECT_EQ(S_FALSE, streamInit->IsDirty());
  EXPECT_EQ(S_OK, streamInit->Load(&stream));
  EXPECT_EQ(S_OK, streamInit->Save(&stream, TRUE));
  EXPECT_EQ(S_FALSE, streamInit->IsDirty());
  ULARGE_INTEGER size;
  size.QuadPart = 77;
  EXPECT_EQ(S_OK, streamInit->GetSizeMax(&size));
  EXPECT_EQ(0u, size.QuadPart);
  EXPECT_EQ(E_POINTER, streamInit->GetSizeMax(nullptr));
  EXPECT_EQ(E_POINTER, streamInit->Load(nullptr));
  EXPECT_EQ(E_POINTER, streamInit->Save(nullptr, TRUE));

  // IPersistStorage
  EXPECT_EQ(S_FALSE, persistStorage->IsDirty());
  EXPECT_EQ(S_OK, persistStorage->InitNew(&storage));
  EXPECT_EQ(S_OK, persistStorage->Load(&storage));
  EXPECT_EQ(S_OK, persistStorage->Save(&storage, TRUE));
  EXPECT_EQ(S_OK, persistStorage->SaveCompleted(nullptr));
  EXPECT_EQ(S_OK, persistStorage->HandsOffStorage());
  EXPECT_EQ(S_OK, persistStorage->SaveCompleted(&storage));
  EXPECT_EQ(E_POINTER, persistStorage->InitNew(nullptr));
  EXPECT_EQ(E_POINTER, persistStorage->Load(nullptr));
  EXPECT_EQ(E_POINTER, persistStorage->Save(nullptr, FALSE));

  // IPersistPropertyBag, as Internet Explorer initialises an <object>.
  EXPECT_EQ(S_OK, propertyBag->InitNew());
  EXPECT_EQ(S_OK, propertyBag->Load(&bag, nullptr));
  EXPECT_EQ(S_OK, propertyBag->Save(&bag, TRUE, TRUE));
  EXPECT_EQ(E_POINTER, propertyBag->Load(nullptr, nullptr));
  EXPECT_EQ(E_POINTER, propertyBag->Save(nullptr, FALSE, FALSE));

  EXPECT_EQ(0, stream.calls);  // nothing read or written, no reference kept
  EXPECT_EQ(0, storage.calls);
  EXPECT_EQ(0, bag.calls);
}

// ---- the view ---------------------------------------------------------------------------------

TEST_P(Frame, DrawPaintsTheBoundsAndCentresTheClassText) {
  ComPtr<IUnknown> unknown = Create();
  ComPtr<IViewObject2> view = Get<IViewObject2>(unknown, IID_IViewObject2);
  ComPtr<IViewObject> plain = Get<IViewObject>(unknown, IID_IViewObject);
  RecordingGraphics graphics;
  plat::Substitute<plat::GraphicsService> installed(graphics);

  const RECTL bounds = {10, 20, 210, 70};
  ASSERT_EQ(S_OK, plain->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, FakeDc(), &bounds, nullptr, nullptr,
                              0));
  ASSERT_EQ(2u, graphics.calls.size());
  const RecordingGraphics::Call& rectangle = graphics.calls[0];
  EXPECT_EQ("Rectangle", rectangle.what);
  EXPECT_EQ(FakeDc(), rectangle.hdc);
  EXPECT_EQ(10, rectangle.rect.left);
  EXPECT_EQ(20, rectangle.rect.top);
  EXPECT_EQ(210, rectangle.rect.right);
  EXPECT_EQ(70, rectangle.rect.bottom);
  const RecordingGraphics::Call& text = graphics.calls[1];
  EXPECT_EQ("DrawTextW", text.what);
  EXPECT_EQ(FakeDc(), text.hdc);
  EXPECT_EQ(c().drawText, wstr::ToUtf8(text.text));
  EXPECT_EQ(-1, text.count);
  EXPECT_EQ(static_cast<UINT>(DT_CENTER | DT_VCENTER | DT_SINGLELINE), text.format);
  EXPECT_EQ(10, text.rect.left);
  EXPECT_EQ(20, text.rect.top);
  EXPECT_EQ(210, text.rect.right);
  EXPECT_EQ(70, text.rect.bottom);

  // No device context or no bounds: nothing is drawn.
  graphics.calls.clear();
  EXPECT_EQ(E_INVALIDARG,
            view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, nullptr, &bounds, nullptr, nullptr, 0));
  EXPECT_EQ(E_INVALIDARG,
            view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, FakeDc(), nullptr, nullptr, nullptr, 0));
  EXPECT_TRUE(graphics.calls.empty());
}

TEST_P(Frame, TheViewHasAnExtentAndKeepsItsAdviseSink) {
  ComPtr<IUnknown> unknown = Create();
  ComPtr<IViewObject2> view = Get<IViewObject2>(unknown, IID_IViewObject2);
  SIZEL extent = {0, 0};
  EXPECT_EQ(S_OK, view->GetExtent(DVASPECT_CONTENT, -1, nullptr, &extent));
  EXPECT_EQ(5080, extent.cx);  // 2 inches in HIMETRIC
  EXPECT_EQ(5080, extent.cy);
  EXPECT_EQ(E_POINTER, view->GetExtent(DVASPECT_CONTENT, -1, nullptr, nullptr));

  LOGPALETTE* palette = reinterpret_cast<LOGPALETTE*>(&palette);
  EXPECT_EQ(E_NOTIMPL, view->GetColorSet(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, &palette));
  EXPECT_EQ(nullptr, palette);
  DWORD freeze = 5;
  EXPECT_EQ(E_NOTIMPL, view->Freeze(DVASPECT_CONTENT, -1, nullptr, &freeze));
  EXPECT_EQ(E_NOTIMPL, view->Unfreeze(freeze));

  // The advise sink is kept with its reference and given back.
  struct Sink : Inert<IAdviseSink> {
#ifdef _WIN32
    void STDMETHODCALLTYPE OnDataChange(FORMATETC*, STGMEDIUM*) override {}
    void STDMETHODCALLTYPE OnViewChange(DWORD, LONG) override {}
    void STDMETHODCALLTYPE OnRename(IMoniker*) override {}
    void STDMETHODCALLTYPE OnSave() override {}
    void STDMETHODCALLTYPE OnClose() override {}
#endif
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
    ULONG refs = 1;
  } sink;
  EXPECT_EQ(S_OK, view->SetAdvise(DVASPECT_CONTENT, 0, &sink));
  EXPECT_EQ(2u, sink.refs);
  DWORD aspects = 0, flags = 9;
  IAdviseSink* back = nullptr;
  EXPECT_EQ(S_OK, view->GetAdvise(&aspects, &flags, &back));
  EXPECT_EQ(static_cast<DWORD>(DVASPECT_CONTENT), aspects);
  EXPECT_EQ(0u, flags);
  EXPECT_EQ(static_cast<IAdviseSink*>(&sink), back);
  EXPECT_EQ(3u, sink.refs);
  back->Release();
  EXPECT_EQ(S_OK, view->SetAdvise(DVASPECT_CONTENT, 0, nullptr));
  EXPECT_EQ(1u, sink.refs);
  EXPECT_EQ(S_OK, view->GetAdvise(&aspects, &flags, &back));
  EXPECT_EQ(nullptr, back);
  EXPECT_EQ(0u, aspects);
}

INSTANTIATE_TEST_SUITE_P(Controls, Frame, ::testing::ValuesIn(kControls),
                         [](const ::testing::TestParamInfo<ControlCase>& info) { return info.param.name; });

// The real drawing service of the target: Linux draws nothing and answers as
// if it had; Windows draws on a memory device context.
TEST(GraphicsService, TheNativeServiceAnswersTheTwoCalls) {
  plat::GraphicsService native;
#ifdef _WIN32
  HDC dc = ::CreateCompatibleDC(nullptr);
  ASSERT_NE(nullptr, dc);
#else
  HDC dc = FakeDc();
#endif
  RECT rect = {0, 0, 200, 40};
  EXPECT_NE(0, native.Rectangle(dc, 0, 0, 200, 40));
  EXPECT_NE(0, native.DrawTextW(dc, WSTR("ATL 8.0 : ActiveMonAX"), -1, &rect, DT_CENTER | DT_VCENTER | DT_SINGLELINE));
#ifdef _WIN32
  ::DeleteDC(dc);
#endif
}

}  // namespace
