// Reading a settings file without applying it: what `kestruned --check`
// reports, and what a reload must accept before it changes anything.
// Main thread (or a program that runs no services at all).
#pragma once

#include "base/Options.h"
#include "base/Settings.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune {

// "HOST:PORT" with a dotted IPv4 address or a bracketed IPv6 one.
struct THostPort {
    std::string Host; // without the brackets
    uint16_t Port = 0;
    bool V6 = false;
};
std::optional<THostPort> ParseHostPort(std::string_view text);

struct TSettingsCheck {
    TLoadedSettings Data;
    // What loading logs about the file, in order, and a line for each
    // section that the checks refuse without one.
    std::vector<std::string> Lines;
    // Why the file must not replace running settings; empty when it may.
    std::string Problem;
};

// A line for each section that loading skipped without logging why (its
// address or port is missing or invalid), in file order.
std::vector<std::string> SilentlySkippedLines(const TLoadedSettings& data);

// `options` holds the values an options section starts from.
TSettingsCheck CheckSettingsFile(const std::string& path, const TOptions& options);

} // namespace kestrune
