// Type library registration and type information of a module.
//
// On Windows the library is resource 1 of the module, registered through
// OLE Automation; per-user registration uses the per-user entry points when
// the already loaded "OLEAUT32.DLL" exports them. On Linux there is no
// binary type library: registration writes the library's keys from its
// identity, and no type information is offered.
#pragma once

#include "platform/com.h"
#include "platform/seam.h"

namespace plat {

struct TypeLibIdentity {
  GUID libid;
  WORD major;
  WORD minor;
  LCID lcid;
  LPCWSTR helpString;
};

class TypeLibService {
 public:
  virtual ~TypeLibService() = default;
  // Registers the type library of the module file; the help directory is the
  // directory of the library's help file when it names one.
  virtual HRESULT RegisterTypeLib(LPCWSTR modulePath, const TypeLibIdentity& id, bool perUser);
  virtual HRESULT UnRegisterTypeLib(const TypeLibIdentity& id, bool perUser);
  // The type information of guid (an interface or class) from the module's
  // type library.
  virtual HRESULT LoadTypeInfo(LPCWSTR modulePath, REFGUID guid, ITypeInfo** info);
};

inline TypeLibService& TypeLibs() { return Seam<TypeLibService>::Get(); }

}  // namespace plat
