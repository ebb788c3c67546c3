// The upstream proxy that a service or a destination rule sends its outbound
// connections through ("Via"), read from its text, and that text as the log
// and the window may show it. Pure functions; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestrune {

struct TUpstream {
    enum TKind { Direct, Socks5, Socks4a, Http };
    TKind Kind = Direct;
    std::string User, Password; // percent-decoded; empty when not given
    std::string Host;           // an address literal (IPv6 without brackets) or a name
    uint16_t Port = 0;
    bool operator==(const TUpstream&) const = default;
};

// "direct" (any case) or empty: Direct. Otherwise socks5://[user:password@]host:port,
// socks4a://host:port or http://[user:password@]host:port; IPv6 hosts in brackets; port 1..65535
// required. Anything else has no value.
std::optional<TUpstream> ParseVia(std::string_view text);

// For the log and the window: the Via text with any password replaced by "***".
std::string ViaWithoutPassword(std::string_view text);
// The same with one `dot` for each character of the password, as a password
// field shows it.
std::string ViaWithPasswordDots(std::string_view text, std::string_view dot);

} // namespace kestrune
