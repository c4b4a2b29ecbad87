// Fuzzes the registrar: a registry script (UTF-8) registered and then
// unregistered against the Linux registry files, which may start from a
// user.reg as a person may have edited it (before "\xff\xff" in the input).
// Beyond the sanitizers and the fuzzer's time limit (every walk over keys
// ends) it checks that a script that does not parse writes nothing and that
// the registrar never removes a key the script does not name: a top-level
// key in each file stays unless the script names it.
#include "fuzz/registry_fuzz_support.h"
#include "module/Registrar.h"
#include "platform/com.h"
#include "platform/linux/file_registry.h"

namespace {

const char kSentinel[] = "[TessaroSentinel]\n\"kept\"=dword:00000001\n";

bool SentinelStays(plat::FileRegistry& reg, HKEY root) {
  HKEY key = nullptr;
  if (reg.RegOpenKeyW(root, WSTR("TessaroSentinel"), &key) != ERROR_SUCCESS) return false;
  reg.RegCloseKey(key);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static regfuzz::CountingDiagnostics diagnostics;
  static plat::Substitute<plat::DiagnosticsService> quiet(diagnostics);
  std::string text, script;
  regfuzz::Split(data, size, text, script);

  const std::string& folder = regfuzz::ScratchFolder();
  regfuzz::EmptyFolder(folder);
  regfuzz::WriteFile(folder + "/user.reg", kSentinel + text);
  regfuzz::WriteFile(folder + "/machine.reg", kSentinel);
  plat::FileRegistry reg(folder);
  plat::Substitute<plat::RegistryService> installed(reg);

  tessaro::Registrar registrar;
  registrar.AddReplacement(WSTR("MODULE"), WSTR("Z:\\opt\\x.dll"));
  registrar.AddReplacement(WSTR("APPID"), WSTR("{00000000-0000-0000-0000-000000000001}"));
  registrar.AddReplacement(WSTR("OLEMISC"), WSTR("131473"));
  const WString wide = wstr::FromUtf8(script);
  std::string before;
  regfuzz::ReadFile(folder + "/user.reg", before);
  const HRESULT registered = registrar.Run(wide, true);
  if (registered == DISP_E_EXCEPTION) {
    std::string after;
    regfuzz::ReadFile(folder + "/user.reg", after);
    FUZZ_CHECK(after == before);
  }
  registrar.Run(wide, false);

  // The sentinel could only go if the script named it.
  if (wstr::LowerAscii(wide).find(WSTR("sentinel")) == WString::npos) {
    FUZZ_CHECK(SentinelStays(reg, HKEY_LOCAL_MACHINE));
    FUZZ_CHECK(SentinelStays(reg, HKEY_CURRENT_USER));
  }
  return 0;
}
