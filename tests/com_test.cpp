#include <gtest/gtest.h>

#include "platform/com.h"
#include "tests/com_fakes.h"

using com_fakes::Counted;
using com_fakes::U8;

#ifdef _WIN32
// Our Linux declarations carry the published values; the SDK is the judge.
TEST(ComValues, MatchTheSdk) {
  struct GuidCase {
    const char* name;
    GUID ours;
    GUID sdk;
  };
  struct CodeCase {
    const char* name;
    HRESULT ours;
    HRESULT sdk;
  };
#define COM_GUID(name, l, w1, w2, b0, b1, b2, b3, b4, b5, b6, b7) \
  GuidCase{#name, GUID{l, w1, w2, {b0, b1, b2, b3, b4, b5, b6, b7}}, name},
#define COM_CODE(name, value)
  const GuidCase guids[] = {
#include "platform/com_values.inc"
  };
#undef COM_GUID
#undef COM_CODE
#define COM_GUID(...)
#define COM_CODE(name, value) CodeCase{#name, static_cast<HRESULT>(value##u), name},
  const CodeCase codes[] = {
#include "platform/com_values.inc"
  };
#undef COM_GUID
#undef COM_CODE
  for (const GuidCase& c : guids) EXPECT_TRUE(IsEqualGUID(c.ours, c.sdk)) << c.name;
  for (const CodeCase& c : codes) EXPECT_EQ(c.ours, c.sdk) << c.name;
  EXPECT_EQ(253, DISPID_ONQUIT);
  EXPECT_EQ(1, INTERFACESAFE_FOR_UNTRUSTED_CALLER);
}
#endif

TEST(ComVariant, CopiesOwnTheirStringsAndReferences) {
  // A string with an embedded NUL keeps its full length in the copy.
  const WCHAR text[] = {'a', 0, 'b'};
  VARIANT src;
  VariantInit(&src);
  src.vt = VT_BSTR;
  src.bstrVal = SysAllocStringLen(text, 3);
  VARIANT copy;
  VariantInit(&copy);
  ASSERT_EQ(S_OK, VariantCopy(&copy, &src));
  ASSERT_NE(src.bstrVal, copy.bstrVal);
  EXPECT_EQ(S_OK, VariantClear(&src));
  EXPECT_EQ(VT_EMPTY, src.vt);
  ASSERT_EQ(3u, SysStringLen(copy.bstrVal));
  EXPECT_EQ('b', copy.bstrVal[2]);

  // Copying over a held value releases it; copies of an object reference it.
  Counted held, other;
  VARIANT dest;
  VariantInit(&dest);
  dest.vt = VT_DISPATCH;
  dest.pdispVal = &held;
  held.AddRef();
  VARIANT obj;
  VariantInit(&obj);
  obj.vt = VT_UNKNOWN;
  obj.punkVal = &other;
  ASSERT_EQ(S_OK, VariantCopy(&dest, &obj));
  EXPECT_EQ(1u, held.refs);
  EXPECT_EQ(2u, other.refs);
  EXPECT_EQ(S_OK, VariantClear(&dest));
  EXPECT_EQ(1u, other.refs);
  VariantClear(&copy);
}

TEST(ComVariant, ReferencesAreSharedOrFollowed) {
  Counted object;
  IDispatch* target = &object;
  VARIANT ref;
  VariantInit(&ref);
  ref.vt = VT_BYREF | VT_DISPATCH;
  ref.ppdispVal = &target;
  // A copy of a reference is the same reference, with no count taken.
  VARIANT shallow;
  VariantInit(&shallow);
  ASSERT_EQ(S_OK, VariantCopy(&shallow, &ref));
  EXPECT_EQ(&target, shallow.ppdispVal);
  EXPECT_EQ(1u, object.refs);
  EXPECT_EQ(S_OK, VariantClear(&shallow));
  EXPECT_EQ(1u, object.refs);
  // VariantCopyInd follows it and owns what it got.
  VARIANT deep;
  VariantInit(&deep);
  ASSERT_EQ(S_OK, VariantCopyInd(&deep, &ref));
  EXPECT_EQ(VT_DISPATCH, deep.vt);
  EXPECT_EQ(2u, object.refs);
  VariantClear(&deep);
  EXPECT_EQ(1u, object.refs);

  // Script variables: a reference to a VARIANT that holds a typed reference.
  LONG number = 2;
  VARIANT inner;
  VariantInit(&inner);
  inner.vt = VT_BYREF | VT_I4;
  inner.plVal = &number;
  const VARIANT value = plat::DerefVariant(com_fakes::Ref(&inner));
  EXPECT_EQ(VT_I4, value.vt);
  EXPECT_EQ(2, value.lVal);
  const VARIANT plain = plat::DerefVariant(com_fakes::I4(7));
  EXPECT_EQ(VT_I4, plain.vt);
  EXPECT_EQ(7, plain.lVal);
}

TEST(ComVariant, RejectsUnknownTypes) {
  VARIANT bad;
  VariantInit(&bad);
  bad.vt = 0x0FFF;
  EXPECT_EQ(DISP_E_BADVARTYPE, VariantClear(&bad));
  VARIANT copy;
  VariantInit(&copy);
  EXPECT_EQ(DISP_E_BADVARTYPE, VariantCopy(&copy, &bad));
  EXPECT_EQ(VT_EMPTY, copy.vt);
}

// The coercions the dispatcher relies on; they hold for oleaut32 as well.
TEST(ComVariant, ChangesTypeLikeAutomation) {
  struct Case {
    VARIANT from;
    VARTYPE to;
    HRESULT hr;
    LONG expect;
  };
  const Case cases[] = {
      {com_fakes::I2(-5), VT_I4, S_OK, -5},
      {com_fakes::R8(2.5), VT_I4, S_OK, 2},  // half to even
      {com_fakes::R8(3.5), VT_I4, S_OK, 4},
      {com_fakes::R8(-2.5), VT_I4, S_OK, -2},
      {com_fakes::R8(3e10), VT_I4, DISP_E_OVERFLOW, 0},
      {com_fakes::I4(70000), VT_I2, DISP_E_OVERFLOW, 0},
  };
  for (const Case& c : cases) {
    VARIANT from = c.from;
    VARIANT to;
    VariantInit(&to);
    EXPECT_EQ(c.hr, VariantChangeType(&to, &from, 0, c.to)) << c.from.vt << " -> " << c.to;
    if (c.hr == S_OK) {
      EXPECT_EQ(c.to, to.vt);
      EXPECT_EQ(c.expect, c.to == VT_I2 ? to.iVal : to.lVal);
    }
  }

  VARIANT empty, to;
  VariantInit(&empty);
  VariantInit(&to);
  EXPECT_EQ(S_OK, VariantChangeType(&to, &empty, 0, VT_I4));
  EXPECT_EQ(0, to.lVal);
  VARIANT null;
  VariantInit(&null);
  null.vt = VT_NULL;
  EXPECT_EQ(DISP_E_TYPEMISMATCH, VariantChangeType(&to, &null, 0, VT_I4));

  VARIANT text = com_fakes::Str(WSTR(" 42 "));
  ASSERT_EQ(S_OK, VariantChangeType(&to, &text, 0, VT_I4));
  EXPECT_EQ(42, to.lVal);
  VariantClear(&text);
  text = com_fakes::Str(WSTR("4x"));
  EXPECT_EQ(DISP_E_TYPEMISMATCH, VariantChangeType(&to, &text, 0, VT_I4));
  VariantClear(&text);
  text = com_fakes::Str(WSTR("true"));
  ASSERT_EQ(S_OK, VariantChangeType(&to, &text, 0, VT_BOOL));
  EXPECT_EQ(VARIANT_TRUE, to.boolVal);
  VariantClear(&text);

  VARIANT number = com_fakes::I4(-17);
  ASSERT_EQ(S_OK, VariantChangeType(&to, &number, 0, VT_BSTR));
  EXPECT_EQ("-17", U8(to.bstrVal));
  VariantClear(&to);
  VARIANT truth;
  VariantInit(&truth);
  truth.vt = VT_BOOL;
  truth.boolVal = VARIANT_TRUE;
  ASSERT_EQ(S_OK, VariantChangeType(&to, &truth, 0, VT_I4));
  EXPECT_EQ(-1, to.lVal);

  // A reference is followed; the result may overwrite the source.
  LONG seven = 7;
  VARIANT ref;
  VariantInit(&ref);
  ref.vt = VT_BYREF | VT_I4;
  ref.plVal = &seven;
  ASSERT_EQ(S_OK, VariantChangeType(&ref, &ref, 0, VT_BSTR));
  EXPECT_EQ("7", U8(ref.bstrVal));
  VariantClear(&ref);
}

TEST(ComSafeArray, HoldsCopiesOfStrings) {
  CSafeArray array(SafeArrayCreateVector(VT_BSTR, 0, 3));
  ASSERT_NE(nullptr, array.Get());
  LONG lower = -1, upper = -1;
  EXPECT_EQ(S_OK, SafeArrayGetLBound(array.Get(), 1, &lower));
  EXPECT_EQ(S_OK, SafeArrayGetUBound(array.Get(), 1, &upper));
  EXPECT_EQ(0, lower);
  EXPECT_EQ(2, upper);
  EXPECT_EQ(DISP_E_BADINDEX, SafeArrayGetUBound(array.Get(), 2, &upper));
  VARTYPE vt = VT_EMPTY;
  EXPECT_EQ(S_OK, SafeArrayGetVartype(array.Get(), &vt));
  EXPECT_EQ(VT_BSTR, vt);

  BSTR original = SysAllocString(WSTR("second"));
  LONG index = 1;
  ASSERT_EQ(S_OK, SafeArrayPutElement(array.Get(), &index, original));
  SysFreeString(original);  // the array has its own copy
  BSTR fetched = nullptr;
  ASSERT_EQ(S_OK, SafeArrayGetElement(array.Get(), &index, &fetched));
  EXPECT_EQ("second", U8(fetched));
  SysFreeString(fetched);
  index = 0;
  ASSERT_EQ(S_OK, SafeArrayGetElement(array.Get(), &index, &fetched));
  EXPECT_EQ(nullptr, fetched);  // new elements are null strings
  index = 3;
  EXPECT_EQ(DISP_E_BADINDEX, SafeArrayPutElement(array.Get(), &index, nullptr));
  index = -1;
  EXPECT_EQ(DISP_E_BADINDEX, SafeArrayGetElement(array.Get(), &index, &fetched));

  // Grown, the old elements stay and the new ones are null.
  SAFEARRAYBOUND bound = {5, 0};
  ASSERT_EQ(S_OK, SafeArrayRedim(array.Get(), &bound));
  EXPECT_EQ(5u, array.Count());
  index = 1;
  ASSERT_EQ(S_OK, SafeArrayGetElement(array.Get(), &index, &fetched));
  EXPECT_EQ("second", U8(fetched));
  SysFreeString(fetched);
  index = 4;
  ASSERT_EQ(S_OK, SafeArrayGetElement(array.Get(), &index, &fetched));
  EXPECT_EQ(nullptr, fetched);
}

TEST(ComSafeArray, LockedArrayIsNotDestroyed) {
  SAFEARRAY* psa = SafeArrayCreateVector(VT_I4, 0, 2);
  ASSERT_NE(nullptr, psa);
  void* data = nullptr;
  ASSERT_EQ(S_OK, SafeArrayAccessData(psa, &data));
  static_cast<LONG*>(data)[1] = 99;
  EXPECT_EQ(DISP_E_ARRAYISLOCKED, SafeArrayDestroy(psa));
  EXPECT_EQ(S_OK, SafeArrayUnaccessData(psa));
  LONG index = 1, value = 0;
  EXPECT_EQ(S_OK, SafeArrayGetElement(psa, &index, &value));
  EXPECT_EQ(99, value);
  EXPECT_EQ(S_OK, SafeArrayDestroy(psa));

  // An empty vector is valid and its upper bound is below its lower one.
  CSafeArray none(SafeArrayCreateVector(VT_VARIANT, 0, 0));
  ASSERT_NE(nullptr, none.Get());
  LONG upper = 0;
  EXPECT_EQ(S_OK, SafeArrayGetUBound(none.Get(), 1, &upper));
  EXPECT_EQ(-1, upper);
}

TEST(ComSafeArray, ArraysInVariantsAreCopiedWhole) {
  Counted object;
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_ARRAY | VT_VARIANT;
  v.parray = SafeArrayCreateVector(VT_VARIANT, 0, 2);
  ASSERT_NE(nullptr, v.parray);
  VARIANT element;
  VariantInit(&element);
  element.vt = VT_DISPATCH;
  element.pdispVal = &object;
  LONG index = 0;
  ASSERT_EQ(S_OK, SafeArrayPutElement(v.parray, &index, &element));
  EXPECT_EQ(2u, object.refs);
  VARIANT text = com_fakes::Str(WSTR("x"));
  index = 1;
  ASSERT_EQ(S_OK, SafeArrayPutElement(v.parray, &index, &text));
  VariantClear(&text);

  VARIANT copy;
  VariantInit(&copy);
  ASSERT_EQ(S_OK, VariantCopy(&copy, &v));
  ASSERT_NE(v.parray, copy.parray);
  EXPECT_EQ(3u, object.refs);
  EXPECT_EQ(S_OK, VariantClear(&v));
  EXPECT_EQ(2u, object.refs);
  VARIANT fetched;
  ASSERT_EQ(S_OK, SafeArrayGetElement(copy.parray, &index, &fetched));
  EXPECT_EQ("x", U8(fetched.bstrVal));
  VariantClear(&fetched);
  EXPECT_EQ(S_OK, VariantClear(&copy));
  EXPECT_EQ(1u, object.refs);
}

TEST(ComOwners, ComPtrCountsReferences) {
  Counted object;
  {
    ComPtr<IDispatch> first(&object);
    EXPECT_EQ(2u, object.refs);
    ComPtr<IDispatch> second = first;
    EXPECT_EQ(3u, object.refs);
    ComPtr<IDispatch> moved = std::move(second);
    EXPECT_EQ(3u, object.refs);
    EXPECT_EQ(nullptr, second.Get());
    ComPtr<IUnknown> unknown;
    ASSERT_EQ(S_OK, first.QueryInterface(IID_IUnknown, unknown));
    EXPECT_EQ(4u, object.refs);
    // Receive drops what is held before the out parameter is filled.
    EXPECT_EQ(S_OK, object.QueryInterface(IID_IDispatch, moved.ReceiveVoid()));
    EXPECT_EQ(4u, object.refs);
    IDispatch* out = nullptr;
    EXPECT_EQ(S_OK, first.CopyTo(&out));
    EXPECT_EQ(5u, object.refs);
    out->Release();
    first.Reset();
    EXPECT_EQ(3u, object.refs);
  }
  EXPECT_EQ(1u, object.refs);

  CVariant v(WSTR("text"));
  CVariant copy = v;
  EXPECT_NE(v->bstrVal, copy->bstrVal);
  EXPECT_EQ("text", U8(copy->bstrVal));
  VARIANT taken = copy.Detach();
  EXPECT_EQ(VT_EMPTY, copy->vt);
  VariantClear(&taken);
}

TEST(ComIdentity, GuidTextAndErrorObjects) {
  const GUID id = {0x0A1B2C3D, 0x4E5F, 0x6071, {0x82, 0x93, 0xA4, 0xB5, 0xC6, 0xD7, 0xE8, 0xF9}};
  EXPECT_EQ("{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}", wstr::ToUtf8(plat::GuidText(id)));
  // And back, in either letter case; anything of another shape is refused.
  GUID back{};
  ASSERT_TRUE(plat::GuidFromText(plat::GuidText(id), &back));
  EXPECT_EQ(id, back);
  ASSERT_TRUE(plat::GuidFromText(WSTR("{0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9}"), &back));
  EXPECT_EQ(id, back);
  for (const WCHAR* bad : {WSTR("0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9"), WSTR("{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F}"),
                           WSTR("{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8FG}"), WSTR("{0A1B2C3D+4E5F-6071-8293-A4B5C6D7E8F9}"),
                           WSTR("")}) {
    GUID untouched = id;
    EXPECT_FALSE(plat::GuidFromText(bad, &untouched)) << wstr::ToUtf8(bad);
    EXPECT_EQ(id, untouched);
  }

  ComPtr<ICreateErrorInfo> create;
  ASSERT_EQ(S_OK, CreateErrorInfo(create.Receive()));
  OLECHAR description[] = WSTR("went wrong");
  create->SetDescription(description);
  ComPtr<IErrorInfo> info;
  ASSERT_EQ(S_OK, create.QueryInterface(IID_IErrorInfo, info));
  ASSERT_EQ(S_OK, SetErrorInfo(0, info));
  ComPtr<IErrorInfo> got;
  ASSERT_EQ(S_OK, GetErrorInfo(0, got.Receive()));
  BSTR text = nullptr;
  ASSERT_EQ(S_OK, got->GetDescription(&text));
  EXPECT_EQ("went wrong", U8(text));
  SysFreeString(text);
  // Taking the error object clears it.
  EXPECT_EQ(S_FALSE, GetErrorInfo(0, got.Receive()));
}
