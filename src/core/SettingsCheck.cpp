#include "core/SettingsCheck.h"

#include "base/Text.h"

#include <arpa/inet.h>

namespace kestrune {

std::optional<THostPort> ParseHostPort(std::string_view text) {
    THostPort out;
    std::string_view port;
    if (!text.empty() && text.front() == '[') {
        const auto close = text.find("]:");
        if (close == std::string_view::npos)
            return std::nullopt;
        out.Host = std::string(text.substr(1, close - 1));
        out.V6 = true;
        port = text.substr(close + 2);
    } else {
        const auto colon = text.rfind(':');
        if (colon == std::string_view::npos)
            return std::nullopt;
        out.Host = std::string(text.substr(0, colon));
        port = text.substr(colon + 1);
    }
    unsigned char address[16];
    if (inet_pton(out.V6 ? AF_INET6 : AF_INET, out.Host.c_str(), address) != 1)
        return std::nullopt;
    // Digits only: no sign.
    const bool digits = !port.empty() && port.find_first_not_of("0123456789") == port.npos;
    const auto value = digits ? ParseWholeNumber(port) : std::nullopt;
    if (!value || *value > 65535)
        return std::nullopt;
    out.Port = static_cast<uint16_t>(*value);
    return out;
}

std::vector<std::string> SilentlySkippedLines(const TLoadedSettings& data) {
    std::vector<std::string> lines;
    for (const TSkippedSection& skipped : data.Skipped)
        if (!skipped.Logged)
            lines.push_back("Section skipped for a missing or invalid address or port: " +
                            skipped.Name);
    return lines;
}

TSettingsCheck CheckSettingsFile(const std::string& path, const TOptions& options) {
    TSettingsCheck out;
    TIniLoadResult file = TIniFile::Load(path);
    if (file.Status == TIniLoadStatus::Missing) {
        out.Problem = "no file at " + path;
        return out;
    }
    if (file.Status == TIniLoadStatus::Failed) {
        out.Problem = file.Reason;
        return out;
    }
    // A file cut short while an editor writes it reads as empty; running
    // services must not all stop for that.
    if (file.File.Sections().empty()) {
        out.Problem = "the file holds no settings";
        return out;
    }
    out.Data = ReadSettings(file.File, options,
                            [&out](const std::string& line) { out.Lines.push_back(line); });
    for (std::string& line : SilentlySkippedLines(out.Data))
        out.Lines.push_back(std::move(line));
    if (!out.Data.Skipped.empty()) {
        const std::size_t n = out.Data.Skipped.size();
        out.Problem = std::to_string(n) + (n == 1 ? " section" : " sections") + " skipped";
    } else if (!out.Data.Options.Metrics.empty() && !ParseHostPort(out.Data.Options.Metrics)) {
        out.Problem = "Metrics=" + out.Data.Options.Metrics +
                      " is not HOST:PORT (IPv4 address, or IPv6 address in brackets)";
    }
    return out;
}

} // namespace kestrune
