// Resources on Linux: the program carries them as embedded data, added at
// start-up by the translation units that hold them. Every module handle finds
// the same resources (there is one program).
#include <mutex>
#include <deque>

#include "platform/services.h"
#include "platform/wstr.h"

namespace plat {

namespace {

struct EmbeddedResource {
  WString type;  // empty for a numbered type
  WORD typeId;
  int id;
  const void* data;
  DWORD size;
};

std::mutex& TableLock() {
  static std::mutex lock;
  return lock;
}

// A deque: a handle handed out stays valid when later resources are added.
std::deque<EmbeddedResource>& Table() {
  static std::deque<EmbeddedResource> table;
  return table;
}

bool TypeMatches(const EmbeddedResource& r, LPCWSTR type) {
  if (IS_INTRESOURCE(type)) return r.type.empty() && r.typeId == static_cast<WORD>(reinterpret_cast<std::uintptr_t>(type));
  return !r.type.empty() && r.type == WString(type);
}

}  // namespace

void AddEmbeddedResource(LPCWSTR type, int id, const void* data, DWORD size) {
  EmbeddedResource r{};
  if (IS_INTRESOURCE(type)) {
    r.typeId = static_cast<WORD>(reinterpret_cast<std::uintptr_t>(type));
  } else {
    r.type = type;
  }
  r.id = id;
  r.data = data;
  r.size = size;
  std::lock_guard<std::mutex> lock(TableLock());
  Table().push_back(r);
}

// Only numbered names are carried; a named resource is never found.
HRSRC ModuleService::FindResourceW(HMODULE, LPCWSTR name, LPCWSTR type) {
  if (name == nullptr || type == nullptr || !IS_INTRESOURCE(name)) {
    Errors().SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
  }
  const int id = static_cast<WORD>(reinterpret_cast<std::uintptr_t>(name));
  std::lock_guard<std::mutex> lock(TableLock());
  for (EmbeddedResource& r : Table()) {
    if (r.id == id && TypeMatches(r, type)) return reinterpret_cast<HRSRC>(&r);
  }
  Errors().SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
  return nullptr;
}

DWORD ModuleService::SizeofResource(HMODULE, HRSRC resource) {
  return resource == nullptr ? 0 : reinterpret_cast<EmbeddedResource*>(resource)->size;
}

HGLOBAL ModuleService::LoadResource(HMODULE, HRSRC resource) {
  return resource == nullptr ? nullptr : const_cast<void*>(reinterpret_cast<EmbeddedResource*>(resource)->data);
}

LPVOID ModuleService::LockResource(HGLOBAL data) { return data; }

namespace {
thread_local LCID t_threadLocale = 0x0400;  // LOCALE_USER_DEFAULT
}  // namespace

LCID LocaleService::GetThreadLocale() { return t_threadLocale; }
BOOL LocaleService::SetThreadLocale(LCID locale) {
  t_threadLocale = locale;
  return TRUE;
}

}  // namespace plat
