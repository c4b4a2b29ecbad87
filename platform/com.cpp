// The pieces of the COM layer that are the same on both targets.
#include <cstring>

#include "platform/com.h"

namespace plat {

WString GuidText(REFGUID guid) {
  OLECHAR text[40] = {};
  const int written = StringFromGUID2(guid, text, 40);
  return written > 0 ? WString(text, static_cast<size_t>(written - 1)) : WString();
}

VARIANT DerefVariant(const VARIANTARG& arg) {
  VARIANT v = arg;
  // A script variable is a reference to a VARIANT, which may itself hold a
  // typed reference; nothing legitimate goes deeper than that.
  for (int depth = 0; depth < 2 && (v.vt & VT_BYREF) != 0 && v.byref != nullptr; ++depth) {
    const VARTYPE base = static_cast<VARTYPE>(v.vt & ~VT_BYREF);
    if (base == VT_VARIANT) {
      v = *v.pvarVal;
      continue;
    }
    size_t size = 0;
    if (base & VT_ARRAY) {
      size = sizeof(SAFEARRAY*);
    } else {
      switch (base) {
        case VT_I1: case VT_UI1:
          size = 1;
          break;
        case VT_I2: case VT_UI2: case VT_BOOL:
          size = 2;
          break;
        case VT_I4: case VT_UI4: case VT_INT: case VT_UINT: case VT_R4: case VT_ERROR:
          size = 4;
          break;
        case VT_I8: case VT_UI8: case VT_R8: case VT_DATE: case VT_CY:
          size = 8;
          break;
        case VT_BSTR:
          size = sizeof(BSTR);
          break;
        case VT_UNKNOWN: case VT_DISPATCH:
          size = sizeof(IUnknown*);
          break;
        default:
          return v;  // decimals and records stay references
      }
    }
    VARIANT value;
    std::memset(&value, 0, sizeof value);
    value.vt = base;
    std::memcpy(&value.llVal, v.byref, size);
    return value;
  }
  return v;
}

}  // namespace plat
