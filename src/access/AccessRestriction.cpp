#include "access/AccessRestriction.h"

#include "base/IpAddress.h"
#include "base/Text.h"
#include "base/Validation.h"

#include <optional>

namespace kestrune {

namespace {

bool HostMatches(const std::string& ARule, const std::optional<TIpAddress>& AAddress) {
    return AAddress && RuleAddressCovers(ARule, *AAddress);
}

int PortOf(const std::string& AText) {
    return ParseWholeNumber(AText).value_or(-1);
}

// The service and client parts of a rule, read the same way for both kinds.
bool MatchesClient(const TAccessRule& rule, const std::optional<TIpAddress>& own,
                   const std::optional<TIpAddress>& peer, int mOwnPort, int mRemPort) {
    if (rule.mEnable != TAccessRule::Yes)
        return false;
    if (!HostMatches(rule.mOwnHost, own) || PortOf(rule.mOwnPort) != mOwnPort)
        return false;
    const int remPort = PortOf(rule.mRemPort);
    return HostMatches(rule.mRemHost, peer) && (remPort == 0 || remPort == mRemPort);
}

enum class TTargetMatch { Yes, No, Unknown };

// Unknown: an address rule, and the address is not known yet.
TTargetMatch MatchesTarget(const std::string& AToHost, const TDestination& ATarget,
                           const std::optional<TIpAddress>& AAddress) {
    if (AToHost.empty())
        return TTargetMatch::Yes;
    if (TIpAddress::Parse(AToHost)) {
        if (ATarget.Address.empty())
            return TTargetMatch::Unknown;
        return HostMatches(AToHost, AAddress) ? TTargetMatch::Yes : TTargetMatch::No;
    }
    return !ATarget.Name.empty() && MatchesHostNamePattern(AToHost, ATarget.Name)
               ? TTargetMatch::Yes
               : TTargetMatch::No;
}

} // namespace

bool GetAccessRestriction(std::span<const TAccessRule> rules, const std::string& mOwnHost,
                          const std::string& mRemHost, int mOwnPort, int mRemPort) {
    const auto own = TIpAddress::Parse(mOwnHost);
    const auto peer = TIpAddress::Parse(mRemHost);
    // An address the service was told to listen on belongs to this machine,
    // so such a peer is local and never restricted. An "any" address is no
    // peer's address, so a service on all addresses never takes this path.
    if (own && peer && own->Unmapped() == peer->Unmapped())
        return true;
    for (const TAccessRule& rule : rules) {
        // A rule with a target says where admitted clients may go, not who
        // is admitted.
        if (rule.NamesTarget() || !MatchesClient(rule, own, peer, mOwnPort, mRemPort))
            continue;
        return rule.mAction == TAccessRule::Allow;
    }
    return true;
}

TDestinationVerdict GetDestinationRestriction(std::span<const TAccessRule> rules,
                                              const std::string& mOwnHost,
                                              const std::string& mRemHost, int mOwnPort,
                                              int mRemPort, const TDestination& ATarget,
                                              bool ASkipAddressRules) {
    const auto own = TIpAddress::Parse(mOwnHost);
    const auto peer = TIpAddress::Parse(mRemHost);
    const auto address = TIpAddress::Parse(ATarget.Address);
    for (const TAccessRule& rule : rules) {
        // No short cut for a peer on the service's own address: being local
        // says who the client is, not where it may go.
        if (!rule.NamesTarget() || !MatchesClient(rule, own, peer, mOwnPort, mRemPort))
            continue;
        const int toPort = rule.mToPort.empty() ? 0 : PortOf(rule.mToPort);
        if (toPort != 0 && toPort != ATarget.Port)
            continue;
        const TTargetMatch match = MatchesTarget(rule.mToHost, ATarget, address);
        if (match == TTargetMatch::Unknown && !ASkipAddressRules)
            return {TDestinationDecision::NeedsAddress, {}, {}};
        if (match != TTargetMatch::Yes)
            continue;
        if (rule.mAction != TAccessRule::Allow)
            return {TDestinationDecision::Deny, {}, rule.mName};
        return {TDestinationDecision::Allow, rule.mVia, rule.mName};
    }
    return {};
}

} // namespace kestrune
