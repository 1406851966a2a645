// This is a public header file.
// TDateTime: days since 30 December 1899 as a double, the fraction being the time of day.
#pragma once

#include <cstdint>

namespace vantrel {

using TDateTime = double;

TDateTime EncodeDate(int year, int month, int day);  // raises EConvertError for an invalid date
TDateTime EncodeTime(int hour, int minute, int second, int millisecond);
void DecodeDate(TDateTime value, int& year, int& month, int& day);
// Milliseconds are truncated, never rounded up into the next second.
void DecodeTime(TDateTime value, int& hour, int& minute, int& second, int& millisecond);
int DayOfWeek(TDateTime value);  // 1 = Sunday ... 7 = Saturday
TDateTime Now();                 // local time
TDateTime NowUtc();

}  // namespace vantrel
