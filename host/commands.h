#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/wintypes.h"

namespace host {

int RunDemo(int argc, char** argv);
int RunSettings(int argc, char** argv);
int RunInspectBlob(int argc, char** argv);
int RunInspectTz(int argc, char** argv);
int RunAway(int argc, char** argv);
int RunParticipants(int argc, char** argv);
int RunStatus(int argc, char** argv);
int RunConvert(int argc, char** argv);

// The inspection behind inspect-blob and inspect-tz: hex text in, Name=value
// lines in out, a message in err; returns the exit status (2: malformed hex).
enum class InspectKind { Recurrence, TimeZone };
int InspectValue(InspectKind kind, std::string_view hex, std::string& out, std::string& err);
bool ParseHex(std::string_view text, std::vector<BYTE>& bytes, std::string& error);

}  // namespace host
