#include "base/TimeFormat.h"

#include <cctype>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <ctime>
#include <langinfo.h>
#include <sys/time.h>

namespace kestrune {

TDateTimeParts TDateTimeParts::Now() {
    return At(std::chrono::system_clock::now());
}

TDateTimeParts TDateTimeParts::At(std::chrono::system_clock::time_point AWhen) {
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(AWhen.time_since_epoch());
    const auto secs = floor<seconds>(ms);
    const auto whole = static_cast<time_t>(secs.count());
    tm local{};
    localtime_r(&whole, &local);
    TDateTimeParts p;
    p.Year = local.tm_year + 1900;
    p.Month = local.tm_mon + 1;
    p.Day = local.tm_mday;
    p.Hour = local.tm_hour;
    p.Minute = local.tm_min;
    p.Second = local.tm_sec;
    p.Millisecond = static_cast<int>((ms - secs).count());
    p.DayOfWeek = local.tm_wday;
    return p;
}

namespace {

// Turns a strftime pattern of the locale into the letters of FormatDateTime.
std::string FromStrftime(const char* pattern, char& dateSep, char& timeSep) {
    std::string out;
    for (const char* p = pattern; *p; ++p) {
        if (*p != '%') {
            if (*p == '/' || *p == '.' || *p == '-')
                dateSep = *p;
            if (*p == ':')
                timeSep = *p;
            out += (*p == '\'' || *p == '"' || std::isalpha(static_cast<unsigned char>(*p)))
                       ? std::string("\"") + *p + "\""
                       : std::string(1, *p);
            continue;
        }
        ++p;
        while (*p == 'E' || *p == 'O' || *p == '-' || *p == '_' || *p == '0')
            ++p;
        switch (*p) {
        case 'd':
            out += "dd";
            break;
        case 'e':
            out += "d";
            break;
        case 'm':
            out += "mm";
            break;
        case 'y':
            out += "yy";
            break;
        case 'Y':
            out += "yyyy";
            break;
        case 'b':
        case 'h':
            out += "mmm";
            break;
        case 'B':
            out += "mmmm";
            break;
        case 'a':
            out += "ddd";
            break;
        case 'A':
            out += "dddd";
            break;
        case 'H':
            out += "hh";
            break;
        case 'k':
            out += "h";
            break;
        case 'I':
            out += "hh";
            break;
        case 'l':
            out += "h";
            break;
        case 'M':
            out += "nn";
            break;
        case 'S':
            out += "ss";
            break;
        case 'p':
            out += "am/pm";
            break;
        case 'T':
            out += "hh:nn:ss";
            break;
        case 'R':
            out += "hh:nn";
            break;
        case 'D':
            out += "mm/dd/yy";
            break;
        case 'F':
            out += "yyyy-mm-dd";
            break;
        case '%':
            out += '%';
            break;
        case '\0':
            return out;
        default:
            break; // time zone and the like: not shown
        }
    }
    // The local conventions use ':' and '/' literally; keep them as separators.
    return out;
}

std::string Padded(int value, int width) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%0*d", width, value);
    return buf;
}

bool StartsWithNoCase(std::string_view text, std::size_t at, std::string_view what) {
    if (text.size() - at < what.size())
        return false;
    for (std::size_t i = 0; i < what.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[at + i])) != what[i])
            return false;
    return true;
}

char Upper(char c) {
    return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
}

// An hour run shows the 12-hour clock when a marker follows it before the next
// hour run (markers inside quotes do not count).
bool TwelveHourAhead(std::string_view f, std::size_t from) {
    char quote = 0;
    for (std::size_t i = from; i < f.size(); ++i) {
        const char c = f[i];
        if (quote) {
            if (c == quote)
                quote = 0;
            continue;
        }
        if (c == '\'' || c == '"') {
            quote = c;
        } else if (c == 'h' || c == 'H') {
            return false;
        } else if (c == 'a' || c == 'A') {
            if (StartsWithNoCase(f, i, "am/pm") || StartsWithNoCase(f, i, "a/p"))
                return true;
        }
    }
    return false;
}

void Format(std::string& out, std::string_view f, const TDateTimeParts& t, const TFormatSettings& s,
            int depth) {
    char last = 0; // the last letter run, upper case
    std::size_t i = 0;
    while (i < f.size()) {
        const char c = f[i];
        const char u = Upper(c);
        std::size_t run = 1;
        while (i + run < f.size() && Upper(f[i + run]) == u)
            ++run;
        switch (u) {
        case 'Y':
            out += run <= 2 ? Padded(t.Year % 100, 2) : Padded(t.Year, 4);
            break;
        case 'M':
            if (last == 'H') {
                out += Padded(t.Minute, run == 1 ? 1 : 2);
                run = std::min<std::size_t>(run, 2);
            } else if (run == 1) {
                out += std::to_string(t.Month);
            } else if (run == 2) {
                out += Padded(t.Month, 2);
            } else if (run == 3) {
                out += s.ShortMonthNames[(t.Month + 11) % 12];
            } else {
                out += s.LongMonthNames[(t.Month + 11) % 12];
            }
            break;
        case 'D':
            if (run == 1) {
                out += std::to_string(t.Day);
            } else if (run == 2) {
                out += Padded(t.Day, 2);
            } else if (run == 3) {
                out += s.ShortDayNames[t.DayOfWeek % 7];
            } else if (run == 4) {
                out += s.LongDayNames[t.DayOfWeek % 7];
            } else if (depth < 2) { // ddddd: the short date
                Format(out, s.ShortDateFormat, t, s, depth + 1);
            }
            break;
        case 'H': {
            int hour = t.Hour;
            if (TwelveHourAhead(f, i + run)) {
                hour %= 12;
                if (hour == 0)
                    hour = 12;
            }
            out += run == 1 ? std::to_string(hour) : Padded(hour, 2);
            break;
        }
        case 'N':
            out += run == 1 ? std::to_string(t.Minute) : Padded(t.Minute, 2);
            break;
        case 'S':
            out += run == 1 ? std::to_string(t.Second) : Padded(t.Second, 2);
            break;
        case 'Z':
            out += run <= 2 ? std::to_string(t.Millisecond) : Padded(t.Millisecond, 3);
            break;
        case 'T':
            if (depth < 2)
                Format(out, s.LongTimeFormat, t, s, depth + 1);
            break;
        case 'A':
            if (StartsWithNoCase(f, i, "am/pm")) {
                out += t.Hour < 12 ? f.substr(i, 2) : f.substr(i + 3, 2);
                run = 5;
            } else if (StartsWithNoCase(f, i, "a/p")) {
                out += t.Hour < 12 ? f.substr(i, 1) : f.substr(i + 2, 1);
                run = 3;
            } else {
                out += c;
                run = 1;
            }
            break;
        case ':':
            out += s.TimeSeparator;
            run = 1;
            break;
        case '/':
            out += s.DateSeparator;
            run = 1;
            break;
        case '\'':
        case '"': {
            const std::size_t close = f.find(c, i + 1);
            const std::size_t end = close == std::string_view::npos ? f.size() : close;
            out.append(f.substr(i + 1, end - i - 1));
            run = (close == std::string_view::npos ? f.size() : close + 1) - i;
            break;
        }
        default:
            out += c;
            run = 1;
            break;
        }
        if (std::isalpha(static_cast<unsigned char>(c)) && u != 'A')
            last = u;
        i += run;
    }
}

} // namespace

TFormatSettings TFormatSettings::FromLocale() {
    TFormatSettings s;
    const char* radix = nl_langinfo(RADIXCHAR);
    if (radix && radix[0] && !radix[1])
        s.DecimalSeparator = radix[0];
    for (int i = 0; i < 7; ++i) {
        s.ShortDayNames[i] = nl_langinfo(static_cast<nl_item>(ABDAY_1 + i));
        s.LongDayNames[i] = nl_langinfo(static_cast<nl_item>(DAY_1 + i));
    }
    for (int i = 0; i < 12; ++i) {
        s.ShortMonthNames[i] = nl_langinfo(static_cast<nl_item>(ABMON_1 + i));
        s.LongMonthNames[i] = nl_langinfo(static_cast<nl_item>(MON_1 + i));
    }
    char dateSep = '/';
    char timeSep = ':';
    s.ShortDateFormat = FromStrftime(nl_langinfo(D_FMT), dateSep, timeSep);
    s.LongTimeFormat = FromStrftime(nl_langinfo(T_FMT), dateSep, timeSep);
    s.DateSeparator = dateSep;
    s.TimeSeparator = timeSep;
    return s;
}

std::string FormatDateTime(std::string_view format, const TDateTimeParts& when,
                           const TFormatSettings& settings) {
    std::string out;
    if (format.empty()) {
        Format(out, settings.ShortDateFormat, when, settings, 1);
        out += ' ';
        Format(out, settings.LongTimeFormat, when, settings, 1);
    } else {
        Format(out, format, when, settings, 0);
    }
    return out;
}

} // namespace kestrune
