#include "platform/wformat.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace wfmt {

namespace {

// Where formatted characters go: a bounded buffer or a growing string.
class Output {
 public:
  Output(WCHAR* dst, size_t count) : dst_(dst), limit_(count == 0 ? 0 : count - 1) {}
  explicit Output(WString* grow) : grow_(grow) {}

  void Put(WCHAR c) {
    if (grow_ != nullptr) {
      grow_->push_back(c);
    } else if (written_ < limit_) {
      dst_[written_++] = c;
    } else {
      cut_ = true;
    }
  }
  void Repeat(WCHAR c, int n) {
    for (int i = 0; i < n; ++i) Put(c);
  }
  bool Full() const { return grow_ == nullptr && cut_; }
  int Finish(size_t count) {
    if (grow_ != nullptr) return static_cast<int>(grow_->size());
    if (count > 0) dst_[written_] = 0;
    return cut_ ? -1 : static_cast<int>(written_);
  }

 private:
  WCHAR* dst_ = nullptr;
  size_t limit_ = 0;
  size_t written_ = 0;
  bool cut_ = false;
  WString* grow_ = nullptr;
};

struct Conversion {
  bool left = false, plus = false, blank = false, alt = false, zero = false;
  int width = 0;
  int precision = -1;
  enum Size { Default, Short, Long, LongLong, Pointer } size = Default;
  bool narrow = false;  // h for text and chars
  bool wide = false;    // l or w for text and chars
};

void PutPadded(Output& out, const Conversion& fmt, WStringView body, WStringView prefix = {}, bool zeroPad = false) {
  const int len = static_cast<int>(body.size() + prefix.size());
  const int pad = fmt.width > len ? fmt.width - len : 0;
  if (!fmt.left && !zeroPad) out.Repeat(' ', pad);
  for (WCHAR c : prefix) out.Put(c);
  if (!fmt.left && zeroPad) out.Repeat('0', pad);
  for (WCHAR c : body) out.Put(c);
  if (fmt.left) out.Repeat(' ', pad);
}

void PutInteger(Output& out, const Conversion& fmt, WCHAR conv, std::uint64_t magnitude, bool negative) {
  const unsigned base = (conv == 'x' || conv == 'X') ? 16 : (conv == 'o' ? 8 : 10);
  const char* digits = conv == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
  WCHAR buf[72];
  int n = 0;
  while (magnitude != 0) {
    buf[n++] = static_cast<WCHAR>(digits[magnitude % base]);
    magnitude /= base;
  }
  WString body;
  const int minDigits = fmt.precision < 0 ? 1 : fmt.precision;
  for (int i = n; i < minDigits; ++i) body.push_back('0');
  for (int i = n - 1; i >= 0; --i) body.push_back(buf[i]);
  WString prefix;
  if (negative) {
    prefix = WSTR("-");
  } else if ((conv == 'd' || conv == 'i') && fmt.plus) {
    prefix = WSTR("+");
  } else if ((conv == 'd' || conv == 'i') && fmt.blank) {
    prefix = WSTR(" ");
  }
  if (fmt.alt && n > 0) {
    if (conv == 'x') prefix += WSTR("0x");
    if (conv == 'X') prefix += WSTR("0X");
    if (conv == 'o' && (body.empty() || body[0] != '0')) body.insert(body.begin(), WCHAR('0'));
  }
  PutPadded(out, fmt, body, prefix, fmt.zero && fmt.precision < 0);
}

void PutText(Output& out, const Conversion& fmt, WStringView text) {
  if (fmt.precision >= 0 && text.size() > static_cast<size_t>(fmt.precision)) text = text.substr(0, fmt.precision);
  PutPadded(out, fmt, text, {}, fmt.zero);
}

void PutFloat(Output& out, const Conversion& fmt, WCHAR conv, double value) {
  std::string f = "%";
  if (fmt.left) f += '-';
  if (fmt.plus) f += '+';
  if (fmt.blank) f += ' ';
  if (fmt.alt) f += '#';
  if (fmt.zero) f += '0';
  if (fmt.width > 0) f += std::to_string(fmt.width);
  if (fmt.precision >= 0) f += "." + std::to_string(fmt.precision);
  f += static_cast<char>(conv);
  char buf[512];
  std::snprintf(buf, sizeof buf, f.c_str(), value);
  for (const char* p = buf; *p != 0; ++p) out.Put(static_cast<WCHAR>(*p));
}

int ReadNumber(const WCHAR*& p) {
  int n = 0;
  while (*p >= '0' && *p <= '9') {
    if (n < 100000) n = n * 10 + (*p - '0');
    ++p;
  }
  return n;
}

void Run(Output& out, const WCHAR* format, va_list args) {
  if (format == nullptr) return;
  for (const WCHAR* p = format; *p != 0 && !out.Full(); ++p) {
    if (*p != '%') {
      out.Put(*p);
      continue;
    }
    ++p;
    Conversion fmt;
    for (;; ++p) {
      if (*p == '-') fmt.left = true;
      else if (*p == '+') fmt.plus = true;
      else if (*p == ' ') fmt.blank = true;
      else if (*p == '#') fmt.alt = true;
      else if (*p == '0') fmt.zero = true;
      else break;
    }
    if (*p == '*') {
      fmt.width = va_arg(args, int);
      if (fmt.width < 0) fmt.left = true, fmt.width = -fmt.width;
      ++p;
    } else {
      fmt.width = ReadNumber(p);
    }
    if (*p == '.') {
      ++p;
      if (*p == '*') {
        fmt.precision = va_arg(args, int);
        if (fmt.precision < 0) fmt.precision = -1;
        ++p;
      } else {
        fmt.precision = ReadNumber(p);
      }
    }
    if (fmt.left) fmt.zero = false;
    // Size prefixes.
    if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
      fmt.size = Conversion::LongLong, p += 3;
    } else if (p[0] == 'I' && p[1] == '3' && p[2] == '2') {
      fmt.size = Conversion::Long, p += 3;
    } else if (p[0] == 'I') {
      fmt.size = Conversion::Pointer, ++p;
    } else if (p[0] == 'l' && p[1] == 'l') {
      fmt.size = Conversion::LongLong, p += 2;
    } else if (p[0] == 'l' || p[0] == 'w') {
      fmt.size = Conversion::Long, fmt.wide = true, ++p;
    } else if (p[0] == 'h') {
      fmt.size = Conversion::Short, fmt.narrow = true, ++p;
      if (*p == 'h') ++p;
    } else if (p[0] == 'L' || p[0] == 'z' || p[0] == 't' || p[0] == 'j') {
      if (*p != 'L') fmt.size = Conversion::Pointer;
      ++p;
    }
    const WCHAR conv = *p;
    switch (conv) {
      case 0:
        return;
      case '%':
        out.Put('%');
        break;
      case 'd':
      case 'i': {
        std::int64_t v;
        if (fmt.size == Conversion::LongLong) v = va_arg(args, long long);
        else if (fmt.size == Conversion::Pointer) v = static_cast<std::intptr_t>(va_arg(args, std::intptr_t));
        else if (fmt.size == Conversion::Short) v = static_cast<short>(va_arg(args, int));
        else v = static_cast<std::int32_t>(va_arg(args, int));
        const std::uint64_t mag = v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
        PutInteger(out, fmt, conv, mag, v < 0);
        break;
      }
      case 'u':
      case 'x':
      case 'X':
      case 'o': {
        std::uint64_t v;
        if (fmt.size == Conversion::LongLong) v = va_arg(args, unsigned long long);
        else if (fmt.size == Conversion::Pointer) v = va_arg(args, std::uintptr_t);
        else if (fmt.size == Conversion::Short) v = static_cast<unsigned short>(va_arg(args, unsigned));
        else v = static_cast<std::uint32_t>(va_arg(args, unsigned));
        PutInteger(out, fmt, conv, v, false);
        break;
      }
      case 'p': {
        Conversion ptr = fmt;
        ptr.precision = static_cast<int>(sizeof(void*) * 2);
        PutInteger(out, ptr, 'X', reinterpret_cast<std::uintptr_t>(va_arg(args, void*)), false);
        break;
      }
      case 'c':
      case 'C': {
        const int v = va_arg(args, int);
        const bool narrowChar = fmt.narrow || (conv == 'C' && !fmt.wide);
        const WCHAR c = narrowChar ? static_cast<WCHAR>(static_cast<unsigned char>(v)) : static_cast<WCHAR>(v);
        PutPadded(out, fmt, WStringView(&c, 1), {}, fmt.zero);
        break;
      }
      case 's':
      case 'S': {
        const bool narrowText = fmt.narrow || (conv == 'S' && !fmt.wide);
        if (narrowText) {
          const char* s = va_arg(args, const char*);
          PutText(out, fmt, s == nullptr ? WString(WSTR("(null)")) : wstr::FromUtf8(s));
        } else {
          const WCHAR* s = va_arg(args, const WCHAR*);
          PutText(out, fmt, s == nullptr ? WStringView(WSTR("(null)")) : WStringView(s));
        }
        break;
      }
      case 'e':
      case 'E':
      case 'f':
      case 'F':
      case 'g':
      case 'G':
      case 'a':
      case 'A':
        PutFloat(out, fmt, conv, va_arg(args, double));
        break;
      case 'n':
        (void)va_arg(args, void*);  // never written through
        break;
      default:
        out.Put(conv);
        break;
    }
  }
}

}  // namespace

int FormatV(WCHAR* dst, size_t count, const WCHAR* format, va_list args) {
  if (dst == nullptr) return count == 0 ? 0 : -1;
  Output out(dst, count);
  va_list copy;
  va_copy(copy, args);
  Run(out, format, copy);
  va_end(copy);
  if (count == 0) return -1;
  return out.Finish(count);
}

int Format(WCHAR* dst, size_t count, const WCHAR* format, ...) {
  va_list args;
  va_start(args, format);
  const int n = FormatV(dst, count, format, args);
  va_end(args);
  return n;
}

WString StringV(const WCHAR* format, va_list args) {
  WString text;
  Output out(&text);
  va_list copy;
  va_copy(copy, args);
  Run(out, format, copy);
  va_end(copy);
  return text;
}

WString String(const WCHAR* format, ...) {
  va_list args;
  va_start(args, format);
  WString text = StringV(format, args);
  va_end(args);
  return text;
}

}  // namespace wfmt
