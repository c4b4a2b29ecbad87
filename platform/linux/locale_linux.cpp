// Time and date pictures as the Windows locale functions format them.
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/services.h"
#include "platform/wstr.h"

namespace plat {

namespace {

const char* const kDayNames[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
const char* const kMonthNames[] = {"January", "February", "March",     "April",   "May",      "June",
                                   "July",    "August",   "September", "October", "November", "December"};

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysIn(int y, int m) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : days[m - 1];
}

int DayOfWeek(int y, int m, int d) {
  // Zeller-style computation, 0 = Sunday.
  static const int t[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
  if (m < 3) y -= 1;
  return (y + y / 4 - y / 100 + y / 400 + t[m - 1] + d) % 7;
}

// A formatted text on the stack: formatting a time allocates nothing (the
// logger formats one for every line it writes).
class PictureText {
 public:
  void push_back(WCHAR c) {
    if (len_ < kCapacity) data_[len_++] = c;
  }
  void append(size_t count, WCHAR c) {
    for (size_t i = 0; i < count; ++i) push_back(c);
  }
  void AppendAscii(const char* s, size_t count) {
    for (size_t i = 0; i < count && s[i] != 0; ++i) push_back(static_cast<WCHAR>(s[i]));
  }
  void AppendAscii(const char* s) { AppendAscii(s, std::strlen(s)); }
  WStringView View() const { return WStringView(data_, len_); }

 private:
  static constexpr size_t kCapacity = 512;
  WCHAR data_[kCapacity];
  size_t len_ = 0;
};

void AppendNumber(PictureText& out, unsigned value, int digits) {
  char buf[16];
  int n = 0;
  do {
    buf[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0 && n < 16);
  for (int i = n; i < digits; ++i) out.push_back('0');
  while (n > 0) out.push_back(static_cast<WCHAR>(buf[--n]));
}

// The short date picture of the system locale, from the C library's locale
// variables: en-US "M/d/yyyy" (also the default), en-GB "dd/MM/yyyy",
// de-DE "dd.MM.yyyy".
const char16_t* SystemShortDate(LCID locale) {
  if (locale == LOCALE_INVARIANT) return u"MM/dd/yyyy";
  const char* name = nullptr;
  for (const char* var : {"LC_ALL", "LC_TIME", "LANG"}) {
    const char* v = ::getenv(var);
    if (v != nullptr && v[0] != 0) {
      name = v;
      break;
    }
  }
  if (name == nullptr) return u"M/d/yyyy";
  if (std::strncmp(name, "en_GB", 5) == 0) return u"dd/MM/yyyy";
  if (std::strncmp(name, "de_", 3) == 0) return u"dd.MM.yyyy";
  return u"M/d/yyyy";
}

// Copies a finished text into the caller's buffer the way the locale
// functions do: size 0 asks for the length including the terminator.
int Finish(const PictureText& picture, LPWSTR out, int size) {
  const WStringView text = picture.View();
  const int needed = static_cast<int>(text.size()) + 1;
  if (size == 0) return needed;
  if (out == nullptr || size < needed) {
    Errors().SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  text.copy(out, text.size());
  out[text.size()] = 0;
  return needed;
}

// Runs over a picture: quoted text is copied, runs of the same letter are
// handed to field(letter, count) and everything else is copied.
template <class Field>
bool ExpandPicture(WStringView picture, PictureText& out, Field field) {
  for (size_t i = 0; i < picture.size();) {
    const WCHAR c = picture[i];
    if (c == '\'') {
      ++i;
      while (i < picture.size()) {
        if (picture[i] == '\'') {
          if (i + 1 < picture.size() && picture[i + 1] == '\'') {
            out.push_back('\'');
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        out.push_back(picture[i++]);
      }
      continue;
    }
    size_t run = 1;
    while (i + run < picture.size() && picture[i + run] == c) ++run;
    if (!field(c, static_cast<int>(run), out)) out.append(run, c);
    i += run;
  }
  return true;
}

}  // namespace

int LocaleService::GetTimeFormatW(LCID, DWORD flags, const SYSTEMTIME* time, LPCWSTR picture, LPWSTR out,
                                  int size) {
  SYSTEMTIME now;
  if (time == nullptr) {
    Clock().GetLocalTime(&now);
    time = &now;
  }
  if (time->wHour > 23 || time->wMinute > 59 || time->wSecond > 59 || time->wMilliseconds > 999 || size < 0) {
    Errors().SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const bool force24 = (flags & TIME_FORCE24HOURFORMAT) != 0;
  WStringView pic = picture != nullptr ? WStringView(picture) : WStringView(force24 ? WSTR("H:mm:ss") : WSTR("h:mm:ss tt"));
  PictureText text;
  ExpandPicture(pic, text, [&](WCHAR c, int n, PictureText& o) {
    switch (c) {
      case 'h': AppendNumber(o, time->wHour % 12 == 0 ? 12 : time->wHour % 12, n >= 2 ? 2 : 1); return true;
      case 'H': AppendNumber(o, time->wHour, n >= 2 ? 2 : 1); return true;
      case 'm': AppendNumber(o, time->wMinute, n >= 2 ? 2 : 1); return true;
      case 's': AppendNumber(o, time->wSecond, n >= 2 ? 2 : 1); return true;
      case 't':
        if (force24) return true;
        o.AppendAscii(time->wHour < 12 ? "AM" : "PM", n >= 2 ? 2 : 1);
        return true;
      default: return false;
    }
  });
  return Finish(text, out, size);
}

int LocaleService::GetDateFormatW(LCID locale, DWORD flags, const SYSTEMTIME* date, LPCWSTR picture, LPWSTR out,
                                  int size) {
  SYSTEMTIME now;
  if (date == nullptr) {
    Clock().GetLocalTime(&now);
    date = &now;
  }
  if (date->wMonth < 1 || date->wMonth > 12 || date->wDay < 1 || date->wDay > DaysIn(date->wYear, date->wMonth) ||
      date->wYear < 1601 || date->wYear > 30827 || size < 0) {
    Errors().SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  WStringView pic;
  if (picture != nullptr) {
    pic = picture;
  } else if (flags & DATE_LONGDATE) {
    pic = WSTR("dddd, MMMM d, yyyy");
  } else {
    pic = SystemShortDate(locale);
  }
  const int dow = DayOfWeek(date->wYear, date->wMonth, date->wDay);
  PictureText text;
  ExpandPicture(pic, text, [&](WCHAR c, int n, PictureText& o) {
    switch (c) {
      case 'd':
        if (n <= 2) AppendNumber(o, date->wDay, n);
        else o.AppendAscii(kDayNames[dow], n == 3 ? 3 : std::strlen(kDayNames[dow]));
        return true;
      case 'M':
        if (n <= 2) AppendNumber(o, date->wMonth, n);
        else o.AppendAscii(kMonthNames[date->wMonth - 1], n == 3 ? 3 : std::strlen(kMonthNames[date->wMonth - 1]));
        return true;
      case 'y':
        if (n <= 2) AppendNumber(o, date->wYear % 100, n);
        else AppendNumber(o, date->wYear, 4);
        return true;
      case 'g': o.AppendAscii("A.D."); return true;
      default: return false;
    }
  });
  return Finish(text, out, size);
}

}  // namespace plat
