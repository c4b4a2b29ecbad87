#include "platform/linux/paths.h"

#include <cerrno>

namespace plat::linux_paths {

namespace {

WStringView StripLongPrefix(WStringView p) {
  if (p.size() >= 4 && p[0] == '\\' && p[1] == '\\' && p[2] == '?' && p[3] == '\\') p.remove_prefix(4);
  return p;
}

bool HasDrive(WStringView p) {
  return p.size() >= 2 && p[1] == ':' &&
         ((p[0] >= 'A' && p[0] <= 'Z') || (p[0] >= 'a' && p[0] <= 'z'));
}

}  // namespace

WString FromUnix(const std::string& unixPath) {
  WString out = WSTR("Z:");
  if (unixPath.empty() || unixPath[0] != '/') out.push_back('\\');
  for (WCHAR c : wstr::FromUtf8(unixPath)) out.push_back(c == '/' ? WCHAR('\\') : c);
  return out;
}

bool ToUnix(WStringView winPath, std::string& unixPath) {
  WStringView p = StripLongPrefix(winPath);
  if (HasDrive(p)) {
    if (wstr::LowerAscii(p[0]) != 'z') return false;
    p.remove_prefix(2);
    if (p.empty()) p = WSTR("\\");
  }
  WString converted(p);
  for (auto& c : converted)
    if (c == '\\') c = '/';
  unixPath = wstr::ToUtf8(converted);
  return true;
}

bool IsAbsolute(WStringView winPath) {
  WStringView p = StripLongPrefix(winPath);
  if (HasDrive(p)) return p.size() >= 3 && p[2] == '\\';
  return !p.empty() && p[0] == '\\';
}

DWORD ErrorFromErrno(int err) {
  switch (err) {
    case 0: return ERROR_SUCCESS;
    case ENOENT:
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case EACCES:
    case EPERM: return ERROR_ACCESS_DENIED;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case ENOSPC: return ERROR_DISK_FULL;
    case EROFS: return ERROR_WRITE_PROTECT;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL: return ERROR_INVALID_NAME;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    default: return ERROR_INVALID_FUNCTION;
  }
}

}  // namespace plat::linux_paths
