// Byte counts as the traffic monitor shows them ("1.5 KB", "2 KB/s").
#pragma once

#include <cstdint>
#include <string>

namespace kestrune {

// Divides by 1024 while the count is greater than the next unit, rounds to at
// most two decimals (half away from zero), drops trailing zeros, and appends
// the unit; with mSec, "/s" follows.
std::string ByteToSize(int64_t mByte, bool mSec, char decimalSeparator = '.');

} // namespace kestrune
