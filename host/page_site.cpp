#include "host/page_site.h"

#include <cstdio>

#include "platform/wstr.h"

namespace host {

namespace {

std::string g_pageUrl;

constexpr DISPID kLocationUrl = 211;  // the browser's LocationURL property

// The browser of the page: one property, LocationURL. Lives as long as the
// program, so it counts no references.
class PageBrowser final : public IDispatch {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IWebBrowser2) {
      *ppv = static_cast<IDispatch*>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (count != nullptr) *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    if (count != 1 || names == nullptr || ids == nullptr) return DISP_E_UNKNOWNNAME;
    if (!wstr::EqualsNoCase(names[0], WSTR("LocationURL"))) return DISP_E_UNKNOWNNAME;
    ids[0] = kLocationUrl;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                                   UINT*) override {
    if (id != kLocationUrl || (flags & DISPATCH_PROPERTYGET) == 0) return DISP_E_MEMBERNOTFOUND;
    if (result == nullptr) return E_INVALIDARG;
    const WString url = wstr::FromUtf8(g_pageUrl);
    VariantInit(result);
    result->vt = VT_BSTR;
    result->bstrVal = SysAllocString(url.c_str());
    return result->bstrVal != nullptr ? S_OK : E_OUTOFMEMORY;
  }
};

// The site a page hands its controls: a service provider that offers the
// browser.
class PageSite final : public IServiceProvider {
 public:
  explicit PageSite(PageBrowser* browser) : browser_(browser) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IServiceProvider) {
      *ppv = static_cast<IServiceProvider*>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE QueryService(REFGUID service, REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (service != SID_SWebBrowserApp) return E_NOINTERFACE;
    return browser_->QueryInterface(riid, ppv);
  }

 private:
  PageBrowser* browser_;
};

PageBrowser g_browser;
PageSite g_site(&g_browser);

}  // namespace

void SetPageUrl(const std::string& url) { g_pageUrl = url; }
const std::string& PageUrl() { return g_pageUrl; }

void PlaceOnPage(IUnknown* control) {
  if (g_pageUrl.empty() || control == nullptr) return;
  ComPtr<IObjectWithSite> sited;
  if (SUCCEEDED(control->QueryInterface(IID_IObjectWithSite, sited.ReceiveVoid())) && sited)
    sited->SetSite(static_cast<IServiceProvider*>(&g_site));
}

std::string ResultText(HRESULT hr) {
  char value[16];
  std::snprintf(value, sizeof value, "0x%08lX", static_cast<unsigned long>(static_cast<ULONG>(hr)));
  if (hr == E_ACCESSDENIED) return std::string("E_ACCESSDENIED (") + value + ")";
  return value;
}

bool ReportRefused(const char* method, HRESULT hr) {
  if (hr != E_ACCESSDENIED) return false;
  std::printf("%s: %s\n", method, ResultText(hr).c_str());
  std::fflush(stdout);
  return true;
}

}  // namespace host
