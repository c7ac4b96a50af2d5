#include "base/Clock.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

// Without timegm, which Windows lacks.
long long daysFromCivil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = (unsigned)(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + (long long)doe - 719468;
}

namespace {

bool localFields(WallTime when, std::tm &fields) {
    const std::time_t t = std::chrono::system_clock::to_time_t(when);
#ifdef _WIN32
    return localtime_s(&fields, &t) == 0;
#else
    return localtime_r(&t, &fields) != nullptr;
#endif
}

} // namespace

double secondsSince(MonotonicTime start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string timeStamp(WallTime when) {
    std::tm tm{};
    if (!localFields(when, tm)) return "";
    const long long t = (long long)std::chrono::system_clock::to_time_t(when);
    const long long local = daysFromCivil(tm.tm_year + 1900LL, (unsigned)tm.tm_mon + 1, (unsigned)tm.tm_mday) * 86400 +
                            tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec;
    const int offset = (int)((local - t) / 60) % (24 * 60); // minutes east of UTC
    const int ms = (int)(std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count() % 1000);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, (ms + 1000) % 1000, offset < 0 ? '-' : '+',
                  std::abs(offset) / 60, std::abs(offset) % 60);
    return text;
}

std::string fileTimeStamp(WallTime when) {
    std::tm tm{};
    char text[32] = "";
    if (localFields(when, tm)) std::strftime(text, sizeof text, "%Y-%m-%d_%H-%M-%S", &tm);
    return text;
}
