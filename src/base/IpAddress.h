// An IP address read from the text of a field, a rule or a peer, held as
// numbers so that two spellings of one address compare equal
// ("010.000.000.001" is "10.0.0.1"; "2001:DB8::1" is "2001:db8:0::1").
// Plain value; any thread.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune {

class TIpAddress {
public:
    enum TFamily : uint8_t { V4 = 4, V6 = 6 };

    // IPv4 as the address fields admit it: four groups of one to three
    // decimal digits separated by dots (a group above 255 is kept as
    // written; it can never be a peer's). IPv6 as inet_pton reads it: no
    // brackets, no zone index. Anything else has no value.
    static std::optional<TIpAddress> Parse(std::string_view AText);
    static TIpAddress Any(TFamily AFamily) { return TIpAddress(AFamily); }

    TFamily Family() const { return FFamily; }
    // "0.0.0.0" or "::": every address of its family.
    bool IsAny() const;
    // 127.0.0.0/8 or ::1.
    bool IsLoopback() const;
    // fe80::/10: bound only together with an interface.
    bool IsLinkLocal() const { return FFamily == V6 && (FGroups[0] & 0xFFC0) == 0xFE80; }
    // ::ffff:a.b.c.d as the IPv4 address a.b.c.d; any other address as it is.
    TIpAddress Unmapped() const;
    // Without leading zeros; IPv6 in the form of RFC 5952 (lower case, the
    // longest run of two or more zero groups shortened to "::").
    std::string Text() const;

    bool operator==(const TIpAddress&) const = default;

private:
    explicit TIpAddress(TFamily AFamily) : FFamily(AFamily) {}

    TFamily FFamily = V4;
    // IPv4: the four groups in FGroups[0..3]; IPv6: the eight 16-bit groups.
    std::array<uint16_t, 8> FGroups{};
};

// The canonical text of an address field, or the text as it is when it is
// not an address.
std::string CanonicalAddressText(std::string_view AText);

// Equal as addresses; texts that are not addresses compare as text.
bool SameAddress(std::string_view A, std::string_view B);

// The unicast addresses of this machine's interfaces (loopback included).
std::vector<TIpAddress> LocalAddresses();

} // namespace kestrune
