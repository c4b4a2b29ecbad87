// Fuzzes what a page reaches of the three controls: GetIDsOfNames and Invoke
// with any dispatch id, interface id, flags, argument count and named
// arguments, arguments of every VARIANT type with and without VT_BYREF
// (BSTRs with embedded NULs, SAFEARRAYs, nested references, types no script
// makes), and result, exception and argument-error pointers given or null.
//
// The controls run against the in-memory MAPI provider (a small calendar and
// address book, the dialog picking every entry) with the mail client taken as
// running, so the calendar presence control reads the calendar without a
// watcher thread. Nothing subscribes to the controls' events: a page's
// handler calling back into the control is another matter than its
// arguments.
//
// Besides the sanitizers: every object the arguments pass is released as
// often as it was referenced, whatever the call did.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "activemon/ActiveMonAX.h"
#include "calpresence/CalPresenceAX.h"
#include "fuzz/fuzz_checks.h"
#include "mapisearch/MapiSearchAX.h"
#include "memstore/CalendarFile.h"
#include "memstore/MemStore.h"
#include "platform/services.h"

namespace {

// An object a page passes: counts its references.
class Counted final : public IDispatch {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IDispatch) {
      *ppv = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override {
    FUZZ_CHECK(refs > 0);
    return --refs;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (count != nullptr) *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return DISP_E_UNKNOWNNAME;
  }
  // A default value, as an object with a value property offers one.
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                                   UINT*) override {
    if (result != nullptr) {
      VariantInit(result);
      result->vt = VT_I4;
      result->lVal = 1;
    }
    return S_OK;
  }
  ULONG refs = 0;
};

// The dialog and report box answer at once; the debugger stream goes nowhere.
class Quiet : public plat::DiagnosticsService {
 public:
  void OutputDebugStringW(LPCWSTR) override {}
  int MessageBoxW(HWND, LPCWSTR, LPCWSTR, UINT) override { return IDOK; }
};

// No hook library and no X server: the away timer finds neither.
class NoLibraries : public plat::LibraryService {
 public:
  HMODULE LoadLibraryW(LPCWSTR) override { return nullptr; }
  FARPROC GetProcAddress(HMODULE, LPCSTR) override { return nullptr; }
  BOOL FreeLibrary(HMODULE) override { return FALSE; }
};

const char kCalendar[] =
    "[appointment]\nsubject = In progress\nlocation = Room\nstart = now-10m\nend = now+50m\nbusy = busy\n"
    "[appointment]\nsubject = Series\nstart = today 00:05\nend = today 23:55\nbusy = away\nrepeat = daily\n"
    "[appointment]\nsubject = Later\nstart = now+2h\nend = now+3h\nbusy = tentative\n";

struct World {
  World() {
    std::vector<memstore::Appointment> appointments;
    std::string error;
    FILETIME now{};
    plat::Clock().GetSystemTimeAsFileTime(&now);
    FUZZ_CHECK(memstore::ParseCalendar(kCalendar, "fuzz", now, appointments, error));
    provider.AddQuietly(appointments);
    std::vector<memstore::EntryNumber> entries;
    entries.push_back(provider.AddEntry(memstore::SmtpUser(WSTR("Ann Lee"), WSTR("ann@example.org"))));
    entries.push_back(provider.AddEntry(memstore::ExchangeUser(
        WSTR("Bob Stone"), WSTR("/o=Org/cn=bob"), {WSTR("SMTP:bob@example.org"), WSTR("X400:c=US;a= ;p=Org")})));
    entries.push_back(provider.AddEntry(memstore::DistList(WSTR("Team"), WSTR("EX"), WSTR("/o=Org/cn=team"))));
    provider.SetChooser([entries](const ADRPARM&, ULONG_PTR) { return memstore::DialogChoice::Pick(entries); });
  }
  memstore::Provider provider;
  plat::Substitute<plat::MapiService> mapi{provider};
  Quiet quiet;
  plat::Substitute<plat::DiagnosticsService> diagnostics{quiet};
  NoLibraries noLibraries;
  plat::Substitute<plat::LibraryService> libraries{noLibraries};
};

const char* const kNames[] = {"GetCalData", "CheckProcessChange", "Quit", "MonInit", "MonUnInit", "GetIdleTime",
                              "DoLogin", "DoGetParticipantsDlg", "GetParticipantCount", "FirstParticipant",
                              "DoLogout", "GetParticipantPropertySetCount", "GetParticipantPropertyName",
                              "GetParticipantPropertyValue", "NextParticipant", "FirstProperty", "NextProperty",
                              "GetPropertyName", "GetPropertyValue"};

// Frees a value the caller owns, without following references.
void Free(VARIANT& v) {
  if ((v.vt & VT_BYREF) != 0) {
  } else if ((v.vt & VT_ARRAY) != 0) {
    SafeArrayDestroy(v.parray);
  } else if (v.vt == VT_BSTR) {
    SysFreeString(v.bstrVal);
  } else if ((v.vt == VT_DISPATCH || v.vt == VT_UNKNOWN) && v.punkVal != nullptr) {
    v.punkVal->Release();
  }
  VariantInit(&v);
}

// Everything one call is given, and its release afterwards.
class Arguments {
 public:
  Arguments(FuzzedDataProvider& in, Counted& object) : in_(in), object_(object) {}
  ~Arguments() { Clear(); }

  WString Text(size_t max) {
    const std::string bytes = in_.ConsumeRandomLengthString(max * 2);
    WString w;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2)
      w += static_cast<WCHAR>(static_cast<unsigned char>(bytes[i]) | static_cast<unsigned char>(bytes[i + 1]) << 8);
    return w;
  }

  // A value of any type as the caller owns it.
  void Value(VARIANT& v, int depth = 0) {
    VariantInit(&v);
    static const VARTYPE kTypes[] = {VT_EMPTY,  VT_NULL,    VT_I2,       VT_I4,      VT_R4,      VT_R8,   VT_CY,
                                     VT_DATE,   VT_BSTR,    VT_DISPATCH, VT_ERROR,   VT_BOOL,    VT_VARIANT,
                                     VT_UNKNOWN, VT_DECIMAL, VT_I1,      VT_UI1,     VT_UI2,     VT_UI4,  VT_I8,
                                     VT_UI8,    VT_INT,     VT_UINT,     VT_VOID,    VT_HRESULT, VT_LPSTR,
                                     VT_LPWSTR, VT_RECORD,  VT_FILETIME, VT_CLSID,   15,         0x7F,    0xFFF};
    const VARTYPE base = kTypes[in_.ConsumeIntegralInRange<size_t>(0, sizeof kTypes / sizeof kTypes[0] - 1)];
    const int shape = in_.ConsumeIntegralInRange(0, 9);
    if (shape == 0) {  // an array
      SAFEARRAY* psa = Array();
      VARTYPE element = base;
      if (psa != nullptr) SafeArrayGetVartype(psa, &element);
      if (in_.ConsumeBool()) {
        v.vt = static_cast<VARTYPE>(VT_ARRAY | element);
        v.parray = psa;
      } else {
        arrays_.push_back({std::make_unique<SAFEARRAY*>(psa), psa});
        v.vt = static_cast<VARTYPE>(VT_BYREF | VT_ARRAY | element);
        v.byref = arrays_.back().cell.get();
      }
    } else if (shape <= 3 && in_.ConsumeIntegralInRange(0, 15) == 0) {  // a null reference
      v.vt = static_cast<VARTYPE>(VT_BYREF | base);
    } else if (shape <= 3) {  // a reference to a variable the caller keeps
      Held held{std::make_unique<VARIANT>(), {}, base != VT_VARIANT};
      if (base == VT_VARIANT && depth < 3) Value(*held.cell, depth + 1);
      else if (base != VT_VARIANT) Plain(*held.cell, base);
      held.original = *held.cell;
      v.vt = static_cast<VARTYPE>(VT_BYREF | base);
      // A variable of a type other than VARIANT is its value, which every
      // type keeps at the start of the union.
      v.byref = held.typed ? static_cast<void*>(&held.cell->llVal) : static_cast<void*>(held.cell.get());
      held_.push_back(std::move(held));
    } else {
      Plain(v, base);
    }
  }

  // The caller's own after the call: its arguments, its variables (a
  // VARIANT variable holds what the call left there; a typed [out]
  // reference may hold a new value written over the old one without freeing
  // it, and both are the caller's) and its arrays.
  void Clear() {
    for (VARIANT& v : list) Free(v);
    list.clear();
    for (Held& h : held_) {
      if (h.typed && h.cell->llVal != h.original.llVal) Free(h.original);
      Free(*h.cell);
    }
    held_.clear();
    for (ArrayCell& a : arrays_) {
      if (*a.cell != a.original) SafeArrayDestroy(a.original);
      SafeArrayDestroy(*a.cell);
    }
    arrays_.clear();
  }

  std::vector<VARIANT> list;

 private:
  struct Held {
    std::unique_ptr<VARIANT> cell;
    VARIANT original;
    bool typed;
  };
  struct ArrayCell {
    std::unique_ptr<SAFEARRAY*> cell;
    SAFEARRAY* original;
  };

  // Embedded NULs and all; sometimes a null BSTR (the empty string).
  BSTR Bstr() {
    if (in_.ConsumeIntegralInRange(0, 7) == 0) return nullptr;
    const WString w = Text(32);
    return SysAllocStringLen(w.data(), static_cast<UINT>(w.size()));
  }

  SAFEARRAY* Array() {
    static const VARTYPE kTypes[] = {VT_I4, VT_BSTR, VT_VARIANT, VT_UI1, VT_R8};
    const VARTYPE vt = kTypes[in_.ConsumeIntegralInRange<size_t>(0, 4)];
    const ULONG n = in_.ConsumeIntegralInRange<ULONG>(0, 4);
    SAFEARRAY* psa = SafeArrayCreateVector(vt, in_.ConsumeIntegralInRange<LONG>(-2, 2), n);
    if (psa == nullptr) return nullptr;
    LONG lower = 0;
    SafeArrayGetLBound(psa, 1, &lower);
    for (ULONG i = 0; i < n; ++i) {
      LONG index = lower + static_cast<LONG>(i);
      if (vt == VT_BSTR) {
        BSTR b = Bstr();
        SafeArrayPutElement(psa, &index, b);
        SysFreeString(b);
      } else if (vt == VT_VARIANT) {
        VARIANT e;
        VariantInit(&e);
        e.vt = VT_I4;
        e.lVal = in_.ConsumeIntegral<LONG>();
        SafeArrayPutElement(psa, &index, &e);
      } else {
        LONGLONG value = in_.ConsumeIntegral<LONGLONG>();
        SafeArrayPutElement(psa, &index, &value);
      }
    }
    return psa;
  }

  void Plain(VARIANT& v, VARTYPE base) {
    VariantInit(&v);
    v.vt = base;
    switch (base) {
      case VT_BSTR:
        v.bstrVal = Bstr();
        break;
      case VT_DISPATCH:
      case VT_UNKNOWN:
        if (in_.ConsumeBool()) {
          v.pdispVal = &object_;
          object_.AddRef();
        }
        break;
      case VT_VARIANT: case VT_LPSTR: case VT_LPWSTR: case VT_RECORD: case VT_CLSID: case VT_FILETIME:
      case VT_VOID: case 15: case 0x7F: case 0xFFF:
        break;  // a tag no value goes with (VT_VARIANT only by reference): the tag alone
      default:
        v.llVal = in_.ConsumeIntegral<LONGLONG>();
        break;
    }
  }

  FuzzedDataProvider& in_;
  Counted& object_;
  std::vector<Held> held_;
  std::vector<ArrayCell> arrays_;
};

World& TheWorld() {
  static World* world = [] {
    // Settings from an empty registry of our own; no X server.
    char dir[] = "/tmp/tessaro-fuzz-invoke-XXXXXX";
    FUZZ_CHECK(mkdtemp(dir) != nullptr);
    setenv("TESSARO_REGISTRY_DIR", dir, 1);
    unsetenv("ZLMTessaroLogLevel");
    unsetenv("DISPLAY");
    return new World;  // lives for the process, as the services do
  }();
  return *world;
}

void CallGetIDsOfNames(FuzzedDataProvider& in, Arguments& args, IDispatch* control) {
  const UINT count = in.ConsumeIntegralInRange<UINT>(0, 4);
  std::vector<WString> texts;
  std::vector<LPOLESTR> names;
  for (UINT i = 0; i < count; ++i) {
    switch (in.ConsumeIntegralInRange(0, 3)) {
      case 0: {  // a known name in any letter case
        std::string name = kNames[in.ConsumeIntegralInRange<size_t>(0, sizeof kNames / sizeof kNames[0] - 1)];
        for (char& c : name)
          if (in.ConsumeBool()) c = static_cast<char>(c ^ 0x20);
        texts.push_back(wstr::FromUtf8(name));
        break;
      }
      case 1:
        texts.push_back(WString());
        break;
      default:
        texts.push_back(args.Text(24));
        break;
    }
  }
  for (WString& t : texts) names.push_back(in.ConsumeIntegralInRange(0, 15) == 0 ? nullptr : &t[0]);
  std::vector<DISPID> ids(count + 1, 12345);
  const bool withNames = in.ConsumeIntegralInRange(0, 15) != 0;
  const bool withIds = in.ConsumeIntegralInRange(0, 15) != 0;
  const IID& riid = in.ConsumeIntegralInRange(0, 15) == 0 ? IID_IDispatch : IID_NULL;
  const HRESULT hr = control->GetIDsOfNames(riid, withNames ? names.data() : nullptr, count,
                                            in.ConsumeIntegral<LCID>(), withIds ? ids.data() : nullptr);
  FUZZ_CHECK(ids[count] == 12345);  // nothing written past the names
  if (SUCCEEDED(hr)) FUZZ_CHECK(count > 0 && ids[0] != DISPID_UNKNOWN);
}

void CallInvoke(FuzzedDataProvider& in, Arguments& args, IDispatch* control) {
  static const DISPID kIds[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, -1, -3, -4, 0x7FFFFFFF};
  const DISPID dispid = in.ConsumeBool() ? kIds[in.ConsumeIntegralInRange<size_t>(0, sizeof kIds / sizeof kIds[0] - 1)]
                                         : in.ConsumeIntegral<DISPID>();
  static const WORD kFlags[] = {DISPATCH_METHOD, DISPATCH_METHOD | DISPATCH_PROPERTYGET, DISPATCH_PROPERTYGET,
                                DISPATCH_PROPERTYPUT, DISPATCH_PROPERTYPUTREF, 0};
  const WORD flags = in.ConsumeBool() ? kFlags[in.ConsumeIntegralInRange<size_t>(0, 5)] : in.ConsumeIntegral<WORD>();
  const UINT count = in.ConsumeIntegralInRange<UINT>(0, 5);
  args.list.resize(count);
  for (VARIANT& v : args.list) args.Value(v);
  const UINT named = in.ConsumeIntegralInRange<UINT>(0, 2);
  std::vector<DISPID> namedIds(named + 1, DISPID_PROPERTYPUT);
  for (UINT i = 0; i < named; ++i)
    if (in.ConsumeBool()) namedIds[i] = in.ConsumeIntegralInRange<DISPID>(-5, 5);
  DISPPARAMS params{};
  params.cArgs = count;
  params.rgvarg = count > 0 || in.ConsumeBool() ? args.list.data() : nullptr;
  params.cNamedArgs = named;
  params.rgdispidNamedArgs = named > 0 && in.ConsumeIntegralInRange(0, 7) == 0 ? nullptr : namedIds.data();
  if (in.ConsumeIntegralInRange(0, 31) == 0) {  // a count the array does not back: no array
    params.cArgs = in.ConsumeIntegral<UINT>();
    params.rgvarg = nullptr;
  }

  // The result arrives in a VARIANT a caller need not have initialised.
  VARIANT result;
  std::memset(&result, 0xA5, sizeof result);
  result.vt = VT_ILLEGAL;
  EXCEPINFO info;
  std::memset(&info, 0, sizeof info);
  UINT argErr = 0xBADu;
  const bool withResult = in.ConsumeIntegralInRange(0, 7) != 0;
  const bool withInfo = in.ConsumeBool();
  const bool withArgErr = in.ConsumeBool();
  const IID& riid = in.ConsumeIntegralInRange(0, 31) == 0 ? IID_IDispatch : IID_NULL;
  const HRESULT hr = control->Invoke(dispid, riid, in.ConsumeIntegral<LCID>(), flags, in.ConsumeIntegralInRange(0, 15) == 0 ? nullptr : &params,
                                     withResult ? &result : nullptr, withInfo ? &info : nullptr,
                                     withArgErr ? &argErr : nullptr);
  if (withArgErr && argErr != 0xBADu) FUZZ_CHECK(argErr < count);
  if (withResult && result.vt != VT_ILLEGAL) {
    if (FAILED(hr)) FUZZ_CHECK(result.vt == VT_EMPTY);
    Free(result);
  }
  if (withInfo) {
    SysFreeString(info.bstrSource);
    SysFreeString(info.bstrDescription);
    SysFreeString(info.bstrHelpFile);
  }
  args.Clear();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TheWorld().provider.ClearCalls();  // the provider's log of calls would only grow
  FuzzedDataProvider in(data, size);
  Counted object;
  {
    ComPtr<IDispatch> controls[3];
    FUZZ_CHECK(SUCCEEDED(CreateCalPresenceAX(nullptr, IID_IDispatch, controls[0].ReceiveVoid())));
    FUZZ_CHECK(SUCCEEDED(CreateActiveMonAX(nullptr, IID_IDispatch, controls[1].ReceiveVoid())));
    FUZZ_CHECK(SUCCEEDED(CreateMapiSearchAX(nullptr, IID_IDispatch, controls[2].ReceiveVoid())));
    Arguments args(in, object);
    for (int step = 0; step < 16 && in.remaining_bytes() > 0; ++step) {
      // The mail client is running; the watcher is not needed to say so.
      CCalPresenceAX::m_processFound.store(1);
      IDispatch* control = controls[in.ConsumeIntegralInRange(0, 2)].Get();
      if (in.ConsumeIntegralInRange(0, 3) == 0) CallGetIDsOfNames(in, args, control);
      else CallInvoke(in, args, control);
    }
  }
  FUZZ_CHECK(object.refs == 0);
  return 0;
}
