#!/bin/sh
# An iCalendar file with meetings around now goes through the Linux build's
# "tessaro convert"; "tessaro status" (Linux) finds the meetings in progress
# in the .ics and in the converted file, which must agree; then the Windows
# program runs under Wine with ZLMTessaro.dll registered and the provider
# reading the converted file, and checks that the page hears of the same
# meetings.
# Usage: converted_calendar.sh BUILD_DIR NATIVE_TESSARO SERVER_DLL PROGRAM [ARGS...]
set -u
build=$1 native=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
[ -x "$native" ] || { echo "the Linux build's tessaro is missing: $native" >&2; exit 77; }
work=$build/tests/converted_calendar
rm -rf "$work"
mkdir -p "$work/registry"
export TESSARO_REGISTRY_DIR="$work/registry"

now=$(date -u +%s)
utc() { date -u -d "@$(( now + $1 ))" +%Y%m%dT%H%M%SZ; }
berlin() { TZ=Europe/Berlin date -d "@$(( now + $1 ))" +%Y%m%dT%H%M00; }
weekday() { TZ=Europe/Berlin date -d "@$(( now + $1 ))" +%a | cut -c1-2 | tr a-z A-Z; }
day=86400
{
  printf 'BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Tessaro//converted calendar test//EN\r\n'
  printf 'BEGIN:VTIMEZONE\r\nTZID:Europe/Berlin\r\n'
  printf 'BEGIN:DAYLIGHT\r\nTZOFFSETFROM:+0100\r\nTZOFFSETTO:+0200\r\nDTSTART:19810329T020000\r\n'
  printf 'RRULE:FREQ=YEARLY;BYMONTH=3;BYDAY=-1SU\r\nEND:DAYLIGHT\r\n'
  printf 'BEGIN:STANDARD\r\nTZOFFSETFROM:+0200\r\nTZOFFSETTO:+0100\r\nDTSTART:19961027T030000\r\n'
  printf 'RRULE:FREQ=YEARLY;BYMONTH=10;BYDAY=-1SU\r\nEND:STANDARD\r\nEND:VTIMEZONE\r\n'
  # In progress: a single meeting in UTC and this week's meeting of a series.
  printf 'BEGIN:VEVENT\r\nUID:single\r\nSUMMARY:Design review\r\nLOCATION:Room 4.12\r\n'
  printf 'DTSTART:%s\r\nDTEND:%s\r\nEND:VEVENT\r\n' "$(utc -600)" "$(utc 3000)"
  printf 'BEGIN:VEVENT\r\nUID:weekly\r\nSUMMARY:Weekly sync\r\nRRULE:FREQ=WEEKLY;BYDAY=%s\r\n' "$(weekday -1200)"
  printf 'DTSTART;TZID=Europe/Berlin:%s\r\nDTEND;TZID=Europe/Berlin:%s\r\nEND:VEVENT\r\n' \
    "$(berlin $(( -1200 - 3 * 7 * day )))" "$(berlin $(( 2400 - 3 * 7 * day )))"
  # Not meetings now: free, private, deleted today, and to come.
  printf 'BEGIN:VEVENT\r\nUID:free\r\nSUMMARY:Focus time\r\nTRANSP:TRANSPARENT\r\n'
  printf 'DTSTART:%s\r\nDTEND:%s\r\nEND:VEVENT\r\n' "$(utc -300)" "$(utc 1800)"
  printf 'BEGIN:VEVENT\r\nUID:private\r\nSUMMARY:Dentist\r\nCLASS:PRIVATE\r\n'
  printf 'DTSTART:%s\r\nDTEND:%s\r\nEND:VEVENT\r\n' "$(utc -300)" "$(utc 1800)"
  printf 'BEGIN:VEVENT\r\nUID:daily\r\nSUMMARY:Standup\r\nRRULE:FREQ=DAILY\r\n'
  printf 'DTSTART;TZID=Europe/Berlin:%s\r\nDTEND;TZID=Europe/Berlin:%s\r\n' \
    "$(berlin $(( -900 - 5 * day )))" "$(berlin $(( 900 - 5 * day )))"
  printf 'EXDATE;TZID=Europe/Berlin:%s\r\nEND:VEVENT\r\n' "$(berlin -900)"
  printf 'BEGIN:VEVENT\r\nUID:later\r\nSUMMARY:Budget planning\r\n'
  printf 'DTSTART:%s\r\nDTEND:%s\r\nEND:VEVENT\r\n' "$(utc 10800)" "$(utc 14400)"
  printf 'END:VCALENDAR\r\n'
} > "$work/calendar.ics"

at=$(date -u -d "@$now" +%Y-%m-%dT%H:%M:%S)
"$native" convert "$work/calendar.ics" > "$work/calendar.txt" || { echo "tessaro convert failed" >&2; exit 1; }
"$native" status --calendar "$work/calendar.ics" --now "$at" > "$work/from-ics.txt"
rc=$?
[ $rc -le 1 ] || { echo "tessaro status failed on the .ics ($rc)" >&2; exit 1; }
"$native" status --calendar "$work/calendar.txt" --now "$at" > "$work/expected.txt"
[ $? -eq $rc ] || { echo "tessaro status answers differently for the converted file" >&2; exit 1; }
cmp -s "$work/from-ics.txt" "$work/expected.txt" || {
  echo "tessaro status differs between the .ics and the converted file:" >&2
  diff "$work/from-ics.txt" "$work/expected.txt" >&2
  exit 1
}
unset TESSARO_REGISTRY_DIR
export TESSARO_CONVERTED_CALENDAR="$work/calendar.txt" TESSARO_EXPECTED_MEETINGS="$work/expected.txt"
WINEDEBUG=-all exec "$here/with_server.sh" "$build" "$@"
