// tessaro inspect-blob HEX / inspect-tz HEX: the fields that the parsers read
// from a recurrence blob or a time zone structure, one Name=value line each.
#include <cstdio>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "calendar/RecurrenceBlob.h"
#include "host/commands.h"
#include "platform/services.h"
#include "platform/wstr.h"

namespace host {

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

// Texts go on one line: control characters, and the backslash that
// introduces the escapes, are written as escapes (\\, \n, \r, \t, \xHH).
std::string Escaped(const std::string& utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (char c : utf8) {
    const auto b = static_cast<unsigned char>(c);
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (b < 0x20 || b == 0x7F) {
      char buf[5];
      std::snprintf(buf, sizeof buf, "\\x%02X", b);
      out += buf;
    } else {
      out += c;
    }
  }
  return out;
}

// An 8-bit text is in the thread's code page, as the calendar reads it. When
// the conversion is not available the bytes are taken as Latin-1, so that
// the command still shows something readable.
WString FromEightBit(const std::string& bytes) {
  if (bytes.empty()) return WString();
  const int length = static_cast<int>(bytes.size());
  const int needed = plat::Locale().MultiByteToWideChar(CP_THREAD_ACP, 0, bytes.data(), length, nullptr, 0);
  if (needed > 0) {
    WString text(static_cast<size_t>(needed), WCHAR(0));
    if (plat::Locale().MultiByteToWideChar(CP_THREAD_ACP, 0, bytes.data(), length, &text[0], needed) == needed)
      return text;
  }
  WString text;
  text.reserve(bytes.size());
  for (char c : bytes) text.push_back(static_cast<WCHAR>(static_cast<unsigned char>(c)));
  return text;
}

class LinePrinter : public BlobFieldSink {
 public:
  explicit LinePrinter(std::string& out) : m_out(out) {}
  void Number(const std::string& name, long long value) override { Line(name, std::to_string(value)); }
  void Text8(const std::string& name, const std::string& bytes) override {
    Line(name, Escaped(wstr::ToUtf8(FromEightBit(bytes))));
  }
  void Text16(const std::string& name, const WString& text) override { Line(name, Escaped(wstr::ToUtf8(text))); }
  void Bytes(const std::string& name, const std::vector<BYTE>& bytes) override {
    static const char digits[] = "0123456789ABCDEF";
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (BYTE b : bytes) hex += digits[b >> 4], hex += digits[b & 15];
    Line(name, hex);
  }

 private:
  void Line(const std::string& name, const std::string& value) {
    m_out += name;
    m_out += '=';
    m_out += value;
    m_out += '\n';
  }
  std::string& m_out;
};

int RunInspect(InspectKind kind, const char* command, int argc, char** argv) {
  if (argc != 1) {
    std::fprintf(stderr, "usage: tessaro %s HEX   (HEX: the value as hexadecimal text, or - for standard input)\n",
                 command);
    return 2;
  }
  std::string text = argv[0];
  if (text == "-") text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  std::string out, err;
  const int status = InspectValue(kind, text, out, err);
  std::fputs(out.c_str(), stdout);
  if (!err.empty()) std::fprintf(stderr, "tessaro %s: %s\n", command, err.c_str());
  return status;
}

}  // namespace

bool ParseHex(std::string_view text, std::vector<BYTE>& bytes, std::string& error) {
  bytes.clear();
  bytes.reserve(text.size() / 2);
  int high = -1;
  size_t digits = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (IsSpace(c)) continue;
    const int v = HexDigit(c);
    if (v < 0) {
      const auto b = static_cast<unsigned char>(c);
      char what[16];
      if (b >= 0x21 && b < 0x7F)
        std::snprintf(what, sizeof what, "'%c'", c);
      else
        std::snprintf(what, sizeof what, "byte 0x%02X", b);
      error = std::string("malformed hexadecimal: ") + what + " at position " + std::to_string(i + 1) +
              " is not a hexadecimal digit";
      return false;
    }
    ++digits;
    if (high < 0) {
      high = v;
    } else {
      bytes.push_back(static_cast<BYTE>(high << 4 | v));
      high = -1;
    }
  }
  if (high >= 0) {
    error = "malformed hexadecimal: odd number of digits (" + std::to_string(digits) +
            "); each byte takes two";
    return false;
  }
  return true;
}

int InspectValue(InspectKind kind, std::string_view hex, std::string& out, std::string& err) {
  std::vector<BYTE> value;
  if (!ParseHex(hex, value, err)) return 2;
  LinePrinter printer(out);
  // A zero-length value still has a (non-null) place to point at.
  static const BYTE empty = 0;
  const BYTE* data = value.empty() ? &empty : value.data();
  const auto size = static_cast<DWORD>(value.size());
  if (kind == InspectKind::Recurrence)
    ParseAppointmentRecurrence(size, data, &printer);
  else
    ParseTimeZoneStruct(size, data, &printer);
  return 0;
}

int RunInspectBlob(int argc, char** argv) { return RunInspect(InspectKind::Recurrence, "inspect-blob", argc, argv); }

int RunInspectTz(int argc, char** argv) { return RunInspect(InspectKind::TimeZone, "inspect-tz", argc, argv); }

}  // namespace host
