// The address pattern and the port texts against plain reference versions;
// the host-name pattern match against the overlap of two patterns; and an
// upstream's text without its password, which must still read as the same
// upstream.
#include "base/Upstream.h"
#include "base/Validation.h"

#include <cstdint>
#include <string>

using namespace kestrune;

namespace {

bool ReferenceIp(const std::string& s) {
    int groups = 0;
    size_t i = 0;
    while (true) {
        size_t digits = 0;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
            ++i;
            ++digits;
        }
        if (digits < 1 || digits > 3)
            return false;
        ++groups;
        if (i == s.size())
            return groups == 4;
        if (s[i] != '.' || groups == 4)
            return false;
        ++i;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (MatchesIpPattern(text) != ReferenceIp(text))
        __builtin_trap();
    const int port = ReadPortText(text, -7);
    if (IsValidPort(text) != (port >= 1 && port <= 65535))
        __builtin_trap();
    if (IsValidRulePort(text) != (ReadPortText(text, -1) >= 0 && ReadPortText(text, -1) <= 65535))
        __builtin_trap();
    const std::string name = TrimName(LimitNameLength(text));
    if (!name.empty() && (static_cast<unsigned char>(name.front()) <= 32 ||
                          static_cast<unsigned char>(name.back()) <= 32))
        __builtin_trap();

    // "pattern\nname": a name without '*' is a pattern of one name, so some
    // name matches both exactly when the name matches the pattern.
    const auto split = text.find('\n');
    if (split != std::string::npos && text.size() < 600) {
        const std::string pattern = text.substr(0, split);
        const std::string host = text.substr(split + 1);
        if (host.find('*') == std::string::npos &&
            MatchesHostNamePattern(pattern, host) != HostNamePatternsOverlap(pattern, host))
            __builtin_trap();
    }

    if (const auto via = ParseVia(text); via && !via->Password.empty()) {
        const auto masked = ParseVia(ViaWithoutPassword(text));
        if (!masked || masked->Password != "***" || masked->User != via->User ||
            masked->Host != via->Host || masked->Port != via->Port || masked->Kind != via->Kind)
            __builtin_trap();
    }
    return 0;
}
