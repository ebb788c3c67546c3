// One access rule: the seven texts of a row of the access list, in column
// order, as the dialog stored them (canonical) or the settings file gave
// them; evaluation reads addresses and ports as numbers.
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

    bool operator==(const TAccessRule&) const = default;
};

} // namespace kestrune
