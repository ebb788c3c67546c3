// Date and time formatting with the letters of the log's "Time format" field,
// and the user's locale conventions it draws on. Pure functions: any thread.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace kestrune {

struct TDateTimeParts {
    int Year = 1970;
    int Month = 1; // 1..12
    int Day = 1;   // 1..31
    int Hour = 0;
    int Minute = 0;
    int Second = 0;
    int Millisecond = 0;
    int DayOfWeek = 4; // 0 = Sunday

    // The current local time.
    static TDateTimeParts Now();
    // AWhen in local time.
    static TDateTimeParts At(std::chrono::system_clock::time_point AWhen);
};

struct TFormatSettings {
    char TimeSeparator = ':';
    char DateSeparator = '/';
    char DecimalSeparator = '.';
    std::string ShortDateFormat = "m/d/yyyy";
    std::string LongTimeFormat = "h:nn:ss";
    std::array<std::string, 7> ShortDayNames{"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    std::array<std::string, 7> LongDayNames{"Sunday",   "Monday", "Tuesday", "Wednesday",
                                            "Thursday", "Friday", "Saturday"};
    std::array<std::string, 12> ShortMonthNames{"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::array<std::string, 12> LongMonthNames{"January",   "February", "March",    "April",
                                               "May",       "June",     "July",     "August",
                                               "September", "October",  "November", "December"};

    // The conventions of the process's current locale (LC_TIME, LC_NUMERIC).
    static TFormatSettings FromLocale();
};

// Formats `when` by `format`: h hh n nn s ss z zzz yy yyyy m mm mmm mmmm
// d dd ddd dddd am/pm a/p, ':' and '/' as the user's separators, quoted text
// copied without its quotes, letters in any case; m right after an hour run
// means minutes. An empty format gives the short date and the long time.
std::string FormatDateTime(std::string_view format, const TDateTimeParts& when,
                           const TFormatSettings& settings);

} // namespace kestrune
