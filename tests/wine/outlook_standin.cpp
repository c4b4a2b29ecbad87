// outlook.exe: a stand-in for the mail client, for the tests that need one
// in the process list. It does nothing but stay alive: until the named event
// given on its command line is signalled, or for at most the number of
// seconds given, whichever comes first.
//
//   outlook.exe SECONDS [EVENT]
//
// The test that starts it also stops it (by its process handle) should it
// not end by itself.
#include <windows.h>

#include <cwchar>
#include <cwctype>

int wmain(int argc, wchar_t** argv) {
  DWORD seconds = 60;
  if (argc > 1 && std::iswdigit(argv[1][0])) seconds = static_cast<DWORD>(std::wcstoul(argv[1], nullptr, 10));
  HANDLE stop = nullptr;
  if (argc > 2) stop = ::CreateEventW(nullptr, TRUE, FALSE, argv[2]);
  if (stop != nullptr) {
    ::WaitForSingleObject(stop, seconds * 1000);
    ::CloseHandle(stop);
  } else {
    ::Sleep(seconds * 1000);
  }
  return 0;
}
