#include "base/Clock.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <initializer_list>
#include <string>

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

// Whether text has a digit at each of these places.
static bool digitsAt(const std::string &text, std::initializer_list<size_t> places) {
    return std::all_of(places.begin(), places.end(),
                       [&](size_t at) { return at < text.size() && text[at] >= '0' && text[at] <= '9'; });
}

bool timeStampMs(const std::string &text, long long &ms) {
    // Digits only where the numbers stand: scanf's %2d would also take " 7", "+7" and "-7".
    if (!digitsAt(text, {0, 1, 2, 3, 5, 6, 8, 9, 11, 12, 14, 15, 17, 18})) return false;
    int y, mo, d, h, mi, s, used = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &y, &mo, &d, &h, &mi, &s, &used) != 6 || used != 19)
        return false;
    if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60) return false;
    size_t i = 19;
    long long fraction = 0, scale = 1000;
    if (i < text.size() && text[i] == '.')
        for (++i; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
            if (scale > 1) fraction += (text[i] - '0') * (scale /= 10);
    long long offsetMin = 0;
    const std::string zone = text.substr(std::min(i, text.size()));
    if (zone == "Z") offsetMin = 0;
    else if (zone.size() == 6 && (zone[0] == '+' || zone[0] == '-') && zone[3] == ':' && digitsAt(zone, {1, 2, 4, 5}))
        offsetMin = (zone[0] == '-' ? -1 : 1) * (((zone[1] - '0') * 10 + zone[2] - '0') * 60 + (zone[4] - '0') * 10 + zone[5] - '0');
    else return false;
    const long long days = daysFromCivil(y, (unsigned)mo, (unsigned)d);
    ms = ((days * 24 + h) * 60 + mi - offsetMin) * 60000 + s * 1000LL + fraction;
    return true;
}
