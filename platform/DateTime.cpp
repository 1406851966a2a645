#include "DateTime.h"

#include <time.h>

#include <cmath>

#include "Exceptions.h"

namespace vantrel {
namespace {

constexpr std::int64_t kMsPerDay = 86400000;

// Days since 1 January 1970 of a proleptic Gregorian date (H. Hinnant's civil calendar algorithm).
constexpr std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (month <= 2));
}

// Day 0 of TDateTime, 30 December 1899, counted from 1 January 1970.
constexpr std::int64_t kEpochOffset = DaysFromCivil(1899, 12, 30);

bool IsLeapYear(int year) {
  return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

int DaysInMonth(int year, int month) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : days[month - 1];
}

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// Whole days and milliseconds into the day. The value is first rounded to the nearest
// millisecond, which undoes the binary fraction's error for values made by EncodeTime; the
// milliseconds themselves are never rounded into the next second. Values before day 0 are
// split by floor, so a date plus a time of day always decodes back to that date and time.
void Split(TDateTime value, std::int64_t& days, std::int64_t& msOfDay) {
  std::int64_t total = std::llround(value * static_cast<double>(kMsPerDay));
  days = FloorDiv(total, kMsPerDay);
  msOfDay = total - days * kMsPerDay;
}

TDateTime FromTimespec(const timespec& ts, bool utc) {
  tm parts{};
  if (utc) {
    gmtime_r(&ts.tv_sec, &parts);
  } else {
    localtime_r(&ts.tv_sec, &parts);
  }
  return EncodeDate(parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday) +
         EncodeTime(parts.tm_hour, parts.tm_min, parts.tm_sec,
                    static_cast<int>(ts.tv_nsec / 1000000));
}

}  // namespace

TDateTime EncodeDate(int year, int month, int day) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
      day > DaysInMonth(year, month))
    throw EConvertError("Invalid argument to date encode");
  return static_cast<TDateTime>(
      DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) - kEpochOffset);
}

TDateTime EncodeTime(int hour, int minute, int second, int millisecond) {
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 ||
      millisecond < 0 || millisecond > 999)
    throw EConvertError("Invalid argument to time encode");
  std::int64_t ms = ((hour * 60LL + minute) * 60 + second) * 1000 + millisecond;
  return static_cast<TDateTime>(ms) / static_cast<TDateTime>(kMsPerDay);
}

void DecodeDate(TDateTime value, int& year, int& month, int& day) {
  std::int64_t days, ms;
  Split(value, days, ms);
  CivilFromDays(days + kEpochOffset, year, month, day);
}

void DecodeTime(TDateTime value, int& hour, int& minute, int& second, int& millisecond) {
  std::int64_t days, ms;
  Split(value, days, ms);
  millisecond = static_cast<int>(ms % 1000);
  ms /= 1000;
  second = static_cast<int>(ms % 60);
  ms /= 60;
  minute = static_cast<int>(ms % 60);
  hour = static_cast<int>(ms / 60);
}

int DayOfWeek(TDateTime value) {
  std::int64_t days, ms;
  Split(value, days, ms);
  // Day 0 was a Saturday (7).
  return static_cast<int>(((days + 6) % 7 + 7) % 7) + 1;
}

TDateTime Now() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return FromTimespec(ts, false);
}

TDateTime NowUtc() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return FromTimespec(ts, true);
}

}  // namespace vantrel
