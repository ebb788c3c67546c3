#include "access/AccessRestriction.h"

#include "base/IpAddress.h"
#include "base/Text.h"

#include <optional>

namespace kestrune {

namespace {

// A peer arriving as an IPv4-mapped IPv6 address is the IPv4 peer it carries.
std::optional<TIpAddress> Address(const std::string& AText) {
    const auto address = TIpAddress::Parse(AText);
    if (!address)
        return std::nullopt;
    return address->Unmapped();
}

// "0.0.0.0" stands for every address of both families (rules written before
// IPv6 meant everyone by it); "::" for every IPv6 address.
bool HostMatches(const std::string& ARule, const std::optional<TIpAddress>& AAddress) {
    const auto rule = Address(ARule);
    if (!rule || !AAddress)
        return !rule && !AAddress && ARule.empty();
    if (rule->IsAny())
        return rule->Family() == TIpAddress::V4 || AAddress->Family() == TIpAddress::V6;
    return *rule == *AAddress;
}

int PortOf(const std::string& AText) {
    return ParseWholeNumber(AText).value_or(-1);
}

} // namespace

bool GetAccessRestriction(std::span<const TAccessRule> rules, const std::string& mOwnHost,
                          const std::string& mRemHost, int mOwnPort, int mRemPort) {
    const auto own = Address(mOwnHost);
    const auto peer = Address(mRemHost);
    // An address the service was told to listen on belongs to this machine,
    // so such a peer is local and never restricted. An "any" address is no
    // peer's address, so a service on all addresses never takes this path.
    if (own && peer && *own == *peer)
        return true;
    for (const TAccessRule& rule : rules) {
        if (rule.mEnable != TAccessRule::Yes)
            continue;
        if (!HostMatches(rule.mOwnHost, own) || PortOf(rule.mOwnPort) != mOwnPort)
            continue;
        const int remPort = PortOf(rule.mRemPort);
        if (!HostMatches(rule.mRemHost, peer) || (remPort != 0 && remPort != mRemPort))
            continue;
        return rule.mAction == TAccessRule::Allow;
    }
    return true;
}

} // namespace kestrune
