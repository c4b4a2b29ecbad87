// Creating a control as a page's script does: by its ProgID, through the
// classes registered in the registry and the in-process server named there.
#pragma once

#include "platform/com.h"

namespace host {

// Looks progId up (HKCR\progId\CLSID), finds the class's in-process server
// (HKCR\CLSID\{...}\InprocServer32), asks it for the class object and creates
// the control. When the ProgID is not registered, or its server cannot be
// loaded (a copy of the module that moved or went, or another program), this
// program's own copy of the module is registered for the current user, as an
// installer would, a line on standard error says so, and the lookup is made
// once more. The server named in the registry may be this program itself
// (then its own DllGetClassObject answers) or a library, which is loaded and
// kept loaded. With a page set (host/page_site.h) the new control is handed
// the page's site.
HRESULT CreateControl(const WCHAR* progId, REFIID riid, void** ppv);

// The class a ProgID stands for, from the registry.
HRESULT ClassOfProgId(const WCHAR* progId, CLSID* clsid);

}  // namespace host
