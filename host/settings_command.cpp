// tessaro settings: what each component's diagnostic settings resolve to.
#include <cstdio>

#include "host/commands.h"
#include "module/NamedLogger.h"
#include "platform/wstr.h"

namespace host {

int RunSettings(int, char**) {
  struct Component {
    const WCHAR* prefix;
    const WCHAR* subKey;
  };
  const Component components[] = {{WSTR("CCalPresenceAX :: "), WSTR("Calendar Presence")},
                                  {WSTR("CActiveMonAX :: "), WSTR("Activity Monitor")},
                                  {WSTR("CMapiSearchAX :: "), WSTR("MAPI Search")}};
  for (const auto& c : components) {
    CNamedLogger logger(c.prefix, c.subKey);
    CAXRegistrySettings& s = logger.Settings();
    s.Load();
    std::printf("%s\n  DebugFlags  0x%08x\n  DataFolder  %s\n  LogFile     %s\n", wstr::ToUtf8(c.subKey).c_str(),
                static_cast<unsigned>(s.m_debugFlags.load()), wstr::ToUtf8(s.m_dataFolder).c_str(),
                wstr::ToUtf8(s.m_logFilePath).c_str());
    logger.Log(LOG_MAJOR, WSTR("Tessaro INFO  :: tessaro settings(1): settings of %s loaded"), c.subKey);
  }
  return 0;
}

}  // namespace host
