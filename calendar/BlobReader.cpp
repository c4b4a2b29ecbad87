#include "calendar/BlobReader.h"

bool BlobReader::Read16(WORD& field) {
  if (!Has(2)) return false;
  const BYTE* p = m_base + m_offset;
  field = static_cast<WORD>(p[0] | (p[1] << 8));
  m_offset += 2;
  return true;
}

bool BlobReader::Read32(DWORD& field) {
  if (!Has(4)) return false;
  const BYTE* p = m_base + m_offset;
  field = static_cast<DWORD>(p[0]) | (static_cast<DWORD>(p[1]) << 8) | (static_cast<DWORD>(p[2]) << 16) |
          (static_cast<DWORD>(p[3]) << 24);
  m_offset += 4;
  return true;
}

bool BlobReader::Read32(LONG& field) {
  DWORD value;
  if (!Read32(value)) return false;
  field = static_cast<LONG>(value);
  return true;
}

bool BlobReader::ReadBytes(DWORD n, std::optional<std::vector<BYTE>>& target) {
  if (n == 0 || !Has(n)) return false;
  const BYTE* p = m_base + m_offset;
  target.emplace(p, p + n);
  m_offset += n;
  return true;
}

bool BlobReader::ReadString8(DWORD n, std::optional<std::string>& target) {
  if (n == 0 || !Has(n)) return false;
  target.emplace(reinterpret_cast<const char*>(m_base + m_offset), n);
  m_offset += n;
  return true;
}

bool BlobReader::ReadString16(DWORD n, std::optional<WString>& target) {
  // 2n is worked out in 64 bits: n may be any 32-bit count.
  const unsigned long long bytes = 2ull * n;
  if (n == 0 || bytes > Remaining()) return false;
  const BYTE* p = m_base + m_offset;
  WString text(n, WCHAR(0));
  for (DWORD i = 0; i < n; ++i) text[i] = static_cast<WCHAR>(p[2 * i] | (p[2 * i + 1] << 8));
  target.emplace(std::move(text));
  m_offset += static_cast<DWORD>(bytes);
  return true;
}
