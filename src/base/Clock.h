#ifndef CLOCK_H_
#define CLOCK_H_

// The two clocks of every record: the monotonic one for durations, the wall clock for stamps.

#include <chrono>
#include <string>

using MonotonicTime = std::chrono::steady_clock::time_point;
using WallTime = std::chrono::system_clock::time_point;

// Seconds from start to now on the monotonic clock.
double secondsSince(MonotonicTime start);
// "2026-12-07T14:05:09.123+01:00": local time with milliseconds and its offset from UTC
// (ISO 8601), the one stamp of every record.
std::string timeStamp(WallTime when);
// Milliseconds since 1970 of a time stamp as a record has it, ISO 8601 with its offset
// ("2026-12-07T17:58:32.592+00:00", "...Z"); false for anything else.
bool timeStampMs(const std::string &text, long long &ms);
// Days since 1970-01-01 of a civil date (proleptic Gregorian).
long long daysFromCivil(long long y, unsigned m, unsigned d);
// "2026-12-07_14-05-09": the local time as a name for a file or folder.
std::string fileTimeStamp(WallTime when);

#endif
