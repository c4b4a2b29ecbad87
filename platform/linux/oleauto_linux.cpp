#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/oleauto.h"
#include "platform/wstr.h"

BSTR SysAllocStringLen(const OLECHAR* text, UINT length) {
  if (length > 0x3FFFFFFF) return nullptr;
  auto* block = static_cast<std::uint8_t*>(std::malloc(sizeof(std::uint32_t) + (length + 1) * sizeof(WCHAR)));
  if (block == nullptr) return nullptr;
  const std::uint32_t bytes = length * sizeof(WCHAR);
  std::memcpy(block, &bytes, sizeof bytes);
  auto* chars = reinterpret_cast<WCHAR*>(block + sizeof(std::uint32_t));
  if (text != nullptr) {
    std::memcpy(chars, text, bytes);
  } else {
    std::memset(chars, 0, bytes);
  }
  chars[length] = 0;
  return chars;
}

BSTR SysAllocString(const OLECHAR* text) {
  if (text == nullptr) return nullptr;
  return SysAllocStringLen(text, static_cast<UINT>(wstr::Len(text)));
}

void SysFreeString(BSTR text) {
  if (text != nullptr) std::free(reinterpret_cast<std::uint8_t*>(text) - sizeof(std::uint32_t));
}

UINT SysStringByteLen(BSTR text) {
  if (text == nullptr) return 0;
  std::uint32_t bytes;
  std::memcpy(&bytes, reinterpret_cast<std::uint8_t*>(text) - sizeof(std::uint32_t), sizeof bytes);
  return bytes;
}

UINT SysStringLen(BSTR text) { return SysStringByteLen(text) / sizeof(WCHAR); }
