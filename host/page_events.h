// The page's side of the calendar presence control: a method called by name
// through IDispatch, and a sink for the control's events that lives on the
// command's stack and hands each event, with its arguments in declared
// order, to OnEvent.
#pragma once

#include <string>

#include "calpresence/CalPresenceIds.h"
#include "platform/com.h"
#include "platform/wstr.h"

namespace host {

inline std::string Text(const VARIANT& v) {
  if (v.vt == VT_BSTR && v.bstrVal != nullptr) return wstr::ToUtf8(WStringView(v.bstrVal, wstr::Len(v.bstrVal)));
  return "";
}

inline long Number(const VARIANT& v) { return v.vt == VT_I4 ? static_cast<long>(v.lVal) : 0; }

// Calls a method without arguments by name; its result is dropped.
inline HRESULT Call(IDispatch* control, const WCHAR* name) {
  DISPID id = 0;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  HRESULT hr = control->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(hr)) return hr;
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  VARIANT result;
  VariantInit(&result);
  hr = control->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, &result, nullptr, nullptr);
  VariantClear(&result);
  return hr;
}

class CalPresenceEventSink : public IDispatch {
 public:
  // An event's arguments by their declared position (DISPPARAMS holds them
  // in reverse).
  struct Arguments {
    const DISPPARAMS* params;
    UINT count;
    const VARIANT& operator()(UINT declared) const { return params->rgvarg[count - 1 - declared]; }
  };

  virtual ~CalPresenceEventSink() = default;
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IDispatch) ||
        IsEqualGUID(iid, DIID__ICalPresenceEvents)) {
      *out = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override { return --refs_; }  // lives on the command's stack
  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    if (count != nullptr) *count = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return DISP_E_UNKNOWNNAME; }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*) override {
    OnEvent(id, Arguments{params, params != nullptr ? params->cArgs : 0});
    return S_OK;
  }

 protected:
  virtual void OnEvent(DISPID id, const Arguments& arg) = 0;

 private:
  ULONG refs_ = 1;
};

}  // namespace host
