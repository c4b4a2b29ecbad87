// Table-driven IDispatch for the controls, the same on both targets.
//
// A control lists its dispatch methods once, as a static table:
//
//   const disp::Member<CActiveMonAX> CActiveMonAX::kMembers[] = {
//       disp::Method<&CActiveMonAX::MonInit>(WSTR("MonInit"), 1),
//       disp::Method<&CActiveMonAX::MonUnInit>(WSTR("MonUnInit"), 2),
//       disp::Method<&CActiveMonAX::GetIdleTime>(WSTR("GetIdleTime"), 3, disp::kRetVal),
//   };
//   const disp::Table<CActiveMonAX> CActiveMonAX::kDispatch(kMembers, IID_IActiveMon);
//
// and its IDispatch methods forward to the table (Invoke with `this`). The
// parameters are read from the method's own signature:
//
//   LONG / INT, ULONG / UINT, VARIANT_BOOL, double, float, LONGLONG, BYTE,
//   BSTR, IDispatch*, IUnknown*   an [in] argument coerced to that type;
//   VARIANT                       an [in] argument of any type, uncoerced;
//   a pointer to any of those     an [out] argument;
//   the last pointer              [out, retval] when the entry says kRetVal.
//
// VARIANT_BOOL and SHORT are the same C++ type; a short parameter is taken as
// VT_BOOL. Named arguments are not supported (no method takes optional ones).
#pragma once

#include <cstddef>
#include <exception>
#include <new>
#include <type_traits>
#include <utility>

#include "platform/com.h"
#include "platform/wstr.h"

namespace disp {

// How one parameter is passed.
struct Param {
  VARTYPE vt;  // the declared type; VT_VARIANT for any value
  bool out;    // a pointer the method writes through
};

// Options of an entry.
enum Options : unsigned {
  kNone = 0,
  // The last parameter is [out, retval]: a caller may leave it out and get
  // the value as the result of the call.
  kRetVal = 1,
  // VARIANT parameters receive the caller's VARIANTARGs exactly as passed,
  // references included. Without it a reference (how script engines pass
  // variables) is followed and the referenced value is passed, tag and all.
  kRawArgs = 2,
  // The entry also answers a property read (DISPATCH_PROPERTYGET).
  kPropertyGet = 4,
};

struct Signature {
  const Param* params;
  UINT count;
  unsigned options;
};

constexpr UINT kMaxParams = 16;

// The arguments of one call while it runs: coerced [in] values and the
// places [out] values go to.
class Frame {
 public:
  Frame();
  ~Frame();
  Frame(const Frame&) = delete;
  Frame& operator=(const Frame&) = delete;

  // Reads the caller's arguments against the signature. On failure nothing
  // is left to undo and *argErr (when given) names the offending argument by
  // its position in rgvarg.
  HRESULT Prepare(const Signature& sig, DISPPARAMS* params, UINT* argErr);
  // Completes the call after the method returned hr: hands an omitted
  // [out, retval] value to result (or drops it) and releases the coerced
  // arguments. Returns hr.
  HRESULT Finish(HRESULT hr, VARIANT* result);

  VARIANT& In(UINT index) { return values_[index]; }
  void* Out(UINT index) { return out_[index]; }

 private:
  HRESULT BindIn(const Param& p, const VARIANTARG& arg, UINT index, bool raw);
  HRESULT BindOut(const Param& p, const VARIANTARG& arg, UINT index);
  void BindTemporary(const Param& p, UINT index, VARIANT* target);
  void DropIfUnwritten(UINT index);
  void Release();

  // Per parameter: the coerced [in] value, or the temporary an [out] value
  // is written to before it is moved to the caller's variable.
  VARIANT values_[kMaxParams];
  bool owned_[kMaxParams];
  bool temporary_[kMaxParams];
  void* out_[kMaxParams];
  VARIANT* targets_[kMaxParams];
  VARTYPE declared_[kMaxParams];  // a temporary's declared type
  UINT count_ = 0;
  int retvalIndex_ = -1;  // the omitted [out, retval]
};

// Where type information comes from, once the module can supply it; without
// a source a table reports none.
using TypeInfoSource = HRESULT (*)(REFIID iid, LCID lcid, ITypeInfo** info);
void SetTypeInfoSource(TypeInfoSource source);
TypeInfoSource GetTypeInfoSource();

template <class T>
struct Member {
  const WCHAR* name;
  DISPID dispid;
  Signature sig;
  HRESULT (*invoke)(T& self, Frame& frame);
};

// ---- the table -----------------------------------------------------------------

HRESULT InvokeFlagsAllowed(const Signature& sig, WORD flags);
HRESULT GetTypeInfoCountFor(UINT* count);
HRESULT GetTypeInfoFor(REFIID iid, UINT index, LCID lcid, ITypeInfo** info);

template <class T>
class Table {
 public:
  template <size_t N>
  constexpr Table(const Member<T> (&members)[N], const IID& iid) : members_(members), count_(N), iid_(&iid) {}

  const Member<T>* Find(DISPID dispid) const {
    for (size_t i = 0; i < count_; ++i)
      if (members_[i].dispid == dispid) return &members_[i];
    return nullptr;
  }
  const Member<T>* Find(WStringView name) const {
    for (size_t i = 0; i < count_; ++i)
      if (wstr::EqualsNoCase(members_[i].name, name)) return &members_[i];
    return nullptr;
  }

  HRESULT GetTypeInfoCount(UINT* count) const { return GetTypeInfoCountFor(count); }
  HRESULT GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) const {
    return GetTypeInfoFor(*iid_, index, lcid, info);
  }

  // Names compare without regard to ASCII letter case. Further names (of
  // parameters) are not known: they get DISPID_UNKNOWN and the call fails
  // with DISP_E_UNKNOWNNAME, the method's id still filled in.
  HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* ids) const {
    if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    if (names == nullptr || ids == nullptr || count == 0) return E_INVALIDARG;
    HRESULT hr = S_OK;
    for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
    const Member<T>* member = names[0] != nullptr ? Find(WStringView(names[0])) : nullptr;
    if (member == nullptr) return DISP_E_UNKNOWNNAME;
    ids[0] = member->dispid;
    if (count > 1) hr = DISP_E_UNKNOWNNAME;
    return hr;
  }

  HRESULT Invoke(T* self, DISPID dispid, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO*, UINT* argErr) const {
    if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    const Member<T>* member = Find(dispid);
    if (member == nullptr || self == nullptr) return DISP_E_MEMBERNOTFOUND;
    HRESULT hr = InvokeFlagsAllowed(member->sig, flags);
    if (FAILED(hr)) return hr;
    if (result != nullptr) VariantInit(result);
    Frame frame;
    hr = frame.Prepare(member->sig, params, argErr);
    if (FAILED(hr)) return hr;
    // No C++ exception may leave through the interface.
    try {
      hr = member->invoke(*self, frame);
    } catch (const std::bad_alloc&) {
      hr = E_OUTOFMEMORY;
    } catch (...) {
      hr = E_UNEXPECTED;
    }
    return frame.Finish(hr, result);
  }

 private:
  const Member<T>* members_;
  size_t count_;
  const IID* iid_;
};

// ---- binding a method -------------------------------------------------------------

namespace detail {

template <class A>
struct Kind {
  static constexpr VARTYPE Of() {
    if constexpr (std::is_same_v<A, VARIANT>) {
      return VT_VARIANT;
    } else if constexpr (std::is_same_v<A, BSTR>) {
      return VT_BSTR;
    } else if constexpr (std::is_same_v<A, IDispatch*>) {
      return VT_DISPATCH;
    } else if constexpr (std::is_same_v<A, IUnknown*>) {
      return VT_UNKNOWN;
    } else if constexpr (std::is_same_v<A, double>) {
      return VT_R8;
    } else if constexpr (std::is_same_v<A, float>) {
      return VT_R4;
    } else if constexpr (std::is_integral_v<A> && sizeof(A) == 1 && std::is_unsigned_v<A>) {
      return VT_UI1;
    } else if constexpr (std::is_integral_v<A> && sizeof(A) == 2 && std::is_signed_v<A>) {
      return VT_BOOL;
    } else if constexpr (std::is_integral_v<A> && sizeof(A) == 4) {
      return std::is_signed_v<A> ? VT_I4 : VT_UI4;
    } else if constexpr (std::is_integral_v<A> && sizeof(A) == 8 && std::is_signed_v<A>) {
      return VT_I8;
    } else {
      return VT_EMPTY;  // not supported; rejected below
    }
  }
};

template <class A>
constexpr Param ParamOf() {
  if constexpr (std::is_pointer_v<A> && Kind<std::remove_pointer_t<A>>::Of() != VT_EMPTY &&
                !std::is_same_v<A, BSTR> && !std::is_same_v<A, IDispatch*> && !std::is_same_v<A, IUnknown*>) {
    return Param{Kind<std::remove_pointer_t<A>>::Of(), true};
  } else {
    static_assert(Kind<A>::Of() != VT_EMPTY, "parameter type without an Automation type");
    return Param{Kind<A>::Of(), false};
  }
}

template <class A>
A Arg(Frame& frame, UINT index) {
  constexpr Param p = ParamOf<A>();
  if constexpr (p.out) {
    return static_cast<A>(frame.Out(index));
  } else {
    VARIANT& v = frame.In(index);
    if constexpr (p.vt == VT_VARIANT) return v;
    else if constexpr (p.vt == VT_BSTR) return v.bstrVal;
    else if constexpr (p.vt == VT_DISPATCH) return v.pdispVal;
    else if constexpr (p.vt == VT_UNKNOWN) return v.punkVal;
    else if constexpr (p.vt == VT_R8) return v.dblVal;
    else if constexpr (p.vt == VT_R4) return v.fltVal;
    else if constexpr (p.vt == VT_UI1) return v.bVal;
    else if constexpr (p.vt == VT_BOOL) return v.boolVal;
    else if constexpr (p.vt == VT_I4) return static_cast<A>(v.lVal);
    else if constexpr (p.vt == VT_UI4) return static_cast<A>(v.ulVal);
    else return static_cast<A>(v.llVal);
  }
}

template <class... A>
struct ParamList {
  // One more than needed, so that a method without parameters has an array.
  static constexpr Param value[sizeof...(A) + 1] = {ParamOf<A>()..., Param{VT_EMPTY, false}};
};

template <class M>
struct MethodTraits;

template <class C, class... A>
struct MethodTraits<HRESULT (C::*)(A...)> {
  using Class = C;
  static constexpr UINT kCount = sizeof...(A);
  static constexpr const Param* Params() { return ParamList<A...>::value; }
  template <class T, HRESULT (C::*F)(A...), size_t... I>
  static HRESULT Call(T& self, Frame& frame, std::index_sequence<I...>) {
    return (self.*F)(Arg<A>(frame, static_cast<UINT>(I))...);
  }
};

#ifdef _WIN32
template <class C, class... A>
struct MethodTraits<HRESULT (STDMETHODCALLTYPE C::*)(A...)> {
  using Class = C;
  static constexpr UINT kCount = sizeof...(A);
  static constexpr const Param* Params() { return ParamList<A...>::value; }
  template <class T, HRESULT (STDMETHODCALLTYPE C::*F)(A...), size_t... I>
  static HRESULT Call(T& self, Frame& frame, std::index_sequence<I...>) {
    return (self.*F)(Arg<A>(frame, static_cast<UINT>(I))...);
  }
};
#endif

template <class T, auto F>
HRESULT Invoker(T& self, Frame& frame) {
  using Traits = MethodTraits<decltype(F)>;
  return Traits::template Call<T, F>(self, frame, std::make_index_sequence<Traits::kCount>());
}

}  // namespace detail

// An entry for method F of class T (T may derive from the class that
// declares F).
template <class T, auto F>
constexpr Member<T> Method(const WCHAR* name, DISPID dispid, unsigned options = kNone) {
  using Traits = detail::MethodTraits<decltype(F)>;
  static_assert(std::is_base_of_v<typename Traits::Class, T>, "the method is not one of the class's");
  static_assert(Traits::kCount <= kMaxParams, "too many parameters");
  return Member<T>{name, dispid, Signature{Traits::Params(), Traits::kCount, options}, &detail::Invoker<T, F>};
}

// The same for the class that declares F.
template <auto F>
constexpr auto Method(const WCHAR* name, DISPID dispid, unsigned options = kNone) {
  return Method<typename detail::MethodTraits<decltype(F)>::Class, F>(name, dispid, options);
}

}  // namespace disp

// The four IDispatch methods of a class whose dispatch is the table `table`
// (a static disp::Table of the class), declared and defined in the class.
#define TESSARO_DISPATCH_FROM_TABLE(table)                                                                   \
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override { return table.GetTypeInfoCount(count); } \
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override {                 \
    return table.GetTypeInfo(index, lcid, info);                                                             \
  }                                                                                                          \
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,              \
                                          DISPID* ids) override {                                            \
    return table.GetIDsOfNames(riid, names, count, lcid, ids);                                               \
  }                                                                                                          \
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,       \
                                   VARIANT* result, EXCEPINFO* info, UINT* argErr) override {                \
    return table.Invoke(this, id, riid, lcid, flags, params, result, info, argErr);                          \
  }
