// The page the stand-in acts as. With `--page-url URL` every control it
// creates is handed a site, as a browser hands one to the controls of a
// page: the site's service provider offers a browser (SID_SWebBrowserApp)
// whose LocationURL is URL. Without it the stand-in is a program and gives
// no site, which the site lock treats as a host without a page address.
#pragma once

#include <string>

#include "platform/com.h"

namespace host {

// Sets the page's address (empty: no page).
void SetPageUrl(const std::string& url);
const std::string& PageUrl();

// Hands control the page's site when a page is set and the control takes
// sites (IObjectWithSite).
void PlaceOnPage(IUnknown* control);

// A call's result by name and value: "E_ACCESSDENIED (0x80070005)", or the
// value alone for results without a name here.
std::string ResultText(HRESULT hr);

// For a call the site lock refused: prints "METHOD: E_ACCESSDENIED
// (0x80070005)" on standard output and returns true.
bool ReportRefused(const char* method, HRESULT hr);

}  // namespace host
