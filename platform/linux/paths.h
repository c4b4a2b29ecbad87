// Linux presents its file system the way Wine does: drive Z: is the root
// directory and the separator is a backslash, so code that looks for the last
// backslash or prefixes "\\?\" works unchanged. The translation happens only
// at the file-system calls.
#pragma once

#include <string>

#include "platform/wstr.h"

namespace plat::linux_paths {

// "/home/me/.config" -> "Z:\home\me\.config".
WString FromUnix(const std::string& unixPath);

// "Z:\home\me", "\\?\Z:\home\me", "\home\me" -> "/home/me"; a relative path
// keeps being relative. Returns false for a drive other than Z:.
bool ToUnix(WStringView winPath, std::string& unixPath);

// True for "X:\..." or a leading backslash (after any "\\?\" prefix).
bool IsAbsolute(WStringView winPath);

// Maps an errno value of a file-system call to the system error code.
DWORD ErrorFromErrno(int err);

}  // namespace plat::linux_paths
