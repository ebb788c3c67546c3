#include "access/AccessRestriction.h"

namespace kestrune {

bool GetAccessRestriction(std::span<const TAccessRule> rules, const std::string& mOwnHost,
                          const std::string& mRemHost, int mOwnPort, int mRemPort) {
    // An address the service was told to listen on belongs to this machine,
    // so such a peer is local and never restricted. "0.0.0.0" is no peer's
    // address, so a service on all addresses never takes this path.
    if (mOwnHost == mRemHost)
        return true;
    // Rules hold ports as text; compare with the plain decimal form once.
    const std::string ownPort = std::to_string(mOwnPort);
    const std::string remPort = std::to_string(mRemPort);
    for (const TAccessRule& rule : rules) {
        if (rule.mEnable != TAccessRule::Yes)
            continue;
        if (rule.mOwnHost != TAccessRule::AnyHost && rule.mOwnHost != mOwnHost)
            continue;
        if (rule.mOwnPort != ownPort)
            continue;
        if (rule.mRemHost != TAccessRule::AnyHost && rule.mRemHost != mRemHost)
            continue;
        if (rule.mRemPort != TAccessRule::AnyPort && rule.mRemPort != remPort)
            continue;
        return rule.mAction == TAccessRule::Allow;
    }
    return true;
}

} // namespace kestrune
