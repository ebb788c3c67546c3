// Any format text, at any moment, must format without fault.
#include "base/TimeFormat.h"

#include <cstdint>
#include <string>

using namespace kestrune;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 8)
        return 0;
    TDateTimeParts t;
    t.Year = 1900 + data[0] * 2;
    t.Month = 1 + data[1] % 12;
    t.Day = 1 + data[2] % 31;
    t.Hour = data[3] % 24;
    t.Minute = data[4] % 60;
    t.Second = data[5] % 60;
    t.Millisecond = (data[6] * 4) % 1000;
    t.DayOfWeek = data[7] % 7;
    const std::string format(reinterpret_cast<const char*>(data + 8), size - 8);
    TFormatSettings s;
    const std::string text = FormatDateTime(format, t, s);
    // Every character of the format yields a bounded amount of text.
    if (text.size() > 64 + format.size() * 32)
        __builtin_trap();
    return 0;
}
