// Symbolic names of MAPI status codes and the error texts the participant
// search logs and hands to the page.
#pragma once

#include "platform/mapi.h"
#include "platform/wstr.h"

// Size of the buffer FormatMAPIErrorName writes: three parts of 80 bytes.
constexpr size_t kMAPIErrorNameSize = 240;

// The symbol of value in the named table (table names compare without regard
// to case). With a buffer (at least 80 bytes) the symbol is copied into it
// and the buffer returned; an unknown value writes "0x%08X" into the buffer
// and returns null. An unknown table returns null and writes nothing.
const char* LookupMAPISymbol(const char* table, ULONG value, char* buffer = nullptr);

// "<operation>: <symbol>", or "<operation>: ?? 0x<hex>" for a code no row
// holds. buffer has kMAPIErrorNameSize bytes; the text is returned in it.
char* FormatMAPIErrorName(char* buffer, const char* operation, HRESULT hr);

// The error name followed by the extended error record (record may be null).
WString ComposeMAPIErrorText(HRESULT hr, const char* operation, const MAPIERROR* record);

// The error name text of hr followed by the object's extended error. object
// is anything with MAPI's GetLastError (session, address book). A cancelled
// operation leaves text as it is and asks the object nothing.
template <class T>
void BuildMAPIErrorText(T* object, HRESULT hr, const char* operation, WString& text) {
  if (hr == MAPI_E_USER_CANCEL) return;
  LPMAPIERROR record = nullptr;
  if (object != nullptr && FAILED(object->GetLastError(hr, MAPI_UNICODE, &record)) && record != nullptr) {
    // A failed call has no record to show; give back anything it handed out.
    plat::Mapi().MAPIFreeBuffer(record);
    record = nullptr;
  }
  text = ComposeMAPIErrorText(hr, operation, record);
  if (record != nullptr) plat::Mapi().MAPIFreeBuffer(record);
}
