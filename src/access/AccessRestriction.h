// The access verdicts computed from one list of rules: on a new connection
// or datagram (the rules without a target), and on the target of a request
// (the rules with one).
#pragma once

#include "base/AccessRule.h"

#include <span>
#include <string>

namespace kestrune {

// True when the peer at mRemHost:mRemPort may use the service configured to
// listen at mOwnHost:mOwnPort. A peer on the service's own configured address
// is always allowed; otherwise the first enabled rule without a target that
// matches decides, and a peer that no rule matches is allowed. Only reads
// `rules`.
bool GetAccessRestriction(std::span<const TAccessRule> rules, const std::string& mOwnHost,
                          const std::string& mRemHost, int mOwnPort, int mRemPort);

// The verdict on a request of that client for ATarget: the first enabled
// rule with a target that matches the service, the client and the target
// decides (Allow with the rule's Via, or Deny), and no match allows. A peer
// on the service's own address is judged like any other here. An address
// rule needs ATarget.Address: while it is empty, the walk stops with
// NeedsAddress, or with ASkipAddressRules such rules do not match. A
// host-name pattern matches ATarget.Name, letter case aside. Only reads
// `rules`.
TDestinationVerdict GetDestinationRestriction(std::span<const TAccessRule> rules,
                                              const std::string& mOwnHost,
                                              const std::string& mRemHost, int mOwnPort,
                                              int mRemPort, const TDestination& ATarget,
                                              bool ASkipAddressRules);

} // namespace kestrune
