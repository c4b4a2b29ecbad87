// The site lock: with the machine's policy set, a control serves only pages
// from the listed sites.
//
// The controls are safe for scripting and pre-approved for the browser, so
// any page could create them. An administrator limits that with two values
// under HKEY_LOCAL_MACHINE\Software\Norvane\Zelmora\Tessaro (machine policy:
// the user's own hive is never read for them):
// - "AllowedSites" (REG_MULTI_SZ, one site per string; a REG_SZ with the
//   sites separated by ';' or blanks is read the same way): the sites whose
//   pages the controls serve, in the form described in module/SiteAddress.h.
//   While the value is absent the lock is off and the controls behave as
//   they always have. Present but empty, of another type or longer than
//   kMaxPolicyBytes, it lets no page in.
// - "AllowLocalHosts" (REG_DWORD, default 0): whether a host that gives no
//   page address (a script host, a program: no site, or a site that reaches
//   neither a document nor a browser) is served. Read only while
//   "AllowedSites" is present.
// The policy is read once per control, when it is first needed.
//
// The page address comes from the site the host hands the control
// (IObjectWithSite::SetSite): the URL of the document that holds the
// control (the client site's container), else the LocationURL of the
// browser (the site itself, or its service provider's SID_SWebBrowserApp).
// Both are read as properties through the objects' dispatch interfaces. The
// document comes first: in a frame it is the frame's own page, where the
// browser would give the top-level one. A page whose address cannot be read
// is refused.
//
// The decision is made when the site is set and again at every call (the
// page may have navigated). A site taken away again (SetSite(nullptr), as
// hosts do before they let go) leaves the last decision in force. A refused
// call gets E_ACCESSDENIED and does nothing else; one warning line naming
// the refused address (escaped and cut, see LoggableAddress) goes to the
// control's log the first time an address is refused, and again whenever
// the refused address changes.
#pragma once

#include <vector>

#include "module/SiteAddress.h"
#include "platform/com.h"

class CAXLogger;

namespace tessaro {

// The HTML document's interface, asked of the client site's container; only
// its dispatch part is used.
TESSARO_DEFINE_GUID(kIID_IHTMLDocument2, 0x332C4425, 0x26CB, 0x11D0, 0xB4, 0x83, 0x00, 0xC0, 0x4F, 0xD9, 0x01, 0x19);

// The policy key under HKEY_LOCAL_MACHINE and its two values.
extern const WCHAR* const kSitePolicyKey;      // "Software\Norvane\Zelmora\Tessaro"
extern const WCHAR* const kAllowedSitesValue;  // "AllowedSites"
extern const WCHAR* const kAllowLocalHostsValue;  // "AllowLocalHosts"
// A longer "AllowedSites" value is taken as an empty list.
constexpr DWORD kMaxPolicyBytes = 64 * 1024;

struct SitePolicy {
  bool armed = false;  // "AllowedSites" is present
  bool allowLocalHosts = false;
  std::vector<SiteEntry> sites;  // the entries that parse
};

// The machine's policy, read now.
SitePolicy ReadSitePolicy();

// The address of the page a site leads to, read now. True with the address
// when the site reaches a document or a browser (the address is empty when
// it could not be read); false when the site is no page.
bool PageAddress(IUnknown* site, WString& address);

class SiteLock {
 public:
  // True when the policy is set (read on the first call).
  bool Armed();
  // The site the host handed the control (nullptr: taken away). Kept only
  // while the lock is armed; a new site is decided on at once.
  void SetSite(IUnknown* site, CAXLogger& log);
  IUnknown* Site() const { return site_.Get(); }
  // S_OK when the control may serve its host now; otherwise E_ACCESSDENIED,
  // with the warning described above written to log.
  HRESULT Check(CAXLogger& log);

 private:
  HRESULT Decide(CAXLogger& log);
  void Warn(CAXLogger& log, bool page, const WString& address);

  bool loaded_ = false;
  SitePolicy policy_;
  ComPtr<IUnknown> site_;
  bool hadSite_ = false;  // a site was given, and may have been taken away since
  HRESULT last_ = S_OK;
  bool warned_ = false;
  bool warnedPage_ = false;
  WString warnedAddress_;
};

}  // namespace tessaro
