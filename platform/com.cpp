// The pieces of the COM layer that are the same on both targets.
#include <cstring>

#include "platform/com.h"

namespace plat {

WString GuidText(REFGUID guid) {
  OLECHAR text[40] = {};
  const int written = StringFromGUID2(guid, text, 40);
  return written > 0 ? WString(text, static_cast<size_t>(written - 1)) : WString();
}

namespace {

int HexDigit(WCHAR c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool GuidFromText(WStringView text, GUID* guid) {
  static const char kShape[] = "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}";
  if (text.size() != sizeof kShape - 1) return false;
  unsigned char bytes[16];
  int nibbles = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (kShape[i] != 'X') {
      if (text[i] != static_cast<WCHAR>(kShape[i])) return false;
      continue;
    }
    const int d = HexDigit(text[i]);
    if (d < 0) return false;
    if (nibbles % 2 == 0) bytes[nibbles / 2] = static_cast<unsigned char>(d << 4);
    else bytes[nibbles / 2] = static_cast<unsigned char>(bytes[nibbles / 2] | d);
    ++nibbles;
  }
  guid->Data1 = (DWORD{bytes[0]} << 24) | (DWORD{bytes[1]} << 16) | (DWORD{bytes[2]} << 8) | bytes[3];
  guid->Data2 = static_cast<WORD>((bytes[4] << 8) | bytes[5]);
  guid->Data3 = static_cast<WORD>((bytes[6] << 8) | bytes[7]);
  for (int i = 0; i < 8; ++i) guid->Data4[i] = bytes[8 + i];
  return true;
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
