#include <gtest/gtest.h>

#include <new>
#include <string>

#include "platform/dispatch.h"
#include "tests/com_fakes.h"

using com_fakes::Counted;
using com_fakes::I2;
using com_fakes::I4;
using com_fakes::Ref;
using com_fakes::Str;
using com_fakes::U8;

namespace {

TESSARO_DEFINE_GUID(IID_ITestControl, 0x5A0C1E7E, 0x2B44, 0x4D0A, 0x9E, 0x61, 0x3C, 0x0D, 0x52, 0x7A, 0x11, 0x01);

// A dual interface with the kinds of methods the controls have.
struct ITestControl : IDispatch {
  STDMETHOD(Ping)() PURE;
  STDMETHOD(Add)(LONG a, LONG b, LONG* sum) PURE;
  STDMETHOD(Join)(BSTR a, BSTR b, BSTR* joined) PURE;
  STDMETHOD(Position)(VARIANT pos, LONG* seen) PURE;
  STDMETHOD(Success)(VARIANT* flag) PURE;
  STDMETHOD(Refuse)(LONG* never) PURE;
};

class TestControl final : public ITestControl {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_ITestControl) {
      *ppv = static_cast<ITestControl*>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  TESSARO_DISPATCH_FROM_TABLE(kDispatch)

  HRESULT STDMETHODCALLTYPE Ping() override {
    ++pings;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Add(LONG a, LONG b, LONG* sum) override {
    *sum = a + b;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Join(BSTR a, BSTR b, BSTR* joined) override {
    const WString text = WString(a != nullptr ? a : WSTR("")) + (b != nullptr ? b : WSTR(""));
    *joined = SysAllocString(text.c_str());
    return S_OK;
  }
  // Reads the value field whatever the tag says.
  HRESULT STDMETHODCALLTYPE Position(VARIANT pos, LONG* seen) override {
    *seen = pos.lVal;
    lastTag = pos.vt;
    return S_OK;
  }
  // Writes only the tag and the 16-bit value.
  HRESULT STDMETHODCALLTYPE Success(VARIANT* flag) override {
    flag->vt = VT_BOOL;
    flag->boolVal = 1;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Refuse(LONG*) override { return E_ABORT; }
  // Not on the interface: a helper that runs out of memory.
  HRESULT Exhaust() { throw std::bad_alloc(); }
  // Writes its out value only when asked to: 0 nothing, 1 a text, 2 a null
  // text (or VT_EMPTY).
  HRESULT Lookup(LONG which, BSTR* text) {
    if (which != 0) *text = which == 1 ? SysAllocString(WSTR("found")) : nullptr;
    return S_OK;
  }
  HRESULT Peek(LONG which, VARIANT* value) {
    if (which != 0) *value = which == 1 ? I4(9) : VARIANT{};
    return S_OK;
  }
  HRESULT Count(LONG which, LONG* n) {
    if (which != 0) *n = 0;
    return S_OK;
  }
  HRESULT Later(BSTR*, LONG) { return S_OK; }

  int pings = 0;
  VARTYPE lastTag = VT_EMPTY;

  static const disp::Member<TestControl> kMembers[];
  static const disp::Table<TestControl> kDispatch;
};

const disp::Member<TestControl> TestControl::kMembers[] = {
    disp::Method<&TestControl::Ping>(WSTR("Ping"), 1),
    disp::Method<&TestControl::Add>(WSTR("Add"), 2, disp::kRetVal),
    disp::Method<&TestControl::Join>(WSTR("Join"), 3),
    disp::Method<&TestControl::Position>(WSTR("Position"), 4, disp::kRetVal),
    disp::Method<&TestControl::Success>(WSTR("Success"), 5, disp::kRetVal),
    disp::Method<&TestControl::Refuse>(WSTR("Refuse"), 6, disp::kRetVal),
    disp::Method<&TestControl::Exhaust>(WSTR("Exhaust"), 7),
    // The same method with the caller's VARIANTs untouched.
    disp::Method<TestControl, &ITestControl::Position>(WSTR("RawPosition"), 8, disp::kRetVal | disp::kRawArgs),
    disp::Method<&TestControl::Lookup>(WSTR("Lookup"), 9, disp::kRetVal),
    disp::Method<&TestControl::Peek>(WSTR("Peek"), 10, disp::kRetVal),
    disp::Method<&TestControl::Count>(WSTR("Count"), 11, disp::kRetVal),
    disp::Method<&TestControl::Later>(WSTR("Later"), 12),
};
const disp::Table<TestControl> TestControl::kDispatch(TestControl::kMembers, IID_ITestControl);

// Calls a method as a script engine does: arguments given in declared
// order, passed last first.
class Call {
 public:
  explicit Call(IDispatch& target) : target_(target) {}
  HRESULT Method(DISPID id, std::initializer_list<VARIANT> args, WORD flags = DISPATCH_METHOD) {
    args_.assign(args.begin(), args.end());
    std::vector<VARIANT> reversed(args_.rbegin(), args_.rend());
    DISPPARAMS params = {reversed.empty() ? nullptr : reversed.data(), nullptr,
                         static_cast<UINT>(reversed.size()), 0};
    VariantClear(&result);
    argErr = 0xFFFF;
    return target_.Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, &result, nullptr, &argErr);
  }
  ~Call() { VariantClear(&result); }

  VARIANT result = {};
  UINT argErr = 0xFFFF;

 private:
  IDispatch& target_;
  std::vector<VARIANT> args_;
};

DISPID IdOf(IDispatch& target, const WCHAR* name) {
  WString copy(name);
  LPOLESTR names[] = {&copy[0]};
  DISPID id = 12345;
  target.GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  return id;
}

}  // namespace

TEST(Dispatch, NamesFindMethodsWhateverTheirCase) {
  TestControl control;
  EXPECT_EQ(2, IdOf(control, WSTR("Add")));
  EXPECT_EQ(3, IdOf(control, WSTR("JOIN")));
  EXPECT_EQ(1, IdOf(control, WSTR("ping")));
  EXPECT_EQ(DISPID_UNKNOWN, IdOf(control, WSTR("Pong")));

  WString method(WSTR("add")), param(WSTR("a"));
  LPOLESTR names[] = {&method[0], &param[0]};
  DISPID ids[2] = {0, 0};
  EXPECT_EQ(DISP_E_UNKNOWNNAME, control.GetIDsOfNames(IID_NULL, names, 2, LOCALE_USER_DEFAULT, ids));
  EXPECT_EQ(2, ids[0]);
  EXPECT_EQ(DISPID_UNKNOWN, ids[1]);
  EXPECT_EQ(DISP_E_UNKNOWNINTERFACE, control.GetIDsOfNames(IID_IDispatch, names, 1, LOCALE_USER_DEFAULT, ids));
}

TEST(Dispatch, UnknownMembersAndWrongCallKinds) {
  TestControl control;
  Call call(control);
  EXPECT_EQ(DISP_E_MEMBERNOTFOUND, call.Method(99, {}));
  EXPECT_EQ(DISP_E_MEMBERNOTFOUND, call.Method(1, {}, DISPATCH_PROPERTYGET));
  EXPECT_EQ(DISP_E_MEMBERNOTFOUND, call.Method(1, {}, DISPATCH_PROPERTYPUT));
  EXPECT_EQ(S_OK, call.Method(1, {}, DISPATCH_METHOD | DISPATCH_PROPERTYGET));
  EXPECT_EQ(1, control.pings);

  DISPPARAMS none = {nullptr, nullptr, 0, 0};
  EXPECT_EQ(DISP_E_UNKNOWNINTERFACE,
            control.Invoke(1, IID_IDispatch, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr));
  EXPECT_EQ(E_INVALIDARG,
            control.Invoke(1, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, nullptr, nullptr, nullptr, nullptr));
  DISPPARAMS broken = {nullptr, nullptr, 2, 0};
  EXPECT_EQ(E_INVALIDARG, control.Invoke(2, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &broken, nullptr,
                                         nullptr, nullptr));
  VARIANT arg = I4(1);
  DISPID named = 0;
  DISPPARAMS withNames = {&arg, &named, 1, 1};
  EXPECT_EQ(DISP_E_NONAMEDARGS, control.Invoke(2, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &withNames,
                                               nullptr, nullptr, nullptr));
}

TEST(Dispatch, ArgumentCountsAreChecked) {
  TestControl control;
  Call call(control);
  EXPECT_EQ(DISP_E_BADPARAMCOUNT, call.Method(1, {I4(1)}));
  EXPECT_EQ(DISP_E_BADPARAMCOUNT, call.Method(2, {I4(1)}));
  EXPECT_EQ(DISP_E_BADPARAMCOUNT, call.Method(2, {I4(1), I4(2), I4(3), I4(4)}));
  // Only an [out, retval] may be left out; Join's [out] may not.
  EXPECT_EQ(DISP_E_BADPARAMCOUNT, call.Method(3, {I4(1), I4(2)}));
  EXPECT_EQ(0, control.pings);
}

TEST(Dispatch, ArgumentsArriveInDeclaredOrderAndAreCoerced) {
  TestControl control;
  Call call(control);
  // The retval left out comes back as the call's result (JScript).
  VARIANT forty = Str(WSTR("40"));
  ASSERT_EQ(S_OK, call.Method(2, {forty, I2(2)}));
  EXPECT_EQ(VT_I4, call.result.vt);
  EXPECT_EQ(42, call.result.lVal);
  VariantClear(&forty);

  VARIANT joined;
  VariantInit(&joined);
  VARIANT first = Str(WSTR("ab")), second = Str(WSTR("cd"));
  ASSERT_EQ(S_OK, call.Method(3, {first, second, Ref(&joined)}));
  EXPECT_EQ(VT_BSTR, joined.vt);
  EXPECT_EQ("abcd", U8(joined.bstrVal));
  // Numbers are made text for a string parameter.
  VARIANT number = I4(7);
  ASSERT_EQ(S_OK, call.Method(3, {first, number, Ref(&joined)}));
  EXPECT_EQ("ab7", U8(joined.bstrVal));
  VariantClear(&joined);
  VariantClear(&first);
  VariantClear(&second);
}

TEST(Dispatch, MismatchNamesTheArgument) {
  TestControl control;
  Call call(control);
  VARIANT word = Str(WSTR("forty"));
  EXPECT_EQ(DISP_E_TYPEMISMATCH, call.Method(2, {word, I4(2)}));
  EXPECT_EQ(1u, call.argErr);  // the first of two arguments sits last
  EXPECT_EQ(DISP_E_TYPEMISMATCH, call.Method(2, {I4(2), word}));
  EXPECT_EQ(0u, call.argErr);
  VariantClear(&word);
  EXPECT_EQ(DISP_E_OVERFLOW, call.Method(2, {com_fakes::R8(1e12), I4(0)}));
  EXPECT_EQ(1u, call.argErr);
  // An [out] argument that is not a variable cannot be written.
  EXPECT_EQ(DISP_E_TYPEMISMATCH, call.Method(2, {I4(1), I4(2), I4(3)}));
  EXPECT_EQ(0u, call.argErr);
  VARIANT missing;
  VariantInit(&missing);
  missing.vt = VT_ERROR;
  missing.scode = DISP_E_PARAMNOTFOUND;
  EXPECT_EQ(DISP_E_PARAMNOTOPTIONAL, call.Method(2, {missing, I4(2)}));
}

TEST(Dispatch, OutVariablesAreReplacedNotLeaked) {
  TestControl control;
  Call call(control);
  // VBScript passes its variables; the old value is released when the new
  // one is stored.
  Counted old;
  VARIANT flag;
  VariantInit(&flag);
  flag.vt = VT_DISPATCH;
  flag.pdispVal = &old;
  old.AddRef();
  ASSERT_EQ(S_OK, call.Method(5, {Ref(&flag)}));
  EXPECT_EQ(1u, old.refs);
  EXPECT_EQ(VT_BOOL, flag.vt);
  EXPECT_EQ(1, flag.boolVal);  // 1 as written, not VARIANT_TRUE
  EXPECT_EQ(VT_EMPTY, call.result.vt);

  // The retval given as a variable is filled; the result stays empty.
  VARIANT sum = Str(WSTR("old"));
  ASSERT_EQ(S_OK, call.Method(2, {I4(1), I4(2), Ref(&sum)}));
  EXPECT_EQ(VT_I4, sum.vt);
  EXPECT_EQ(3, sum.lVal);
  EXPECT_EQ(VT_EMPTY, call.result.vt);

  // A reference of exactly the declared type goes straight to the method.
  LONG direct = 0;
  VARIANT typed;
  VariantInit(&typed);
  typed.vt = VT_BYREF | VT_I4;
  typed.plVal = &direct;
  ASSERT_EQ(S_OK, call.Method(2, {I4(20), I4(22), typed}));
  EXPECT_EQ(42, direct);

  // A failing method leaves the variable as it was.
  VARIANT kept = Str(WSTR("kept"));
  EXPECT_EQ(E_ABORT, call.Method(6, {Ref(&kept)}));
  EXPECT_EQ("kept", U8(kept.bstrVal));
  VariantClear(&kept);
}

TEST(Dispatch, OutVariablesTheMethodDoesNotWriteKeepTheirValue) {
  TestControl control;
  Call call(control);
  for (DISPID id : {9, 10}) {
    VARIANT v = Str(WSTR("kept"));
    ASSERT_EQ(S_OK, call.Method(id, {I4(0), Ref(&v)})) << id;
    ASSERT_EQ(VT_BSTR, v.vt) << id;
    EXPECT_EQ("kept", U8(v.bstrVal)) << id;
    EXPECT_EQ(VT_EMPTY, call.result.vt) << id;
    // Written, even as nothing, it is replaced.
    ASSERT_EQ(S_OK, call.Method(id, {I4(2), Ref(&v)})) << id;
    EXPECT_EQ(id == 9 ? VT_BSTR : VT_EMPTY, v.vt) << id;
    EXPECT_EQ(nullptr, v.bstrVal) << id;
    ASSERT_EQ(S_OK, call.Method(id, {I4(1), Ref(&v)})) << id;
    EXPECT_EQ(id == 9 ? VT_BSTR : VT_I4, v.vt) << id;
    VariantClear(&v);
  }
  // A number left alone stays the variable's number.
  VARIANT n = I4(5);
  ASSERT_EQ(S_OK, call.Method(11, {I4(0), Ref(&n)}));
  EXPECT_EQ(VT_I4, n.vt);
  EXPECT_EQ(5, n.lVal);
  ASSERT_EQ(S_OK, call.Method(11, {I4(1), Ref(&n)}));
  EXPECT_EQ(0, n.lVal);

  // The omitted retval the method leaves alone is the typed zero, as before.
  ASSERT_EQ(S_OK, call.Method(9, {I4(0)}));
  EXPECT_EQ(VT_BSTR, call.result.vt);
  EXPECT_EQ(nullptr, call.result.bstrVal);
  ASSERT_EQ(S_OK, call.Method(10, {I4(0)}));
  EXPECT_EQ(VT_EMPTY, call.result.vt);

  // An argument refused after the variable was bound leaves it untouched.
  VARIANT v = Str(WSTR("kept"));
  VARIANT word = Str(WSTR("many"));
  EXPECT_EQ(DISP_E_TYPEMISMATCH, call.Method(12, {Ref(&v), word}));
  EXPECT_EQ("kept", U8(v.bstrVal));
  VariantClear(&word);
  VariantClear(&v);
}

TEST(Dispatch, VariantParametersAreNotCoerced) {
  TestControl control;
  Call call(control);
  // Whatever the tag, the value field is what the method reads.
  VARIANT odd;
  VariantInit(&odd);
  odd.vt = VT_ERROR;
  odd.lVal = 2;
  ASSERT_EQ(S_OK, call.Method(4, {odd}));
  EXPECT_EQ(2, call.result.lVal);
  EXPECT_EQ(VT_ERROR, control.lastTag);
  // A script variable is followed to the value it holds.
  VARIANT pos = I4(5);
  ASSERT_EQ(S_OK, call.Method(4, {Ref(&pos)}));
  EXPECT_EQ(5, call.result.lVal);
  EXPECT_EQ(VT_I4, control.lastTag);
  // Unless the entry asks for the arguments as they came.
  ASSERT_EQ(S_OK, call.Method(8, {Ref(&pos)}));
  EXPECT_EQ(VT_BYREF | VT_VARIANT, control.lastTag);
}

TEST(Dispatch, ExceptionsDoNotCrossTheInterface) {
  TestControl control;
  Call call(control);
  EXPECT_EQ(E_OUTOFMEMORY, call.Method(7, {}));
}

namespace {
const IID* g_askedIid = nullptr;
HRESULT FakeTypeInfo(REFIID iid, LCID, ITypeInfo** info) {
  g_askedIid = &iid;
  *info = nullptr;
  return TYPE_E_ELEMENTNOTFOUND;
}
}  // namespace

TEST(Dispatch, TypeInformationComesFromTheModule) {
  TestControl control;
  UINT count = 9;
  ITypeInfo* info = nullptr;
  EXPECT_EQ(S_OK, control.GetTypeInfoCount(&count));
  EXPECT_EQ(0u, count);
  EXPECT_EQ(E_NOTIMPL, control.GetTypeInfo(0, LOCALE_USER_DEFAULT, &info));

  disp::SetTypeInfoSource(&FakeTypeInfo);
  EXPECT_EQ(S_OK, control.GetTypeInfoCount(&count));
  EXPECT_EQ(1u, count);
  EXPECT_EQ(DISP_E_BADINDEX, control.GetTypeInfo(1, LOCALE_USER_DEFAULT, &info));
  EXPECT_EQ(TYPE_E_ELEMENTNOTFOUND, control.GetTypeInfo(0, LOCALE_USER_DEFAULT, &info));
  ASSERT_NE(nullptr, g_askedIid);
  EXPECT_TRUE(IsEqualGUID(IID_ITestControl, *g_askedIid));
  disp::SetTypeInfoSource(nullptr);
}
