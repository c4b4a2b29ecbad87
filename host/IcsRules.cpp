// iCalendar rules as the recurrence value describes them, or the reason it
// cannot.
#include <memory>
#include <vector>

#include "host/IcsInternal.h"

namespace host::ics {

namespace {

int Count(const short* values, int size) {
  int n = 0;
  while (n < size && values[n] != ICAL_RECURRENCE_ARRAY_MAX) ++n;
  return n;
}

// The day of the month that is the n-th (5: last) of the weekdays in mask.
int NthDay(int year, int month, DWORD mask, int n) {
  std::vector<int> days;
  const icaltimetype first = icaltime_from_day_of_year(1, year);
  for (int d = 1; d <= DaysIn(year, month); ++d) {
    icaltimetype t = first;
    t.month = month;
    t.day = d;
    if (mask & (1u << WeekdayOf(t))) days.push_back(d);
  }
  if (days.empty()) return 0;
  return n == 5 ? days.back() : (static_cast<size_t>(n) <= days.size() ? days[static_cast<size_t>(n - 1)] : 0);
}

DWORD WeekdayMask(const icalrecurrencetype& r, int count) {
  DWORD mask = 0;
  for (int i = 0; i < count; ++i) mask |= 1u << (static_cast<int>(icalrecurrencetype_day_day_of_week(r.by_day[i])) - 1);
  return mask;
}

// The day of the month of monthly and yearly rules.
void MonthDay(const icalrecurrencetype& r, const icaltimetype& start, bool yearly, RecurrenceDescription& d) {
  const int days = Count(r.by_day, ICAL_BY_DAY_SIZE), monthDays = Count(r.by_month_day, ICAL_BY_MONTHDAY_SIZE);
  const int setPositions = Count(r.by_set_pos, ICAL_BY_SETPOS_SIZE);
  if (monthDays > 1) Cannot("several BYMONTHDAY values");
  if (monthDays == 1 && days > 0) Cannot("BYMONTHDAY together with BYDAY");
  if (days == 0) {
    if (setPositions > 0) Cannot("BYSETPOS without BYDAY");
    const int day = monthDays == 1 ? r.by_month_day[0] : start.day;
    if (day == -1) {
      if (start.day != DaysIn(start.year, start.month)) Cannot("DTSTART is not on the last day of its month");
      d.patternType = blob::kPatternMonthEnd;
      d.dayOfMonth = 31;
      return;
    }
    if (day < 1) Cannot("BYMONTHDAY counted from the end other than the last day");
    if (day != start.day) Cannot("DTSTART is not on the rule's day of the month");
    if (!yearly && day > 28)
      Cannot("monthly on day " + std::to_string(day) +
             ": the recurrence value would move it to the last day of shorter months, the file skips them");
    if (yearly && start.month == 2 && day == 29) Cannot("yearly on 29 February");
    d.patternType = blob::kPatternMonth;
    d.dayOfMonth = static_cast<DWORD>(day);
    return;
  }
  int n = 0;
  if (setPositions == 0) {
    const int position = icalrecurrencetype_day_position(r.by_day[0]);
    if (days > 1 || position == 0) Cannot("several weekdays of the month (BYDAY without a position)");
    if (position < -1 || position > 4) Cannot("the weekday in position " + std::to_string(position) + " of the month");
    n = position == -1 ? 5 : position;
  } else {
    for (int i = 0; i < days; ++i)
      if (icalrecurrencetype_day_position(r.by_day[i]) != 0) Cannot("BYSETPOS with positioned BYDAY values");
    if (setPositions > 1) Cannot("several BYSETPOS values");
    const int position = r.by_set_pos[0];
    if (position < -1 || position > 4 || position == 0)
      Cannot("BYSETPOS=" + std::to_string(position) + " (only 1 to 4 and -1 are n-th weekday forms)");
    n = position == -1 ? 5 : position;
  }
  d.patternType = blob::kPatternMonthNth;
  d.weekdayMask = WeekdayMask(r, days);
  d.weekNumber = static_cast<DWORD>(n);
  d.dayOfMonth = 0;
  if (NthDay(start.year, start.month, d.weekdayMask, n) != start.day) Cannot("DTSTART is not on the rule's weekday");
}

// The rule as the recurrence value describes it (frequency, pattern, period).

}  // namespace

void Describe(const icalrecurrencetype& r, const icaltimetype& start, RecurrenceDescription& d) {
  if (r.freq == ICAL_SECONDLY_RECURRENCE || r.freq == ICAL_MINUTELY_RECURRENCE || r.freq == ICAL_HOURLY_RECURRENCE)
    Cannot("a rule more often than daily");
  if (r.freq == ICAL_NO_RECURRENCE) Cannot("a rule without a frequency");
  if (Count(r.by_second, ICAL_BY_SECOND_SIZE) || Count(r.by_minute, ICAL_BY_MINUTE_SIZE) ||
      Count(r.by_hour, ICAL_BY_HOUR_SIZE))
    Cannot("BYHOUR, BYMINUTE or BYSECOND (several times of day)");
  if (Count(r.by_year_day, ICAL_BY_YEARDAY_SIZE)) Cannot("BYYEARDAY");
  if (Count(r.by_week_no, ICAL_BY_WEEKNO_SIZE)) Cannot("BYWEEKNO");
  const int interval = r.interval > 0 ? r.interval : 1;
  if (interval > 99) Cannot("an interval above 99");
  const int days = Count(r.by_day, ICAL_BY_DAY_SIZE), months = Count(r.by_month, ICAL_BY_MONTH_SIZE);
  const bool dayParts = Count(r.by_month_day, ICAL_BY_MONTHDAY_SIZE) || Count(r.by_set_pos, ICAL_BY_SETPOS_SIZE);
  const DWORD startBit = 1u << WeekdayOf(start);
  d.firstDOW = static_cast<DWORD>(r.week_start) >= 1 ? static_cast<DWORD>(r.week_start) - 1 : 1;
  switch (r.freq) {
    case ICAL_DAILY_RECURRENCE:
      if (months || dayParts) Cannot("a daily rule limited by month or day of the month");
      if (days == 0) {
        d.frequency = RecurrenceKind::Daily;
        d.patternType = blob::kPatternDay;
        d.period = static_cast<DWORD>(interval * kDay);
        return;
      }
      if (interval != 1) Cannot("a rule every " + std::to_string(interval) + " days limited to weekdays");
      for (int i = 0; i < days; ++i)
        if (icalrecurrencetype_day_position(r.by_day[i]) != 0) Cannot("a daily rule with positioned weekdays");
      d.weekdayMask = WeekdayMask(r, days);
      if (!(d.weekdayMask & startBit)) Cannot("DTSTART is not on one of the rule's weekdays");
      d.frequency = d.weekdayMask == 0x3E ? RecurrenceKind::Daily : RecurrenceKind::Weekly;
      d.patternType = blob::kPatternWeek;
      d.period = 1;
      return;
    case ICAL_WEEKLY_RECURRENCE:
      if (months || dayParts) Cannot("a weekly rule limited by month or day of the month");
      for (int i = 0; i < days; ++i)
        if (icalrecurrencetype_day_position(r.by_day[i]) != 0) Cannot("a weekly rule with positioned weekdays");
      d.frequency = RecurrenceKind::Weekly;
      d.patternType = blob::kPatternWeek;
      d.period = static_cast<DWORD>(interval);
      d.weekdayMask = days > 0 ? WeekdayMask(r, days) : startBit;
      if (!(d.weekdayMask & startBit)) Cannot("DTSTART is not on one of the rule's weekdays");
      return;
    case ICAL_MONTHLY_RECURRENCE:
      if (months) Cannot("a monthly rule limited to some months");
      d.frequency = RecurrenceKind::Monthly;
      d.period = static_cast<DWORD>(interval);
      MonthDay(r, start, false, d);
      return;
    case ICAL_YEARLY_RECURRENCE:
      if (months > 1) Cannot("several BYMONTH values");
      if (months == 1 && icalrecurrencetype_month_month(r.by_month[0]) != start.month)
        Cannot("BYMONTH other than the month of DTSTART");
      d.frequency = RecurrenceKind::Yearly;
      d.period = static_cast<DWORD>(12 * interval);
      MonthDay(r, start, true, d);
      return;
    default:
      Cannot("an unknown frequency");
  }
}

// How the series ends: its count and the day of its last occurrence, from
// libical's own walk of the rule.
void Ending(const icalrecurrencetype& r, const icaltimetype& start, const Frame& frame, int line,
            RecurrenceDescription& d) {
  if (r.count <= 0 && icaltime_is_null_time(r.until)) {
    d.end = RecurrenceEnd::Never;
    return;
  }
  std::unique_ptr<icalrecur_iterator, void (*)(icalrecur_iterator*)> walk(icalrecur_iterator_new(r, start),
                                                                           icalrecur_iterator_free);
  if (!walk) Cannot("libical cannot walk the rule");
  DWORD n = 0;
  icaltimetype last = start;
  for (icaltimetype t = icalrecur_iterator_next(walk.get()); !icaltime_is_null_time(t);
       t = icalrecur_iterator_next(walk.get())) {
    if (t.year > start.year + 200 || ++n > 999999) Cannot("a series running more than 200 years");
    last = t;
  }
  if (n == 0) Cannot("a rule whose end comes before its first occurrence");
  const long long lastLocal = LocalMinutes(last, frame, line);
  d.end = r.count > 0 ? RecurrenceEnd::AfterCount : RecurrenceEnd::ByDate;
  d.occurrenceCount = n;
  d.endDate = static_cast<DWORD>(lastLocal - lastLocal % kDay);
}

}  // namespace host::ics
