// VARIANT, SAFEARRAY and error objects on Linux, with the behaviour of their
// OLE Automation namesakes as far as Tessaro and script hosts rely on it.
#include <atomic>
#include <cfloat>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <string>

#include "platform/com.h"
#include "platform/wstr.h"

namespace {

constexpr VARTYPE kBaseMask = VT_TYPEMASK;

bool IsValidBase(VARTYPE base) {
  switch (base) {
    case VT_I2: case VT_I4: case VT_R4: case VT_R8: case VT_CY: case VT_DATE: case VT_BSTR:
    case VT_DISPATCH: case VT_ERROR: case VT_BOOL: case VT_UNKNOWN: case VT_DECIMAL: case VT_I1:
    case VT_UI1: case VT_UI2: case VT_UI4: case VT_I8: case VT_UI8: case VT_INT: case VT_UINT:
    case VT_RECORD:
      return true;
    default:
      return false;
  }
}

// Whether a VARIANT may carry this tag.
bool IsValidVariantType(VARTYPE vt) {
  const VARTYPE base = vt & kBaseMask;
  const VARTYPE flags = vt & ~kBaseMask;
  if ((flags & ~(VT_BYREF | VT_ARRAY)) != 0) return false;
  if (base == VT_VARIANT) return flags != 0;
  if (base == VT_EMPTY || base == VT_NULL) return flags == 0;
  return IsValidBase(base);
}

// Size of one element of an array of this type; 0 for types we do not keep
// in arrays.
ULONG ElementSize(VARTYPE vt) {
  switch (vt) {
    case VT_I1: case VT_UI1:
      return 1;
    case VT_I2: case VT_UI2: case VT_BOOL:
      return 2;
    case VT_I4: case VT_UI4: case VT_INT: case VT_UINT: case VT_R4: case VT_ERROR:
      return 4;
    case VT_I8: case VT_UI8: case VT_R8: case VT_CY: case VT_DATE:
      return 8;
    case VT_BSTR:
      return sizeof(BSTR);
    case VT_UNKNOWN: case VT_DISPATCH:
      return sizeof(IUnknown*);
    case VT_VARIANT:
      return sizeof(VARIANT);
    default:
      return 0;
  }
}

USHORT FeaturesFor(VARTYPE vt) {
  switch (vt) {
    case VT_BSTR:
      return FADF_BSTR;
    case VT_UNKNOWN:
      return FADF_UNKNOWN;
    case VT_DISPATCH:
      return FADF_DISPATCH;
    case VT_VARIANT:
      return FADF_VARIANT;
    default:
      return 0;
  }
}

// Arrays made here keep their element type in front of the descriptor.
struct ArrayBlock {
  VARTYPE vt;
  SAFEARRAY sa;
};

ArrayBlock* BlockOf(SAFEARRAY* psa) {
  return reinterpret_cast<ArrayBlock*>(reinterpret_cast<char*>(psa) - offsetof(ArrayBlock, sa));
}

BYTE* ElementAt(SAFEARRAY* psa, ULONG index) {
  return static_cast<BYTE*>(psa->pvData) + static_cast<size_t>(index) * psa->cbElements;
}

// Releases what elements [from, to) own and zeroes them.
void ClearElements(SAFEARRAY* psa, ULONG from, ULONG to) {
  for (ULONG i = from; i < to; ++i) {
    BYTE* element = ElementAt(psa, i);
    if (psa->fFeatures & FADF_BSTR) {
      BSTR text;
      std::memcpy(&text, element, sizeof text);
      SysFreeString(text);
    } else if (psa->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
      IUnknown* unknown;
      std::memcpy(&unknown, element, sizeof unknown);
      if (unknown != nullptr) unknown->Release();
    } else if (psa->fFeatures & FADF_VARIANT) {
      VariantClear(reinterpret_cast<VARIANT*>(element));
    }
    std::memset(element, 0, psa->cbElements);
  }
}

// Position of an index of a one-dimensional array.
HRESULT Offset(SAFEARRAY* psa, const LONG* indices, ULONG* position) {
  if (psa == nullptr || indices == nullptr || psa->cDims != 1) return E_INVALIDARG;
  const LONGLONG at = static_cast<LONGLONG>(indices[0]) - psa->rgsabound[0].lLbound;
  if (at < 0 || at >= static_cast<LONGLONG>(psa->rgsabound[0].cElements)) return DISP_E_BADINDEX;
  *position = static_cast<ULONG>(at);
  return S_OK;
}

// ---- conversions -------------------------------------------------------------

struct Number {
  enum Kind { kSigned, kUnsigned, kReal } kind = kSigned;
  LONGLONG s = 0;
  ULONGLONG u = 0;
  double r = 0;
};

bool IsBlank(WCHAR c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Reads a decimal number with optional sign, fraction and exponent, blanks
// around it allowed.
HRESULT ParseNumber(BSTR text, Number& n) {
  WStringView s(text != nullptr ? text : WSTR(""), SysStringLen(text));
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  std::string narrow;
  for (WCHAR c : s) {
    if (c > 0x7F) return DISP_E_TYPEMISMATCH;
    narrow.push_back(static_cast<char>(c));
  }
  if (narrow.empty()) return DISP_E_TYPEMISMATCH;
  const char* first = narrow.data();
  const char* last = first + narrow.size();
  if (*first == '+') ++first;
  const bool integral = narrow.find_first_of(".eE") == std::string::npos;
  if (integral) {
    const auto r = std::from_chars(first, last, n.s);
    if (r.ec == std::errc() && r.ptr == last) {
      n.kind = Number::kSigned;
      return S_OK;
    }
    if (r.ec == std::errc::result_out_of_range && *first != '-') {
      const auto ru = std::from_chars(first, last, n.u);
      if (ru.ec == std::errc() && ru.ptr == last) {
        n.kind = Number::kUnsigned;
        return S_OK;
      }
    }
  }
  const auto r = std::from_chars(first, last, n.r);
  if (r.ptr != last || first == last) return DISP_E_TYPEMISMATCH;
  if (r.ec == std::errc::result_out_of_range) return DISP_E_OVERFLOW;
  if (r.ec != std::errc() || !std::isfinite(n.r)) return DISP_E_TYPEMISMATCH;
  n.kind = Number::kReal;
  return S_OK;
}

HRESULT ToNumber(const VARIANT& v, Number& n) {
  n = Number{};
  switch (v.vt) {
    case VT_EMPTY: n.s = 0; return S_OK;
    case VT_I1: n.s = v.cVal; return S_OK;
    case VT_UI1: n.s = v.bVal; return S_OK;
    case VT_I2: n.s = v.iVal; return S_OK;
    case VT_UI2: n.s = v.uiVal; return S_OK;
    case VT_I4: n.s = v.lVal; return S_OK;
    case VT_INT: n.s = v.intVal; return S_OK;
    case VT_UI4: n.s = v.ulVal; return S_OK;
    case VT_UINT: n.s = v.uintVal; return S_OK;
    case VT_I8: n.s = v.llVal; return S_OK;
    case VT_UI8: n.kind = Number::kUnsigned; n.u = v.ullVal; return S_OK;
    case VT_BOOL: n.s = v.boolVal != 0 ? -1 : 0; return S_OK;
    case VT_R4: n.kind = Number::kReal; n.r = v.fltVal; return S_OK;
    case VT_R8: case VT_DATE: n.kind = Number::kReal; n.r = v.dblVal; return S_OK;
    case VT_CY: n.kind = Number::kReal; n.r = static_cast<double>(v.cyVal.int64) / 10000.0; return S_OK;
    case VT_BSTR: return ParseNumber(v.bstrVal, n);
    default: return DISP_E_TYPEMISMATCH;
  }
}

// Rounds half to even, as Automation does.
double RoundEven(double r) {
  const double f = std::floor(r);
  const double diff = r - f;
  if (diff > 0.5 || (diff == 0.5 && std::fmod(f, 2.0) != 0.0)) return f + 1.0;
  return f;
}

HRESULT ToSigned(const Number& n, LONGLONG min, LONGLONG max, LONGLONG& out) {
  switch (n.kind) {
    case Number::kSigned:
      if (n.s < min || n.s > max) return DISP_E_OVERFLOW;
      out = n.s;
      return S_OK;
    case Number::kUnsigned:
      if (n.u > static_cast<ULONGLONG>(max)) return DISP_E_OVERFLOW;
      out = static_cast<LONGLONG>(n.u);
      return S_OK;
    case Number::kReal: {
      const double r = RoundEven(n.r);
      // 2^63 is exactly representable; anything at or above it is out.
      if (!(r >= static_cast<double>(min)) || !(r < 9223372036854775808.0) ||
          r > static_cast<double>(max))
        return DISP_E_OVERFLOW;
      out = static_cast<LONGLONG>(r);
      if (out > max) return DISP_E_OVERFLOW;
      return S_OK;
    }
  }
  return DISP_E_TYPEMISMATCH;
}

HRESULT ToUnsigned(const Number& n, ULONGLONG max, ULONGLONG& out) {
  switch (n.kind) {
    case Number::kSigned:
      if (n.s < 0 || static_cast<ULONGLONG>(n.s) > max) return DISP_E_OVERFLOW;
      out = static_cast<ULONGLONG>(n.s);
      return S_OK;
    case Number::kUnsigned:
      if (n.u > max) return DISP_E_OVERFLOW;
      out = n.u;
      return S_OK;
    case Number::kReal: {
      const double r = RoundEven(n.r);
      if (!(r >= 0.0) || !(r < 18446744073709551616.0)) return DISP_E_OVERFLOW;
      out = static_cast<ULONGLONG>(r);
      if (out > max) return DISP_E_OVERFLOW;
      return S_OK;
    }
  }
  return DISP_E_TYPEMISMATCH;
}

double ToReal(const Number& n) {
  switch (n.kind) {
    case Number::kSigned: return static_cast<double>(n.s);
    case Number::kUnsigned: return static_cast<double>(n.u);
    case Number::kReal: return n.r;
  }
  return 0;
}

BSTR AllocAscii(const char* text, size_t length) {
  BSTR s = SysAllocStringLen(nullptr, static_cast<UINT>(length));
  if (s == nullptr) return nullptr;
  for (size_t i = 0; i < length; ++i) s[i] = static_cast<unsigned char>(text[i]);
  return s;
}

BSTR RealText(double r, int digits) {
  char buffer[64];
  const auto res = std::to_chars(buffer, buffer + sizeof buffer, r, std::chars_format::general, digits);
  std::string text(buffer, res.ptr);
  for (char& c : text)
    if (c == 'e') c = 'E';
  return AllocAscii(text.data(), text.size());
}

// The text of a value, as VariantChangeType to VT_BSTR gives it.
HRESULT ToText(const VARIANT& v, USHORT flags, BSTR& out) {
  char buffer[32];
  switch (v.vt) {
    case VT_EMPTY:
      out = SysAllocStringLen(WSTR(""), 0);
      return out != nullptr ? S_OK : E_OUTOFMEMORY;
    case VT_BSTR:
      out = SysAllocStringLen(v.bstrVal, SysStringLen(v.bstrVal));
      return out != nullptr ? S_OK : E_OUTOFMEMORY;
    case VT_BOOL:
      if (flags & (VARIANT_ALPHABOOL | VARIANT_LOCALBOOL)) {
        out = SysAllocString(v.boolVal != 0 ? WSTR("True") : WSTR("False"));
      } else {
        out = SysAllocString(v.boolVal != 0 ? WSTR("-1") : WSTR("0"));
      }
      return out != nullptr ? S_OK : E_OUTOFMEMORY;
    case VT_R4:
      out = RealText(v.fltVal, 7);
      return out != nullptr ? S_OK : E_OUTOFMEMORY;
    case VT_R8: case VT_DATE: case VT_CY: {
      Number n;
      ToNumber(v, n);
      out = RealText(n.r, 15);
      return out != nullptr ? S_OK : E_OUTOFMEMORY;
    }
    default: {
      Number n;
      const HRESULT hr = ToNumber(v, n);
      if (FAILED(hr)) return hr;
      const auto res = n.kind == Number::kUnsigned
                           ? std::to_chars(buffer, buffer + sizeof buffer, n.u)
                           : std::to_chars(buffer, buffer + sizeof buffer, n.s);
      out = AllocAscii(buffer, static_cast<size_t>(res.ptr - buffer));
      return out != nullptr ? S_OK : E_OUTOFMEMORY;
    }
  }
}

HRESULT ToBool(const VARIANT& v, VARIANT_BOOL& out) {
  if (v.vt == VT_BSTR) {
    const WStringView text(v.bstrVal != nullptr ? v.bstrVal : WSTR(""), SysStringLen(v.bstrVal));
    if (wstr::EqualsNoCase(text, WSTR("True"))) {
      out = VARIANT_TRUE;
      return S_OK;
    }
    if (wstr::EqualsNoCase(text, WSTR("False"))) {
      out = VARIANT_FALSE;
      return S_OK;
    }
  }
  Number n;
  const HRESULT hr = ToNumber(v, n);
  if (FAILED(hr)) return hr;
  out = ToReal(n) != 0 ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

// Converts a value that is neither a reference nor an array; result is a new
// VARIANT the caller owns.
HRESULT Convert(VARIANT& src, USHORT flags, VARTYPE vt, VARIANT& result) {
  VariantInit(&result);
  if (src.vt == vt) return VariantCopy(&result, &src);
  if (vt == VT_EMPTY) return S_OK;
  if (src.vt == VT_NULL || vt == VT_NULL) return DISP_E_TYPEMISMATCH;

  // An object stands for its value property, unless told otherwise.
  if (src.vt == VT_DISPATCH && vt != VT_UNKNOWN) {
    if (src.pdispVal == nullptr || (flags & VARIANT_NOVALUEPROP) != 0) return DISP_E_TYPEMISMATCH;
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    VARIANT value;
    VariantInit(&value);
    HRESULT hr = src.pdispVal->Invoke(DISPID_VALUE, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none,
                                      &value, nullptr, nullptr);
    if (FAILED(hr)) return DISP_E_TYPEMISMATCH;
    VARIANT plain;
    hr = VariantCopyInd(&plain, &value);
    VariantClear(&value);
    if (FAILED(hr)) return hr;
    hr = plain.vt == VT_DISPATCH ? DISP_E_TYPEMISMATCH : Convert(plain, flags, vt, result);
    VariantClear(&plain);
    return hr;
  }

  switch (vt) {
    case VT_UNKNOWN:
    case VT_DISPATCH: {
      if (src.vt == VT_EMPTY) {
        result.vt = vt;
        result.punkVal = nullptr;
        return S_OK;
      }
      if (src.vt != VT_UNKNOWN && src.vt != VT_DISPATCH) return DISP_E_TYPEMISMATCH;
      if (src.punkVal == nullptr) {
        result.vt = vt;
        result.punkVal = nullptr;
        return S_OK;
      }
      void* out = nullptr;
      if (FAILED(src.punkVal->QueryInterface(vt == VT_DISPATCH ? IID_IDispatch : IID_IUnknown, &out)))
        return DISP_E_TYPEMISMATCH;
      result.vt = vt;
      result.punkVal = static_cast<IUnknown*>(out);
      return S_OK;
    }
    case VT_BSTR: {
      BSTR text = nullptr;
      const HRESULT hr = ToText(src, flags, text);
      if (FAILED(hr)) return hr;
      result.vt = VT_BSTR;
      result.bstrVal = text;
      return S_OK;
    }
    case VT_BOOL: {
      VARIANT_BOOL b = VARIANT_FALSE;
      const HRESULT hr = ToBool(src, b);
      if (FAILED(hr)) return hr;
      result.vt = VT_BOOL;
      result.boolVal = b;
      return S_OK;
    }
    default:
      break;
  }

  if (vt == VT_ERROR || src.vt == VT_ERROR) return DISP_E_TYPEMISMATCH;
  Number n;
  HRESULT hr = ToNumber(src, n);
  if (FAILED(hr)) return hr;
  LONGLONG s = 0;
  ULONGLONG u = 0;
  switch (vt) {
    case VT_I1:
      hr = ToSigned(n, SCHAR_MIN, SCHAR_MAX, s);
      result.cVal = static_cast<CHAR>(s);
      break;
    case VT_UI1:
      hr = ToUnsigned(n, UCHAR_MAX, u);
      result.bVal = static_cast<BYTE>(u);
      break;
    case VT_I2:
      hr = ToSigned(n, SHRT_MIN, SHRT_MAX, s);
      result.iVal = static_cast<SHORT>(s);
      break;
    case VT_UI2:
      hr = ToUnsigned(n, USHRT_MAX, u);
      result.uiVal = static_cast<USHORT>(u);
      break;
    case VT_I4:
    case VT_INT:
      hr = ToSigned(n, INT32_MIN, INT32_MAX, s);
      result.lVal = static_cast<LONG>(s);
      break;
    case VT_UI4:
    case VT_UINT:
      hr = ToUnsigned(n, UINT32_MAX, u);
      result.ulVal = static_cast<ULONG>(u);
      break;
    case VT_I8:
      hr = ToSigned(n, INT64_MIN, INT64_MAX, s);
      result.llVal = s;
      break;
    case VT_UI8:
      hr = ToUnsigned(n, UINT64_MAX, u);
      result.ullVal = u;
      break;
    case VT_R4: {
      const double r = ToReal(n);
      if (std::fabs(r) > FLT_MAX) return DISP_E_OVERFLOW;
      result.fltVal = static_cast<float>(r);
      break;
    }
    case VT_R8:
    case VT_DATE:
      result.dblVal = ToReal(n);
      break;
    case VT_CY: {
      const double r = RoundEven(ToReal(n) * 10000.0);
      if (!(r >= -9223372036854775808.0) || !(r < 9223372036854775808.0)) return DISP_E_OVERFLOW;
      result.cyVal.int64 = static_cast<LONGLONG>(r);
      break;
    }
    default:
      return DISP_E_BADVARTYPE;
  }
  if (FAILED(hr)) {
    VariantInit(&result);
    return hr;
  }
  result.vt = vt;
  return S_OK;
}

// ---- error objects ------------------------------------------------------------

class ErrorObject final : public IErrorInfo, public ICreateErrorInfo {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IErrorInfo) {
      *ppv = static_cast<IErrorInfo*>(this);
    } else if (riid == IID_ICreateErrorInfo) {
      *ppv = static_cast<ICreateErrorInfo*>(this);
    } else {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

  HRESULT STDMETHODCALLTYPE GetGUID(GUID* guid) override {
    if (guid == nullptr) return E_INVALIDARG;
    *guid = guid_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetSource(BSTR* out) override { return Copy(source_, out); }
  HRESULT STDMETHODCALLTYPE GetDescription(BSTR* out) override { return Copy(description_, out); }
  HRESULT STDMETHODCALLTYPE GetHelpFile(BSTR* out) override { return Copy(helpFile_, out); }
  HRESULT STDMETHODCALLTYPE GetHelpContext(DWORD* context) override {
    if (context == nullptr) return E_INVALIDARG;
    *context = helpContext_;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE SetGUID(REFGUID guid) override {
    guid_ = guid;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetSource(LPOLESTR text) override { return Store(source_, text); }
  HRESULT STDMETHODCALLTYPE SetDescription(LPOLESTR text) override { return Store(description_, text); }
  HRESULT STDMETHODCALLTYPE SetHelpFile(LPOLESTR text) override { return Store(helpFile_, text); }
  HRESULT STDMETHODCALLTYPE SetHelpContext(DWORD context) override {
    helpContext_ = context;
    return S_OK;
  }

 private:
  static HRESULT Copy(const WString& text, BSTR* out) {
    if (out == nullptr) return E_INVALIDARG;
    *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *out != nullptr ? S_OK : E_OUTOFMEMORY;
  }
  static HRESULT Store(WString& field, LPOLESTR text) {
    field.assign(text != nullptr ? text : WSTR(""));
    return S_OK;
  }

  std::atomic<ULONG> refs_{1};
  GUID guid_ = IID_NULL;
  WString source_, description_, helpFile_;
  DWORD helpContext_ = 0;
};

thread_local ComPtr<IErrorInfo> t_errorInfo;

}  // namespace

// ---- VARIANT ------------------------------------------------------------------

void VariantInit(VARIANTARG* pvarg) {
  if (pvarg == nullptr) return;
  pvarg->vt = VT_EMPTY;
  pvarg->wReserved1 = pvarg->wReserved2 = pvarg->wReserved3 = 0;
  pvarg->llVal = 0;
  pvarg->brecVal.pRecInfo = nullptr;
}

HRESULT VariantClear(VARIANTARG* pvarg) {
  if (pvarg == nullptr) return E_INVALIDARG;
  if (!IsValidVariantType(pvarg->vt)) return DISP_E_BADVARTYPE;
  if ((pvarg->vt & VT_BYREF) == 0) {
    if (pvarg->vt & VT_ARRAY) {
      const HRESULT hr = SafeArrayDestroy(pvarg->parray);
      if (FAILED(hr)) return hr;
    } else if (pvarg->vt == VT_BSTR) {
      SysFreeString(pvarg->bstrVal);
    } else if (pvarg->vt == VT_DISPATCH || pvarg->vt == VT_UNKNOWN) {
      if (pvarg->punkVal != nullptr) pvarg->punkVal->Release();
    } else if (pvarg->vt == VT_RECORD) {
      // Records are never made here; the record's own information object
      // is all this variant references.
      if (pvarg->brecVal.pRecInfo != nullptr) pvarg->brecVal.pRecInfo->Release();
    }
  }
  VariantInit(pvarg);
  return S_OK;
}

HRESULT VariantCopy(VARIANTARG* pvargDest, VARIANTARG* pvargSrc) {
  if (pvargDest == nullptr || pvargSrc == nullptr) return E_INVALIDARG;
  if (pvargDest == pvargSrc) return S_OK;
  if (!IsValidVariantType(pvargSrc->vt)) return DISP_E_BADVARTYPE;
  if (pvargSrc->vt == VT_RECORD) return DISP_E_BADVARTYPE;
  VARIANT copy = *pvargSrc;
  if ((copy.vt & VT_BYREF) == 0) {
    if (copy.vt & VT_ARRAY) {
      if (pvargSrc->parray != nullptr) {
        const HRESULT hr = SafeArrayCopy(pvargSrc->parray, &copy.parray);
        if (FAILED(hr)) return hr;
      }
    } else if (copy.vt == VT_BSTR) {
      if (pvargSrc->bstrVal != nullptr) {
        copy.bstrVal = SysAllocStringLen(pvargSrc->bstrVal, SysStringLen(pvargSrc->bstrVal));
        if (copy.bstrVal == nullptr) return E_OUTOFMEMORY;
      }
    } else if (copy.vt == VT_DISPATCH || copy.vt == VT_UNKNOWN) {
      if (copy.punkVal != nullptr) copy.punkVal->AddRef();
    }
  }
  const HRESULT hr = VariantClear(pvargDest);
  if (FAILED(hr)) {
    VariantClear(&copy);
    return hr;
  }
  *pvargDest = copy;
  return S_OK;
}

HRESULT VariantCopyInd(VARIANT* pvarDest, VARIANTARG* pvargSrc) {
  if (pvarDest == nullptr || pvargSrc == nullptr) return E_INVALIDARG;
  if (!IsValidVariantType(pvargSrc->vt)) return DISP_E_BADVARTYPE;
  if ((pvargSrc->vt & VT_BYREF) == 0) return VariantCopy(pvarDest, pvargSrc);
  if (pvargSrc->byref == nullptr) return E_INVALIDARG;
  VARIANT value = plat::DerefVariant(*pvargSrc);
  if (value.vt & VT_BYREF) return DISP_E_BADVARTYPE;
  VARIANT copy;
  VariantInit(&copy);
  HRESULT hr = VariantCopy(&copy, &value);
  if (FAILED(hr)) return hr;
  // The source may be the destination's own referenced value.
  hr = VariantClear(pvarDest);
  if (FAILED(hr)) {
    VariantClear(&copy);
    return hr;
  }
  *pvarDest = copy;
  return S_OK;
}

HRESULT VariantChangeType(VARIANTARG* pvargDest, VARIANTARG* pvarSrc, USHORT wFlags, VARTYPE vt) {
  return VariantChangeTypeEx(pvargDest, pvarSrc, LOCALE_USER_DEFAULT, wFlags, vt);
}

HRESULT VariantChangeTypeEx(VARIANTARG* pvargDest, VARIANTARG* pvarSrc, LCID, USHORT wFlags, VARTYPE vt) {
  if (pvargDest == nullptr || pvarSrc == nullptr) return E_INVALIDARG;
  if (!IsValidVariantType(pvarSrc->vt)) return DISP_E_BADVARTYPE;
  if ((vt & (VT_BYREF | VT_VECTOR | VT_RESERVED)) != 0) return DISP_E_BADVARTYPE;
  VARIANT source;
  VariantInit(&source);
  HRESULT hr = VariantCopyInd(&source, pvarSrc);
  if (FAILED(hr)) return hr;
  VARIANT result;
  VariantInit(&result);
  if ((source.vt & VT_ARRAY) || (vt & VT_ARRAY)) {
    hr = source.vt == vt ? VariantCopy(&result, &source) : DISP_E_TYPEMISMATCH;
  } else {
    hr = Convert(source, wFlags, vt, result);
  }
  VariantClear(&source);
  if (FAILED(hr)) return hr;
  hr = VariantClear(pvargDest);
  if (FAILED(hr)) {
    VariantClear(&result);
    return hr;
  }
  *pvargDest = result;
  return S_OK;
}

// ---- SAFEARRAY ----------------------------------------------------------------

SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* rgsabound) {
  if (cDims != 1 || rgsabound == nullptr) return nullptr;
  return SafeArrayCreateVector(vt, rgsabound[0].lLbound, rgsabound[0].cElements);
}

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) {
  const ULONG size = ElementSize(vt);
  if (size == 0) return nullptr;
  if (cElements > std::numeric_limits<size_t>::max() / size) return nullptr;
  auto* block = static_cast<ArrayBlock*>(std::calloc(1, sizeof(ArrayBlock)));
  if (block == nullptr) return nullptr;
  block->vt = vt;
  SAFEARRAY* psa = &block->sa;
  psa->cDims = 1;
  psa->fFeatures = static_cast<USHORT>(FADF_HAVEVARTYPE | FeaturesFor(vt));
  psa->cbElements = size;
  psa->rgsabound[0].cElements = cElements;
  psa->rgsabound[0].lLbound = lLbound;
  if (cElements > 0) {
    psa->pvData = std::calloc(cElements, size);
    if (psa->pvData == nullptr) {
      std::free(block);
      return nullptr;
    }
  }
  return psa;
}

HRESULT SafeArrayDestroy(SAFEARRAY* psa) {
  if (psa == nullptr) return S_OK;
  if (psa->cLocks > 0) return DISP_E_ARRAYISLOCKED;
  if (psa->pvData != nullptr && psa->cDims == 1) ClearElements(psa, 0, psa->rgsabound[0].cElements);
  if ((psa->fFeatures & (FADF_STATIC | FADF_AUTO | FADF_EMBEDDED)) == 0) {
    std::free(psa->pvData);
    psa->pvData = nullptr;
  }
  if (psa->fFeatures & FADF_HAVEVARTYPE) std::free(BlockOf(psa));
  return S_OK;
}

HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt) {
  if (psa == nullptr || pvt == nullptr) return E_INVALIDARG;
  if (psa->fFeatures & FADF_HAVEVARTYPE) {
    *pvt = BlockOf(psa)->vt;
  } else if (psa->fFeatures & FADF_BSTR) {
    *pvt = VT_BSTR;
  } else if (psa->fFeatures & FADF_UNKNOWN) {
    *pvt = VT_UNKNOWN;
  } else if (psa->fFeatures & FADF_DISPATCH) {
    *pvt = VT_DISPATCH;
  } else if (psa->fFeatures & FADF_VARIANT) {
    *pvt = VT_VARIANT;
  } else {
    return E_INVALIDARG;
  }
  return S_OK;
}

HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut) {
  if (ppsaOut == nullptr) return E_INVALIDARG;
  *ppsaOut = nullptr;
  if (psa == nullptr) return S_OK;
  VARTYPE vt;
  if (psa->cDims != 1 || FAILED(SafeArrayGetVartype(psa, &vt))) return E_INVALIDARG;
  SAFEARRAY* copy = SafeArrayCreateVector(vt, psa->rgsabound[0].lLbound, psa->rgsabound[0].cElements);
  if (copy == nullptr) return E_OUTOFMEMORY;
  for (ULONG i = 0; i < psa->rgsabound[0].cElements; ++i) {
    BYTE* from = ElementAt(psa, i);
    BYTE* to = ElementAt(copy, i);
    if (vt == VT_BSTR) {
      BSTR text;
      std::memcpy(&text, from, sizeof text);
      if (text != nullptr) {
        BSTR dup = SysAllocStringLen(text, SysStringLen(text));
        if (dup == nullptr) {
          SafeArrayDestroy(copy);
          return E_OUTOFMEMORY;
        }
        std::memcpy(to, &dup, sizeof dup);
      }
    } else if (vt == VT_VARIANT) {
      const HRESULT hr = VariantCopy(reinterpret_cast<VARIANT*>(to), reinterpret_cast<VARIANT*>(from));
      if (FAILED(hr)) {
        SafeArrayDestroy(copy);
        return hr;
      }
    } else {
      std::memcpy(to, from, psa->cbElements);
      if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
        IUnknown* unknown;
        std::memcpy(&unknown, to, sizeof unknown);
        if (unknown != nullptr) unknown->AddRef();
      }
    }
  }
  *ppsaOut = copy;
  return S_OK;
}

HRESULT SafeArrayRedim(SAFEARRAY* psa, SAFEARRAYBOUND* psaboundNew) {
  if (psa == nullptr || psaboundNew == nullptr || psa->cDims != 1) return E_INVALIDARG;
  if (psa->cLocks > 0) return DISP_E_ARRAYISLOCKED;
  if (psa->fFeatures & (FADF_FIXEDSIZE | FADF_STATIC | FADF_AUTO | FADF_EMBEDDED)) return E_INVALIDARG;
  const ULONG oldCount = psa->rgsabound[0].cElements;
  const ULONG newCount = psaboundNew->cElements;
  if (newCount > std::numeric_limits<size_t>::max() / psa->cbElements) return E_OUTOFMEMORY;
  if (newCount < oldCount) ClearElements(psa, newCount, oldCount);
  if (newCount == 0) {
    std::free(psa->pvData);
    psa->pvData = nullptr;
  } else if (newCount != oldCount) {
    void* data = std::realloc(psa->pvData, static_cast<size_t>(newCount) * psa->cbElements);
    if (data == nullptr) return E_OUTOFMEMORY;
    psa->pvData = data;
    if (newCount > oldCount)
      std::memset(ElementAt(psa, oldCount), 0, static_cast<size_t>(newCount - oldCount) * psa->cbElements);
  }
  psa->rgsabound[0] = *psaboundNew;
  return S_OK;
}

UINT SafeArrayGetDim(SAFEARRAY* psa) { return psa != nullptr ? psa->cDims : 0; }
UINT SafeArrayGetElemsize(SAFEARRAY* psa) { return psa != nullptr ? psa->cbElements : 0; }

HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound) {
  if (psa == nullptr || plLbound == nullptr) return E_INVALIDARG;
  if (nDim < 1 || nDim > psa->cDims) return DISP_E_BADINDEX;
  *plLbound = psa->rgsabound[psa->cDims - nDim].lLbound;
  return S_OK;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound) {
  if (psa == nullptr || plUbound == nullptr) return E_INVALIDARG;
  if (nDim < 1 || nDim > psa->cDims) return DISP_E_BADINDEX;
  const SAFEARRAYBOUND& bound = psa->rgsabound[psa->cDims - nDim];
  *plUbound = static_cast<LONG>(static_cast<LONGLONG>(bound.lLbound) + bound.cElements - 1);
  return S_OK;
}

HRESULT SafeArrayLock(SAFEARRAY* psa) {
  if (psa == nullptr) return E_INVALIDARG;
  if (psa->cLocks == 0xFFFF) return E_UNEXPECTED;
  ++psa->cLocks;
  return S_OK;
}

HRESULT SafeArrayUnlock(SAFEARRAY* psa) {
  if (psa == nullptr) return E_INVALIDARG;
  if (psa->cLocks == 0) return E_UNEXPECTED;
  --psa->cLocks;
  return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData) {
  if (psa == nullptr || ppvData == nullptr) return E_INVALIDARG;
  const HRESULT hr = SafeArrayLock(psa);
  *ppvData = SUCCEEDED(hr) ? psa->pvData : nullptr;
  return hr;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* psa) { return SafeArrayUnlock(psa); }

HRESULT SafeArrayPtrOfIndex(SAFEARRAY* psa, LONG* rgIndices, void** ppvData) {
  if (ppvData == nullptr) return E_INVALIDARG;
  ULONG at = 0;
  const HRESULT hr = Offset(psa, rgIndices, &at);
  if (FAILED(hr)) return hr;
  *ppvData = ElementAt(psa, at);
  return S_OK;
}

HRESULT SafeArrayPutElement(SAFEARRAY* psa, LONG* rgIndices, void* pv) {
  ULONG at = 0;
  HRESULT hr = Offset(psa, rgIndices, &at);
  if (FAILED(hr)) return hr;
  BYTE* element = ElementAt(psa, at);
  if (psa->fFeatures & FADF_BSTR) {
    BSTR text = static_cast<BSTR>(pv);
    BSTR copy = nullptr;
    if (text != nullptr) {
      copy = SysAllocStringLen(text, SysStringLen(text));
      if (copy == nullptr) return E_OUTOFMEMORY;
    }
    BSTR old;
    std::memcpy(&old, element, sizeof old);
    SysFreeString(old);
    std::memcpy(element, &copy, sizeof copy);
  } else if (psa->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
    IUnknown* unknown = static_cast<IUnknown*>(pv);
    if (unknown != nullptr) unknown->AddRef();
    IUnknown* old;
    std::memcpy(&old, element, sizeof old);
    if (old != nullptr) old->Release();
    std::memcpy(element, &unknown, sizeof unknown);
  } else if (psa->fFeatures & FADF_VARIANT) {
    if (pv == nullptr) return E_INVALIDARG;
    hr = VariantCopy(reinterpret_cast<VARIANT*>(element), static_cast<VARIANT*>(pv));
  } else {
    if (pv == nullptr) return E_INVALIDARG;
    std::memcpy(element, pv, psa->cbElements);
  }
  return hr;
}

HRESULT SafeArrayGetElement(SAFEARRAY* psa, LONG* rgIndices, void* pv) {
  if (pv == nullptr) return E_INVALIDARG;
  ULONG at = 0;
  const HRESULT hr = Offset(psa, rgIndices, &at);
  if (FAILED(hr)) return hr;
  BYTE* element = ElementAt(psa, at);
  if (psa->fFeatures & FADF_BSTR) {
    BSTR text;
    std::memcpy(&text, element, sizeof text);
    BSTR copy = nullptr;
    if (text != nullptr) {
      copy = SysAllocStringLen(text, SysStringLen(text));
      if (copy == nullptr) return E_OUTOFMEMORY;
    }
    std::memcpy(pv, &copy, sizeof copy);
  } else if (psa->fFeatures & FADF_VARIANT) {
    VariantInit(static_cast<VARIANT*>(pv));
    return VariantCopy(static_cast<VARIANT*>(pv), reinterpret_cast<VARIANT*>(element));
  } else {
    std::memcpy(pv, element, psa->cbElements);
    if (psa->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
      IUnknown* unknown;
      std::memcpy(&unknown, element, sizeof unknown);
      if (unknown != nullptr) unknown->AddRef();
    }
  }
  return S_OK;
}

// ---- error objects and GUID text -----------------------------------------------

HRESULT SetErrorInfo(ULONG, IErrorInfo* perrinfo) {
  t_errorInfo = ComPtr<IErrorInfo>(perrinfo);
  return S_OK;
}

HRESULT GetErrorInfo(ULONG, IErrorInfo** pperrinfo) {
  if (pperrinfo == nullptr) return E_INVALIDARG;
  *pperrinfo = t_errorInfo.Detach();
  return *pperrinfo != nullptr ? S_OK : S_FALSE;
}

HRESULT CreateErrorInfo(ICreateErrorInfo** pperrinfo) {
  if (pperrinfo == nullptr) return E_INVALIDARG;
  *pperrinfo = new (std::nothrow) ErrorObject;
  return *pperrinfo != nullptr ? S_OK : E_OUTOFMEMORY;
}

int StringFromGUID2(REFGUID guid, LPOLESTR text, int cchMax) {
  constexpr int kLength = 38;
  if (text == nullptr || cchMax < kLength + 1) return 0;
  static const char kHex[] = "0123456789ABCDEF";
  int at = 0;
  auto put = [&](unsigned value, int digits) {
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) text[at++] = kHex[(value >> shift) & 0xF];
  };
  text[at++] = '{';
  put(guid.Data1, 8);
  text[at++] = '-';
  put(guid.Data2, 4);
  text[at++] = '-';
  put(guid.Data3, 4);
  text[at++] = '-';
  put(guid.Data4[0], 2);
  put(guid.Data4[1], 2);
  text[at++] = '-';
  for (int i = 2; i < 8; ++i) put(guid.Data4[i], 2);
  text[at++] = '}';
  text[at] = 0;
  return kLength + 1;
}
