// The module's exports and, in the Windows DLL, its process entry point.
#include "module/TessaroModule.h"

using tessaro::CTessaroModule;

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
  return CTessaroModule::Instance().GetClassObject(rclsid, riid, ppv);
}

STDAPI DllCanUnloadNow() { return CTessaroModule::Instance().CanUnloadNow(); }

STDAPI DllRegisterServer() { return CTessaroModule::Instance().RegisterServer(); }

STDAPI DllUnregisterServer() { return CTessaroModule::Instance().UnregisterServer(); }

STDAPI DllInstall(BOOL bInstall, LPCWSTR pszCmdLine) {
  return CTessaroModule::Instance().Install(bInstall, pszCmdLine);
}

#ifdef _WIN32
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    if (!CTessaroModule::Instance().Attach(instance)) return FALSE;
  } else if (reason == DLL_PROCESS_DETACH) {
    CTessaroModule::Instance().Detach();
  }
  return TRUE;
}
#endif
