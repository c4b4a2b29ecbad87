// What the registry fuzzers share: a scratch registry folder emptied before
// each input, diagnostics that count the reports instead of printing them,
// and a reader that turns the input's bytes into calls' arguments.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz_check.h"

#include "platform/services.h"
#include "platform/wstr.h"


namespace regfuzz {

inline std::vector<std::string> FilesIn(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(folder.c_str())) {
    while (const dirent* e = ::readdir(dir)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
  }
  return names;
}

inline void EmptyFolder(const std::string& folder) {
  ::mkdir(folder.c_str(), 0700);
  for (const std::string& name : FilesIn(folder)) ::unlink((folder + "/" + name).c_str());
}

// A folder of this process's own, in memory where the machine offers it
// (every change of the registry syncs its file); removed at exit.
inline const std::string& ScratchFolder() {
  static const std::string folder = [] {
    struct stat info {};
    const std::string base = ::stat("/dev/shm", &info) == 0 ? "/dev/shm" : "/tmp";
    return base + "/tessaro-regfuzz-" + std::to_string(::getpid());
  }();
  static const bool removedAtExit = std::atexit([] {
    EmptyFolder(folder);
    ::rmdir(folder.c_str());
  }) == 0;
  (void)removedAtExit;
  return folder;
}

inline void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

inline bool ReadFile(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::stringstream s;
  s << in.rdbuf();
  text = s.str();
  return true;
}

class CountingDiagnostics : public plat::DiagnosticsService {
 public:
  void OutputDebugStringW(LPCWSTR) override { ++reports; }
  int reports = 0;
};

// Splits an input at the first "\xff\xff": the registry file's text before
// it, the rest after it (no separator: all of it is the rest).
inline void Split(const uint8_t* data, size_t size, std::string& file, std::string& rest) {
  const std::string all(reinterpret_cast<const char*>(data), size);
  const size_t sep = all.find("\xff\xff");
  if (sep == std::string::npos) {
    file.clear();
    rest = all;
  } else {
    file = all.substr(0, sep);
    rest = all.substr(sep + 2);
  }
}

// Reads calls' arguments from bytes; past the end everything is zero.
class Reader {
 public:
  explicit Reader(const std::string& bytes) : bytes_(bytes) {}
  bool done() const { return pos_ >= bytes_.size(); }
  uint8_t Byte() { return pos_ < bytes_.size() ? static_cast<uint8_t>(bytes_[pos_++]) : 0; }

  // A name of up to 15 units. Most bytes stand for a letter; the others
  // for the characters that test the file's layout, or (0xff) for any unit
  // given by the next two bytes. A NUL ends the name, as the API sees it.
  WString Name() {
    static const WCHAR special[] = {'\\', '"', '[', ']', '\n', '\r', '\t', ' ', '@', '=', ';', '%', 0x7F, 0xD800,
                                    0xDC00, 0xD83D, 0xDE00, 0xFFFD, 0xE9, 'u', '0', 0};
    const size_t n = Byte() % 16;
    WString name;
    for (size_t i = 0; i < n; ++i) {
      const uint8_t b = Byte();
      WCHAR c;
      if (b == 0xFF) {
        c = static_cast<WCHAR>(Byte() | (Byte() << 8));
      } else if (b >= 0xC0) {
        c = special[(b - 0xC0) % (sizeof special / sizeof special[0])];
      } else {
        c = static_cast<WCHAR>('A' + b % 6);  // few letters, so names meet
        if (b & 0x40) c = wstr::LowerAscii(c);
      }
      if (c == 0) break;
      name.push_back(c);
    }
    return name;
  }

  std::vector<BYTE> Data() {
    std::vector<BYTE> data(Byte() % 24);
    for (BYTE& b : data) b = Byte();
    return data;
  }

 private:
  const std::string& bytes_;
  size_t pos_ = 0;
};

}  // namespace regfuzz
