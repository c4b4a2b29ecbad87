// Argument handling of the table-driven IDispatch.
#include "platform/dispatch.h"

#include <atomic>

namespace disp {

namespace {

std::atomic<TypeInfoSource> g_typeInfoSource{nullptr};

// Where a method writes a value of type vt held in v.
void* ValueAddress(VARIANT& v, VARTYPE vt) {
  switch (vt) {
    case VT_BSTR: return &v.bstrVal;
    case VT_I4: return &v.lVal;
    case VT_UI4: return &v.ulVal;
    case VT_BOOL: return &v.boolVal;
    case VT_R8: return &v.dblVal;
    case VT_R4: return &v.fltVal;
    case VT_UI1: return &v.bVal;
    case VT_I8: return &v.llVal;
    case VT_DISPATCH: return &v.pdispVal;
    case VT_UNKNOWN: return &v.punkVal;
    default: return &v;  // VT_VARIANT: the VARIANT itself
  }
}

// What a caller's variable's temporary holds until the method writes it. A
// method writes an [out] value without reading what was there, so a mark the
// method cannot produce tells afterwards whether it wrote at all: an address
// of our own for pointers, a type no value has for a VARIANT.
const char kUnwrittenMark = 0;
void* UnwrittenPointer() { return const_cast<char*>(&kUnwrittenMark); }

bool IsPointerType(VARTYPE vt) { return vt == VT_BSTR || vt == VT_DISPATCH || vt == VT_UNKNOWN; }

void MarkUnwritten(VARIANT& temp, VARTYPE vt) {
  if (vt == VT_VARIANT) {
    temp.vt = VT_ILLEGAL;
  } else if (IsPointerType(vt)) {
    temp.byref = UnwrittenPointer();
  }
}

bool StillUnwritten(const VARIANT& temp, VARTYPE declared) {
  if (declared == VT_VARIANT) return temp.vt == VT_ILLEGAL;
  return IsPointerType(declared) && temp.byref == UnwrittenPointer();
}

}  // namespace

void SetTypeInfoSource(TypeInfoSource source) { g_typeInfoSource.store(source); }
TypeInfoSource GetTypeInfoSource() { return g_typeInfoSource.load(); }

HRESULT GetTypeInfoCountFor(UINT* count) {
  if (count == nullptr) return E_INVALIDARG;
  *count = GetTypeInfoSource() != nullptr ? 1 : 0;
  return S_OK;
}

HRESULT GetTypeInfoFor(REFIID iid, UINT index, LCID lcid, ITypeInfo** info) {
  if (info == nullptr) return E_POINTER;
  *info = nullptr;
  const TypeInfoSource source = GetTypeInfoSource();
  if (source == nullptr) return E_NOTIMPL;
  if (index != 0) return DISP_E_BADINDEX;
  return source(iid, lcid, info);
}

HRESULT InvokeFlagsAllowed(const Signature& sig, WORD flags) {
  // Script engines call a method with DISPATCH_METHOD, often together with
  // DISPATCH_PROPERTYGET when the result is used; a plain property read only
  // reaches entries that allow it, and nothing here can be assigned.
  if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) return DISP_E_MEMBERNOTFOUND;
  WORD allowed = DISPATCH_METHOD;
  if (sig.options & kPropertyGet) allowed |= DISPATCH_PROPERTYGET;
  return (flags & allowed) != 0 ? S_OK : DISP_E_MEMBERNOTFOUND;
}

Frame::Frame() {
  for (UINT i = 0; i < kMaxParams; ++i) {
    VariantInit(&values_[i]);
    owned_[i] = false;
    temporary_[i] = false;
    out_[i] = nullptr;
    targets_[i] = nullptr;
    declared_[i] = VT_EMPTY;
  }
}

Frame::~Frame() { Release(); }

void Frame::Release() {
  for (UINT i = 0; i < count_; ++i) {
    DropIfUnwritten(i);
    if (owned_[i]) VariantClear(&values_[i]);
    VariantInit(&values_[i]);
    owned_[i] = false;
    temporary_[i] = false;
    out_[i] = nullptr;
    targets_[i] = nullptr;
    declared_[i] = VT_EMPTY;
  }
  count_ = 0;
  retvalIndex_ = -1;
}

void Frame::BindTemporary(const Param& p, UINT index, VARIANT* target) {
  VARIANT& temp = values_[index];
  VariantInit(&temp);
  if (p.vt != VT_VARIANT) {
    temp.vt = p.vt;  // a typed zero: 0, false, null BSTR, null pointer
    temp.llVal = 0;
    // A number or flag the method leaves alone keeps the variable's own
    // value when the variable holds one of that type.
    if (target != nullptr && !IsPointerType(p.vt) && target->vt == p.vt) temp.llVal = target->llVal;
  }
  // A variable the method does not write keeps its value; an omitted retval
  // still comes back as the typed zero.
  if (target != nullptr) MarkUnwritten(temp, p.vt);
  declared_[index] = p.vt;
  owned_[index] = true;
  temporary_[index] = true;
  out_[index] = ValueAddress(temp, p.vt);
  targets_[index] = target;
}

HRESULT Frame::BindIn(const Param& p, const VARIANTARG& arg, UINT index, bool raw) {
  if (p.vt == VT_VARIANT) {
    values_[index] = raw ? arg : plat::DerefVariant(arg);
    return S_OK;
  }
  VARIANT value = plat::DerefVariant(arg);
  if (value.vt & VT_BYREF) return DISP_E_TYPEMISMATCH;
  if (value.vt == p.vt) {
    values_[index] = value;  // the caller's own, used as it is
    return S_OK;
  }
  if (value.vt == VT_ERROR && value.scode == DISP_E_PARAMNOTFOUND) return DISP_E_PARAMNOTOPTIONAL;
  VARIANT converted;
  VariantInit(&converted);
  const HRESULT hr = VariantChangeType(&converted, &value, 0, p.vt);
  if (FAILED(hr)) {
    // Keep the codes a host reports as such; any other refusal is a type
    // mismatch.
    return hr == E_OUTOFMEMORY || hr == DISP_E_OVERFLOW ? hr : DISP_E_TYPEMISMATCH;
  }
  values_[index] = converted;
  owned_[index] = true;
  return S_OK;
}

HRESULT Frame::BindOut(const Param& p, const VARIANTARG& arg, UINT index) {
  // A script variable: the method writes to a temporary of its own and the
  // value replaces the variable's old one (which is freed) after the call.
  // An [out] value the method leaves unwritten leaves the variable as it was.
  if (arg.vt == (VT_BYREF | VT_VARIANT) && arg.pvarVal != nullptr) {
    BindTemporary(p, index, arg.pvarVal);
    return S_OK;
  }
  // A reference of exactly the declared type goes to the method as it is.
  if (p.vt != VT_VARIANT && arg.vt == (VT_BYREF | p.vt) && arg.byref != nullptr) {
    out_[index] = arg.byref;
    return S_OK;
  }
  return DISP_E_TYPEMISMATCH;
}

HRESULT Frame::Prepare(const Signature& sig, DISPPARAMS* params, UINT* argErr) {
  Release();
  if (params == nullptr) return E_INVALIDARG;
  if (params->cNamedArgs > 0) return DISP_E_NONAMEDARGS;
  const UINT given = params->cArgs;
  if (given > 0 && params->rgvarg == nullptr) return E_INVALIDARG;
  const bool retval = (sig.options & kRetVal) != 0 && sig.count > 0 && sig.params[sig.count - 1].out;
  if (sig.count > kMaxParams) return DISP_E_BADPARAMCOUNT;
  if (given != sig.count && !(retval && given + 1 == sig.count)) return DISP_E_BADPARAMCOUNT;
  count_ = sig.count;
  const bool raw = (sig.options & kRawArgs) != 0;
  for (UINT i = 0; i < sig.count; ++i) {
    const Param& p = sig.params[i];
    if (i >= given) {  // the [out, retval] left out: it becomes the result
      BindTemporary(p, i, nullptr);
      retvalIndex_ = static_cast<int>(i);
      continue;
    }
    // DISPPARAMS holds the arguments last first.
    const UINT position = given - 1 - i;
    const VARIANTARG& arg = params->rgvarg[position];
    const HRESULT hr = p.out ? BindOut(p, arg, i) : BindIn(p, arg, i, raw);
    if (FAILED(hr)) {
      if (argErr != nullptr) *argErr = position;
      Release();
      return hr;
    }
  }
  return S_OK;
}

void Frame::DropIfUnwritten(UINT index) {
  if (!temporary_[index] || !StillUnwritten(values_[index], declared_[index])) return;
  VariantInit(&values_[index]);  // the mark is no value: nothing to free, nothing to hand on
  owned_[index] = false;
  temporary_[index] = false;
}

HRESULT Frame::Finish(HRESULT hr, VARIANT* result) {
  for (UINT i = 0; i < count_; ++i) {
    DropIfUnwritten(i);
    if (!temporary_[i] || FAILED(hr)) continue;
    VARIANT* target = static_cast<int>(i) == retvalIndex_ ? result : targets_[i];
    if (target == nullptr) continue;
    if (target != result && FAILED(VariantClear(target))) continue;
    *target = values_[i];
    VariantInit(&values_[i]);
    owned_[i] = false;
  }
  Release();
  return hr;
}

}  // namespace disp
