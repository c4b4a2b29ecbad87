// BSTR: length-prefixed wide strings of OLE Automation. On Windows these are
// oleaut32's; elsewhere ours, with the same layout (a 32-bit byte count before
// the characters, a terminating zero after them).
#pragma once

#include "platform/wintypes.h"

#ifdef _WIN32
#include <oleauto.h>
#else
using BSTR = WCHAR*;
using OLECHAR = WCHAR;
using LPCOLESTR = const WCHAR*;
BSTR SysAllocString(const OLECHAR* text);
BSTR SysAllocStringLen(const OLECHAR* text, UINT length);
void SysFreeString(BSTR text);
UINT SysStringLen(BSTR text);
UINT SysStringByteLen(BSTR text);
#endif

// Owns one BSTR and frees it once.
class CBstr {
 public:
  CBstr() = default;
  explicit CBstr(const WCHAR* text) : m_str(text != nullptr ? SysAllocString(text) : nullptr) {}
  ~CBstr() { SysFreeString(m_str); }
  CBstr(const CBstr&) = delete;
  CBstr& operator=(const CBstr&) = delete;
  CBstr(CBstr&& other) noexcept : m_str(other.Detach()) {}
  CBstr& operator=(CBstr&& other) noexcept {
    if (this != &other) Attach(other.Detach());
    return *this;
  }
  void Attach(BSTR text) {
    SysFreeString(m_str);
    m_str = text;
  }
  BSTR Detach() {
    BSTR text = m_str;
    m_str = nullptr;
    return text;
  }
  BSTR Get() const { return m_str; }
  UINT Length() const { return SysStringLen(m_str); }

 private:
  BSTR m_str = nullptr;
};
