#include "base/ByteSize.h"

#include <cmath>
#include <cstdio>

namespace kestrune {

std::string ByteToSize(int64_t mByte, bool mSec, char decimalSeparator) {
    static const char* const Units[] = {"B", "KB", "MB", "GB", "TB", "PB", "EB", "ZB", "YB"};
    const double bytes = static_cast<double>(mByte);
    int e = 0;
    while (e < 8 && bytes > std::pow(1024.0, e + 1))
        ++e;
    const double v = bytes / std::pow(1024.0, e);
    // Hundredths, rounded half away from zero, as an integer so that the text
    // has no binary fraction noise.
    const long long hundredths = std::llround(v * 100.0);
    const long long whole = hundredths / 100;
    long long frac = std::llabs(hundredths % 100);
    std::string text = std::to_string(whole);
    if (hundredths < 0 && whole == 0)
        text = "-0";
    if (frac != 0) {
        text += decimalSeparator;
        if (frac % 10 == 0)
            text += static_cast<char>('0' + frac / 10);
        else {
            text += static_cast<char>('0' + frac / 10);
            text += static_cast<char>('0' + frac % 10);
        }
    }
    text += ' ';
    text += Units[e];
    if (mSec)
        text += "/s";
    return text;
}

} // namespace kestrune
