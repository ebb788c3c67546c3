// One access rule: the texts of a row of the access list, in column order,
// as the dialog stored them (canonical) or the settings file gave them;
// evaluation reads addresses and ports as numbers. A rule that names a
// target judges the requests of admitted clients, not the clients.
#pragma once

#include <string>

namespace kestrune {

struct TAccessRule {
    static constexpr const char* Allow = "Allow";
    static constexpr const char* Deny = "Deny";
    static constexpr const char* Yes = "Yes";
    static constexpr const char* No = "No";
    // The wild cards: any service or peer address, any peer port.
    static constexpr const char* AnyHost = "0.0.0.0";
    static constexpr const char* AnyPort = "0";

    std::string mName;
    std::string mOwnHost; // "Listen IP"
    std::string mOwnPort; // listen "Port", 1 to 65535
    std::string mRemHost; // "Remote IP"
    std::string mRemPort; // remote "Port", 0 to 65535
    std::string mAction;  // "Allow" or "Deny"
    std::string mEnable;  // "Yes" or "No"
    // The defaults let the rules written as seven texts stay seven texts.
    std::string mToHost = {}; // "Target IP": an address or a host-name pattern; empty for any
    std::string mToPort = {}; // "Target port": 0 (or empty) for any
    std::string mVia = {};    // "Via" of an Allow rule with a target; empty for the service's

    // Empty target fields on both sides: a rule about clients.
    bool NamesTarget() const { return !mToHost.empty() || !mToPort.empty(); }

    bool operator==(const TAccessRule&) const = default;
};

// A request's target as the destination rules judge it.
struct TDestination {
    std::string Name; // the name the client gave for its target; empty when it gave an address
    std::string
        Address; // the address to be connected to; empty while not known (a name not yet resolved)
    int Port = 0;
};

enum class TDestinationDecision { Allow, Deny, NeedsAddress };

struct TDestinationVerdict {
    TDestinationDecision Decision = TDestinationDecision::Allow;
    std::string
        Via; // the Via of the deciding Allow rule; empty when it has none or no rule decided
    std::string RuleName; // the deciding rule's name; empty when no rule decided
};

} // namespace kestrune
