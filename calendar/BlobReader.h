// BlobReader: a bounded little-endian reader over one binary property value.
//
// Every read checks that the bytes it needs lie inside the value; a read that
// would pass the end does nothing (the target keeps the value it had) and
// reports false, so a parser can go on field after field over short or
// damaged data without ever touching memory outside the value.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/wstr.h"
#include "platform/wintypes.h"

class BlobReader {
 public:
  // A null data pointer is taken as an empty value whatever the size says.
  BlobReader(DWORD size, const BYTE* data) : m_base(data), m_size(data != nullptr ? size : 0) {}

  bool Read16(WORD& field);
  bool Read32(DWORD& field);
  bool Read32(LONG& field);

  // n bytes into a new buffer. Nothing happens when n is 0 or the bytes are
  // not all there; the target then keeps what it held.
  bool ReadBytes(DWORD n, std::optional<std::vector<BYTE>>& target);
  // An n-byte 8-bit text, kept as the bytes read (no terminator is added to
  // the string's contents; std::string keeps one after them).
  bool ReadString8(DWORD n, std::optional<std::string>& target);
  // An n-character 16-bit text (2n bytes).
  bool ReadString16(DWORD n, std::optional<WString>& target);

  // Bytes left between the cursor and the end; 0 at or past the end.
  DWORD Remaining() const { return m_size - m_offset; }
  // Bytes between the start of the value and the cursor.
  DWORD Consumed() const { return m_offset; }
  DWORD Size() const { return m_size; }

  // Moves the cursor n bytes on without a check on the data. The cursor is an
  // offset, never a pointer: a skip that would pass the end stops at the end
  // (it saturates), so the reader never points outside the value, every
  // later read is refused and Consumed() stays within the size.
  void Skip(DWORD n) { m_offset += (n < Remaining()) ? n : Remaining(); }

 private:
  // True when n more bytes are there. Written as a comparison with what is
  // left, so a huge n cannot wrap around.
  bool Has(DWORD n) const { return n <= m_size - m_offset; }

  const BYTE* m_base;
  DWORD m_size;
  DWORD m_offset = 0;  // always <= m_size
};
