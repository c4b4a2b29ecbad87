#include "module/SiteLock.h"

#include "module/AXLogger.h"
#include "platform/services.h"

namespace tessaro {

const WCHAR* const kSitePolicyKey = WSTR("Software\\Norvane\\Zelmora\\Tessaro");
const WCHAR* const kAllowedSitesValue = WSTR("AllowedSites");
const WCHAR* const kAllowLocalHostsValue = WSTR("AllowLocalHosts");

namespace {

// Splits a REG_MULTI_SZ (at NULs) or REG_SZ (also at ';' and blanks) list
// and keeps the entries that parse.
void AddEntries(const std::vector<WCHAR>& text, bool multi, std::vector<SiteEntry>& sites) {
  WString item;
  auto flush = [&] {
    SiteEntry entry;
    if (!item.empty() && ParseSiteEntry(item, entry)) sites.push_back(entry);
    item.clear();
  };
  for (WCHAR c : text) {
    if (c == 0 || (!multi && (c == ';' || c == ' ' || c == '\t' || c == '\r' || c == '\n'))) flush();
    else item.push_back(c);
  }
  flush();
}

void ReadSites(HKEY key, SitePolicy& policy) {
  DWORD type = 0, size = 0;
  if (plat::Registry().RegQueryValueExW(key, kAllowedSitesValue, nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
    return;
  policy.armed = true;
  const bool multi = type == REG_MULTI_SZ;
  if ((!multi && type != REG_SZ && type != REG_EXPAND_SZ) || size > kMaxPolicyBytes) return;
  std::vector<WCHAR> text(size / sizeof(WCHAR) + 1, 0);
  DWORD got = static_cast<DWORD>((text.size() - 1) * sizeof(WCHAR));
  if (plat::Registry().RegQueryValueExW(key, kAllowedSitesValue, nullptr, &type, reinterpret_cast<LPBYTE>(text.data()),
                                        &got) != ERROR_SUCCESS)
    return;
  text.resize(got / sizeof(WCHAR));
  AddEntries(text, multi, policy.sites);
}

bool ReadLocalHosts(HKEY key) {
  DWORD type = 0, value = 0, size = sizeof value;
  return plat::Registry().RegQueryValueExW(key, kAllowLocalHostsValue, nullptr, &type,
                                           reinterpret_cast<LPBYTE>(&value), &size) == ERROR_SUCCESS &&
         type == REG_DWORD && value != 0;
}

// A text property of a dispatch object ("URL", "LocationURL"); empty when
// it cannot be read.
WString TextProperty(IDispatch* object, const WCHAR* name) {
  DISPID id = 0;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  if (FAILED(object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id))) return WString();
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  VARIANT result;
  VariantInit(&result);
  WString text;
  if (SUCCEEDED(object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, &result, nullptr,
                               nullptr)) &&
      result.vt == VT_BSTR && result.bstrVal != nullptr) {
    const UINT n = SysStringLen(result.bstrVal);
    text.assign(result.bstrVal, n < kMaxAddress + 1 ? n : kMaxAddress + 1);
  }
  VariantClear(&result);
  return text;
}

// The document that holds the control: the client site's container.
ComPtr<IDispatch> Document(IUnknown* site) {
  ComPtr<IOleClientSite> client;
  ComPtr<IOleContainer> container;
  ComPtr<IDispatch> document;
  if (FAILED(site->QueryInterface(IID_IOleClientSite, client.ReceiveVoid())) || !client) return document;
  if (FAILED(client->GetContainer(container.Receive())) || !container) return document;
  if (FAILED(container->QueryInterface(kIID_IHTMLDocument2, document.ReceiveVoid()))) document.Reset();
  return document;
}

// The browser: the site itself, or its service provider's.
ComPtr<IDispatch> Browser(IUnknown* site) {
  ComPtr<IDispatch> browser;
  if (SUCCEEDED(site->QueryInterface(IID_IWebBrowser2, browser.ReceiveVoid())) && browser) return browser;
  browser.Reset();
  ComPtr<IServiceProvider> services;
  if (SUCCEEDED(site->QueryInterface(IID_IServiceProvider, services.ReceiveVoid())) && services &&
      FAILED(services->QueryService(SID_SWebBrowserApp, IID_IWebBrowser2, browser.ReceiveVoid())))
    browser.Reset();
  return browser;
}

}  // namespace

SitePolicy ReadSitePolicy() {
  SitePolicy policy;
  HKEY key = nullptr;
  if (plat::Registry().RegOpenKeyW(HKEY_LOCAL_MACHINE, kSitePolicyKey, &key) != ERROR_SUCCESS) return policy;
  ReadSites(key, policy);
  policy.allowLocalHosts = policy.armed && ReadLocalHosts(key);
  plat::Registry().RegCloseKey(key);
  return policy;
}

bool PageAddress(IUnknown* site, WString& address) {
  address.clear();
  if (site == nullptr) return false;
  if (ComPtr<IDispatch> document = Document(site)) {
    address = TextProperty(document.Get(), WSTR("URL"));
    return true;
  }
  if (ComPtr<IDispatch> browser = Browser(site)) {
    address = TextProperty(browser.Get(), WSTR("LocationURL"));
    return true;
  }
  return false;
}

// ---- the lock ----------------------------------------------------------------------

bool SiteLock::Armed() {
  if (!loaded_) {
    policy_ = ReadSitePolicy();
    loaded_ = true;
  }
  return policy_.armed;
}

void SiteLock::SetSite(IUnknown* site, CAXLogger& log) {
  if (!Armed()) return;
  site_ = ComPtr<IUnknown>(site);
  if (site == nullptr) return;
  hadSite_ = true;
  Check(log);
}

HRESULT SiteLock::Check(CAXLogger& log) {
  if (!Armed()) return S_OK;
  // The host took the site away again: the page it showed still decides.
  if (!site_ && hadSite_) return last_;
  last_ = Decide(log);
  return last_;
}

HRESULT SiteLock::Decide(CAXLogger& log) {
  WString address;
  const bool page = site_ && PageAddress(site_.Get(), address);
  const bool served = page ? SiteAllowed(policy_.sites, address) : policy_.allowLocalHosts;
  if (served) return S_OK;
  Warn(log, page, address);
  return E_ACCESSDENIED;
}

void SiteLock::Warn(CAXLogger& log, bool page, const WString& address) {
  if (warned_ && warnedPage_ == page && warnedAddress_ == address) return;
  warned_ = true;
  warnedPage_ = page;
  warnedAddress_ = address;
  log.Settings().Load();
  if (page) {
    log.Log(LOG_MAJOR, WSTR("Tessaro WARN  :: SiteLock::Check(1): Refused the page \"%s\": not an allowed site"),
            LoggableAddress(address).c_str());
  } else {
    log.Log(LOG_MAJOR, WSTR("Tessaro WARN  :: SiteLock::Check(2): Refused a host without a page address"));
  }
}

}  // namespace tessaro
