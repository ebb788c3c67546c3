// The access verdict for one new connection or datagram, computed from one
// list of rules.
#pragma once

#include "base/AccessRule.h"

#include <span>
#include <string>

namespace kestrune {

// True when the peer at mRemHost:mRemPort may use the service configured to
// listen at mOwnHost:mOwnPort. A peer on the service's own configured address
// is always allowed; otherwise the first enabled rule that matches decides,
// and a peer that no rule matches is allowed. Only reads `rules`.
bool GetAccessRestriction(std::span<const TAccessRule> rules, const std::string& mOwnHost,
                          const std::string& mRemHost, int mOwnPort, int mRemPort);

} // namespace kestrune
